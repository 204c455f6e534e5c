// A second, independent reading of the encoder's output: the datagrams are written into a
// pcap file as UDP to port 6343 and decoded by tshark's sFlow dissector.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "packet_reporter.h"
#include "sflow_fakes.h"

namespace wendrel::test {
namespace {

void put16(std::vector<uint8_t>& out, size_t at, uint32_t value) {
  out[at] = static_cast<uint8_t>(value >> 8);
  out[at + 1] = static_cast<uint8_t>(value);
}

// Ethernet, IPv4 192.0.2.2 -> 192.0.2.10 and UDP 40000 -> 6343 around one datagram.
std::vector<uint8_t> udpFrame(const std::vector<uint8_t>& payload) {
  static const uint8_t kHeaders[42] = {
      0x02, 0x00, 0x00, 0x00, 0x00, 0x02, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x08, 0x00,
      0x45, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x40, 0x11, 0x00, 0x00, 192,  0,
      2,    2,    192,  0,    2,    10,   0x9c, 0x40, 0x18, 0xc7, 0x00, 0x00, 0x00, 0x00};
  std::vector<uint8_t> frame(sizeof kHeaders + payload.size());
  std::copy(std::begin(kHeaders), std::end(kHeaders), frame.begin());
  std::copy(payload.begin(), payload.end(), frame.begin() + sizeof kHeaders);
  put16(frame, 16, static_cast<uint32_t>(20 + 8 + payload.size()));
  put16(frame, 38, static_cast<uint32_t>(8 + payload.size()));
  uint32_t sum = 0;
  for (size_t i = 14; i < 34; i += 2)
    sum += uint32_t{frame[i]} << 8 | frame[i + 1];
  while (sum > 0xffff)
    sum = (sum & 0xffff) + (sum >> 16);
  put16(frame, 24, ~sum & 0xffff);
  return frame;
}

// An Ethernet frame with a local-experimental EtherType, so that tshark shows the sampled
// header without reading protocol fields out of the filler bytes.
std::vector<uint8_t> sampledFrame(size_t captured) {
  std::vector<uint8_t> frame = patternFrame(captured);
  const uint8_t ethernet[14] = {2, 0, 0, 0, 0, 0xaa, 2, 0, 0, 0, 0, 0xbb, 0x88, 0xb5};
  for (size_t i = 0; i < captured && i < sizeof ethernet; ++i)
    frame[i] = ethernet[i];
  return frame;
}

std::string run(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe)
    return output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
    output.append(buffer, n);
  pclose(pipe);
  return output;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    out.push_back(line);
  return out;
}

TEST(SflowTshark, DissectorAgreesWithTheEncoder) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";

  FakeClock clock(500);
  RecordingSink sink;
  PacketReporter reporter("collector", clock, sink);
  reporter.setAgentAddress(networkOrder(10, 0, 0, 5));
  clock.now += 5000;
  addFrame(reporter, sampledFrame(60), 60, 32, 2);
  addFrame(reporter, sampledFrame(70), 70, 32, 0);
  addFrame(reporter, sampledFrame(128), 1514, 32, 1);
  addFrame(reporter, {}, 60, 32, 0);
  reporter.flush();
  for (int i = 0; i < 7; ++i)
    addFrame(reporter, sampledFrame(128), 1514, 32, 1);
  reporter.flush();
  ASSERT_EQ(3u, sink.datagrams.size());

  char path[] = "/tmp/wendrel-sflow-XXXXXX.pcap";
  const int fd = mkstemps(path, 5);
  ASSERT_GE(fd, 0);
  close(fd);
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
  pcap_dumper_t* dumper = pcap_dump_open(dead, path);
  ASSERT_NE(nullptr, dumper) << pcap_geterr(dead);
  for (const auto& datagram : sink.datagrams) {
    const std::vector<uint8_t> frame = udpFrame(datagram);
    pcap_pkthdr header =
        packetHeader(static_cast<uint32_t>(frame.size()), static_cast<uint32_t>(frame.size()));
    pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.data());
  }
  pcap_dump_close(dumper);
  pcap_close(dead);

  const std::string fields =
      run(std::string("tshark -r ") + path +
          " -T fields -E 'separator=;' -E aggregator=, -e sflow_245.version -e sflow_245.agent"
          " -e sflow_245.sequence_number -e sflow_245.sysuptime -e sflow_245.numsamples"
          " -e sflow.flow_sample.sequence_number -e sflow.flow_sample.source_id_class"
          " -e sflow.flow_sample.index"
          " -e sflow.flow_sample.sampling_rate -e sflow.flow_sample.sample_pool"
          " -e sflow_245.header.sampled_header_length -e sflow_245.header.frame_length"
          " -e sflow_245.header.payload_stripped 2>/dev/null");
  const std::string verbose = run(std::string("tshark -r ") + path + " -V 2>/dev/null");
  std::remove(path);

  const std::vector<std::string> expected = {
      // version;agent;sequence;uptime;samples; then per sample: sequence;source class;
      // source index;rate;pool;header length;frame length;stripped
      "5;10.0.0.5;1;5000;4;1,1,1,2;0,0,0,0;2,0,1,0;32,32,32,32;32,32,32,64;60,70,128,0;"
      "60,70,1514,60;0,0,1386,60",
      "5;10.0.0.5;2;5000;6;2,3,4,5,6,7;0,0,0,0,0,0;1,1,1,1,1,1;32,32,32,32,32,32;"
      "64,96,128,160,192,224;128,128,128,128,128,128;1514,1514,1514,1514,1514,1514;"
      "1386,1386,1386,1386,1386,1386",
      "5;10.0.0.5;3;5000;1;8;0;1;32;256;128;1514;1386"};
  EXPECT_EQ(expected, lines(fields));
  EXPECT_NE(std::string::npos, verbose.find("InMon sFlow")) << verbose.substr(0, 2000);
  EXPECT_EQ(std::string::npos, verbose.find("Malformed")) << verbose;
}

}  // namespace
}  // namespace wendrel::test
