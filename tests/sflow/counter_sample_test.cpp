// Counter samples: exact bytes (also as tshark reads them), per-source sequences and ids,
// sent at once and sharing the datagram stream and its fit rule with flow samples.
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <tuple>

#include "packet_reporter.h"
#include "sflow_fakes.h"

namespace wendrel::test {
namespace {

void put(std::vector<uint8_t>& out, std::initializer_list<uint32_t> words) {
  for (uint32_t word : words)
    for (int shift = 24; shift >= 0; shift -= 8)
      out.push_back(static_cast<uint8_t>(word >> shift));
}

CounterSample counters(const char* name) {
  CounterSample c;
  c.ifIndex = 5, c.speed = 10000000000, c.direction = 1, c.status = 3;
  c.inOctets = 0x123456789, c.inUnicast = 10, c.inMulticast = 11, c.inBroadcast = ~0u;
  c.inDiscards = 12, c.inErrors = 13, c.inUnknownProtos = ~0u;
  c.outOctets = 0x200000001, c.outUnicast = 20, c.outMulticast = c.outBroadcast = ~0u;
  c.outDiscards = 21, c.outErrors = 22, c.promiscuous = 1;
  c.name = name, c.nameLength = std::strlen(name);
  return c;
}

// Written over a buffer that earlier samples left full of 0xff, so padding must be written;
// sent without a flush.
std::vector<uint8_t> goldenDatagram() {
  ReporterRig rig;
  rig.dirtyBuffer();
  rig.reporter.registerSource(3, 70000);
  rig.reporter.addCounters(3, counters("eth0.1"));
  const auto sent = rig.sink.datagrams();
  return sent.size() == 2 ? sent[1] : std::vector<uint8_t>{};
}

TEST(CounterSampleGolden, InterfaceCountersAndPortName) {
  std::vector<uint8_t> expected;
  put(expected, {5, 1, 0x0a000005, 0, 2, 5000, 1});  // header: sequence 2, 1 sample
  put(expected, {2, 128, 1, 70000, 2});  // counter sample, length, sequence, source, 2 records
  put(expected, {1, 88, 5, 6, 2, 0x540be400, 1, 3});  // generic: ifIndex, type, 10 Gbit/s, ...
  put(expected, {1, 0x23456789, 10, 11, ~0u, 12, 13, ~0u});  // in: octets, ucast ... unknown
  put(expected, {2, 1, 20, ~0u, ~0u, 21, 22, 1});            // out: octets ... promiscuous
  put(expected, {1005, 12, 6});  // port name record, length, string length, then the text
  expected.insert(expected.end(), {'e', 't', 'h', '0', '.', '1', 0, 0});
  const std::vector<uint8_t> golden = goldenDatagram();
  ASSERT_EQ(expected.size(), golden.size());
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(expected[i], golden[i]) << "byte " << i;
}

TEST(CounterSampleGolden, TsharkDecodesIt) {
  if (std::system("command -v tshark text2pcap >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";
  const std::string path = "/tmp/wendrel-counters-" + std::to_string(getpid());
  std::ofstream hex(path + ".hex");
  for (const uint8_t byte : goldenDatagram())
    hex << "0123456789abcdef"[byte >> 4] << "0123456789abcdef"[byte & 15];
  hex << "\n";
  hex.close();
  std::system(("text2pcap -q -r '^(?<data>[0-9a-f]+)$' -u 40000,6343 " + path + ".hex " + path +
               ".pcap; tshark -r " + path +
               ".pcap -T fields -E separator=';' -e sflow.counters_sample.sequence_number"
               " -e sflow.counters_sample.source_id_index -e sflow_245.ifindex -e sflow_245.iftype"
               " -e sflow_245.ifspeed -e sflow_245.ifinoct -e sflow_245.ifoutoct"
               " -e sflow_245.ifpromisc -e _ws.malformed >" +
               path + ".txt 2>/dev/null")
                  .c_str());
  std::stringstream output;
  output << std::ifstream(path + ".txt").rdbuf();
  std::system(("rm -f " + path + ".hex " + path + ".pcap " + path + ".txt").c_str());
  EXPECT_EQ("1;70000;5;6;10000000000;4886718345;8589934593;1;\n", output.str());
}

// Counter samples go out at once, behind the pending flow samples when they fit and after
// them otherwise; each source counts its own counter samples from 1, apart from its flow
// samples, and a source that changes its id starts again.
TEST(CounterSampleReporter, SentAtOnceWithinTheLimitAndCountedPerSource) {
  const std::tuple<int, std::vector<size_t>> cases[] = {
      {9, {1288}},        // 28 + 9 * 124 + 144 fits
      {10, {1268, 172}},  // 1412 would not: the flow samples leave first
  };
  for (const auto& [flows, sizes] : cases) {
    ReporterRig rig;
    for (int i = 0; i < flows; ++i)
      addFrame(rig.reporter, pattern(60), 60);
    rig.reporter.addCounters(0, counters("abcdefghijklmno"));
    std::vector<size_t> sent;
    for (const auto& d : rig.sink.datagrams())
      sent.push_back(d.size());
    EXPECT_EQ(sizes, sent);
  }
  ReporterRig rig;
  addFrame(rig.reporter, pattern(60), 60, 32, 1);
  rig.reporter.addCounters(1, counters("a"));
  rig.reporter.addCounters(2, counters("b"));
  rig.reporter.addCounters(1, counters("a"));
  rig.reporter.registerSource(2, 2);  // unchanged: counts on
  rig.reporter.addCounters(2, counters("b"));
  rig.reporter.registerSource(1, 0x123456);
  rig.reporter.addCounters(1, counters("a"));
  addFrame(rig.reporter, pattern(60), 60, 32, 1);
  std::vector<std::tuple<uint32_t, uint32_t, std::string>> seen;  // source, sequence, name
  for (const DecodedDatagram& d : rig.datagrams()) {
    for (const DecodedSample& s : d.samples)  // the flow samples come first
      seen.emplace_back(s.sourceId, s.sequence, "flow");
    for (const DecodedCounters& c : d.counters)
      seen.emplace_back(c.sourceId, c.sequence, c.name);
  }
  const decltype(seen) expected = {{1, 1, "flow"},       {1, 1, "a"}, {2, 1, "b"},
                                   {1, 2, "a"},          {2, 2, "b"}, {0x123456, 1, "a"},
                                   {0x123456, 1, "flow"}};
  EXPECT_EQ(expected, seen);
}

}  // namespace
}  // namespace wendrel::test
