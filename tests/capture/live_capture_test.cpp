// Real capture through libpcap on veth links in namespaces the test creates.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>

#include "../sflow/sflow_fakes.h"
#include "capture_fakes.h"
#include "log_capture.h"
#include "netns.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

// 60 bytes to a MAC address nobody has (so the agent sends no IPv4 of its own). IPv4/UDP with
// IP id `number` and source 10.201.0.<marker>; any other EtherType: all ones after the header.
std::vector<uint8_t> frame(const NetnsPair::Link& link, uint8_t marker, uint16_t number,
                           uint16_t checksum, uint16_t etherType = 0x0800) {
  std::vector<uint8_t> f(60, 0xFF);
  const uint8_t head[] = {2,
                          0,
                          0x5e,
                          0x10,
                          0,
                          0x99,
                          0,
                          0,
                          0,
                          0,
                          0,
                          0,
                          uint8_t(etherType >> 8),
                          uint8_t(etherType),
                          0x45,
                          0,
                          0,
                          46,
                          uint8_t(number >> 8),
                          uint8_t(number),
                          0,
                          0,
                          64,
                          17,
                          uint8_t(checksum >> 8),
                          uint8_t(checksum),
                          10,
                          201,
                          0,
                          marker,
                          10,
                          201,
                          0,
                          99};
  std::copy(head, head + (etherType == 0x0800 ? sizeof head : 14), f.begin());
  std::copy(link.farMac.begin(), link.farMac.end(), f.begin() + 6);
  return f;
}

int openFds() {
  return int(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// Rate 32 in performance mode on two veths: of the IPv4 frames whose checksum ends in 0xF,
// every second one per interface is taken, under the interface's own source index and the
// agent address of the device enumerated first; ARP and IPv6 never are. One device vanishes,
// the other goes on; stop under traffic is prompt and loses no sample once taken.
TEST(LiveCaptureTest, SamplesOnVethsSurvivesAVanishedDeviceAndStopsUnderTraffic) {
  if (!NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  NetnsPair net("c");
  net.addLink("10.201.0.1/24");
  net.addLink("10.202.0.1/24");
  net.enterAgent();
  LogCapture log{"TrafficLogger"};
  ReporterRig rig;
  const int fdsBefore = openFds();
  TrafficCollector collector(128, &rig.reporter, 2097152, 32, true);
  collector.startCollecting();
  ASSERT_TRUE(
      waitFor([&] { return log.contains(log4cplus::DEBUG_LOG_LEVEL, "Starting capture"); }));
  ASSERT_EQ(2u, log.messages(log4cplus::INFO_LOG_LEVEL).size());  // "Device ... initialized"

  std::map<uint8_t, std::vector<std::vector<uint8_t>>> expected, got;  // marker -> frames
  std::vector<DecodedDatagram> all;
  int passed[2] = {0, 0};
  auto send = [&](size_t link, uint16_t n) {
    const bool passes = n % 3 != 0;
    const auto f =
        frame(net.link(link), uint8_t(link + 1), n, passes ? 0x120F | (n & 0xF0) : 0x12FE);
    if (passes && ++passed[link] % 2 == 0)
      expected[uint8_t(link + 1)].push_back(f);
    return net.send(link, f);
  };
  // What arrives once `count` samples have (or 5 s passed), and within the 1000 ms read
  // timeout after, by which frames reach user space at the latest.
  auto received = [&](size_t count) {
    got.clear();
    size_t samples = 0;
    auto take = [&] {
      for (const DecodedDatagram& d : rig.datagrams(true)) {
        all.push_back(d);
        for (const DecodedSample& s : d.samples)
          got[s.header.at(29)].push_back(s.header), ++samples;
      }
      return samples >= count;
    };
    waitFor(take);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    take();
  };
  for (uint16_t n = 1; n <= 60; ++n) {
    ASSERT_TRUE(send(0, n) && (n > 12 || send(1, n)));  // the second link: 12 frames only
    ASSERT_TRUE(net.send(0, frame(net.link(0), 0, 0, 0, 0x0806)));  // ARP
    ASSERT_TRUE(net.send(1, frame(net.link(1), 0, 0, 0, 0x86DD)));  // IPv6
  }
  received(24);
  EXPECT_EQ(expected, got);
  const uint32_t first = all.at(0).samples.at(0).sourceId ^ (all[0].samples[0].header[29] - 1u);
  std::map<uint32_t, uint8_t> sources;  // source index -> marker
  for (const DecodedDatagram& d : all) {
    EXPECT_EQ(inet_addr(net.link(first).agentAddress.c_str()),
              *reinterpret_cast<const uint32_t*>(d.agentAddress.data()));
    for (const DecodedSample& s : d.samples)
      sources[s.sourceId] = s.header[29];
  }
  EXPECT_EQ((std::map<uint32_t, uint8_t>{{first, 1}, {1 - first, 2}}), sources);

  net.removeLink(1);
  ASSERT_TRUE(
      waitFor([&] { return log.count(log4cplus::INFO_LOG_LEVEL, "Closing capture device") == 1; }));
  const std::vector<std::string> m = log.messages();
  const auto stopped =
      std::find(m.begin(), m.end(), "Stopped collecting on interface " + std::to_string(1 - first));
  ASSERT_LE(3, m.end() - stopped);
  EXPECT_EQ(0u, stopped[1].rfind("Error in pcap_loop: ", 0)) << stopped[1];
  EXPECT_EQ("Closing capture device", stopped[2]);
  expected.clear();
  for (uint16_t n = 61; n <= 75; ++n)
    ASSERT_TRUE(send(0, n));
  received(5);
  EXPECT_EQ(expected, got);

  std::atomic<bool> done{false};
  std::thread sender([&] {  // all pass the filter: every second one is taken
    for (uint16_t n = 76; n < 60000 && !done; ++n)
      net.send(0, frame(net.link(0), 1, n, 0xFFFF));
  });
  EXPECT_TRUE(waitFor([&] { return rig.sink.datagrams().size() > 3; }));
  EXPECT_LT(millisecondsOf([&] { collector.stop(); }), 1000);
  done = true;
  sender.join();
  received(0);
  EXPECT_EQ(fdsBefore, openFds());
  uint32_t sequence = 0, number = 0;  // of link 0: every sample reached the collector, in order
  for (const DecodedDatagram& d : all)
    for (const DecodedSample& s : d.samples)
      if (s.sourceId == first) {
        EXPECT_EQ(++sequence, s.sequence);
        EXPECT_LT(number, uint32_t(s.header[18] << 8 | s.header[19]));
        number = s.header[18] << 8 | s.header[19];
      }
}

}  // namespace
}  // namespace wendrel::test
