// Real capture through libpcap on veth links in namespaces the test creates.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "../sflow/sflow_fakes.h"
#include "agent_rig.h"
#include "capture_fakes.h"
#include "log_capture.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

size_t openFds() {
  return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// Rate 32 in performance mode on two veths: of the frames the filter passes, every second one
// per interface is taken, under the interface's own source index and the agent address of
// the device enumerated first. One device vanishes; the other goes on. Stop under traffic is
// prompt, and every sample taken reaches the collector.
TEST(LiveCaptureTest, SamplesOnVethsSurvivesAVanishedDeviceAndStopsUnderTraffic) {
  if (!NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  NetnsPair net("c");
  net.addLink("10.201.0.1/24"), net.addLink("10.202.0.1/24");
  net.enterAgent();
  LogCapture log{"TrafficLogger"};
  ReporterRig rig;
  const size_t fdsBefore = openFds();
  TrafficCollector collector(128, &rig.reporter, 2097152, 32, true);
  collector.startCollecting();
  ASSERT_TRUE(
      waitFor([&] { return log.contains(log4cplus::DEBUG_LOG_LEVEL, "Starting capture"); }));
  ASSERT_EQ(2u, log.messages(log4cplus::INFO_LOG_LEVEL).size());  // "Device ... initialized"

  // The filter passes a frame when its checksum's low nibble is 0xF; the last byte tells the
  // link.
  std::map<uint8_t, std::vector<uint16_t>> expected, taken;  // link -> IP ids
  int passed[2] = {0, 0};
  auto send = [&](uint8_t link, uint16_t n, bool passes) {
    std::vector<uint8_t> f = testFrame(net.link(link), n);
    f[24] = 0x12, f[25] = passes ? 0x3F : 0xFE, f[59] = link;
    if (passes && ++passed[link] % 2 == 0)
      expected[link].push_back(n);
    return net.send(link, f);
  };
  std::vector<DecodedDatagram> all;
  // Takes what arrives until `count` samples in all (or 5 s), and then within the 1000 ms read
  // timeout, by which frames reach user space at the latest.
  auto receive = [&](size_t count) {
    auto take = [&] {
      for (const DecodedDatagram& d : rig.datagrams(true))
        for (const DecodedSample& s : all.emplace_back(d).samples)
          taken[s.header[59]].push_back(uint16_t(s.header[18] << 8 | s.header[19]));
      return taken[0].size() + taken[1].size() >= count;
    };
    waitFor(take);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    take();
  };
  // 41 frames pass on link 0, so its counter carries a remainder into the later batches.
  for (uint16_t n = 1; n <= 61; ++n)
    ASSERT_TRUE(send(0, n, n % 3 != 0) && (n > 12 || send(1, n, n % 3 != 0)));  // 12 on link 1
  receive(24);
  ASSERT_EQ(expected, taken);
  std::map<uint8_t, std::set<uint32_t>> sources;  // link -> source indices
  for (const DecodedDatagram& d : all)
    for (const DecodedSample& s : d.samples)
      sources[s.header[59]].insert(s.sourceId);
  const uint32_t first = *sources[0].begin();  // 0 when link 0 was enumerated first
  EXPECT_EQ((std::map<uint8_t, std::set<uint32_t>>{{0, {first}}, {1, {1 - first}}}), sources);
  uint32_t agent = inet_addr(net.link(first).agentAddress.c_str());
  for (const DecodedDatagram& d : all)
    EXPECT_EQ(0, std::memcmp(&agent, d.agentAddress.data(), 4));

  net.removeLink(1);
  ASSERT_TRUE(
      waitFor([&] { return log.contains(log4cplus::INFO_LOG_LEVEL, "Closing capture device"); }));
  const std::vector<std::string> m = log.messages();
  const auto stopped =
      std::find(m.begin(), m.end(), "Stopped collecting on interface " + std::to_string(1 - first));
  ASSERT_LE(3, m.end() - stopped);
  EXPECT_EQ(0u, stopped[1].rfind("Error in pcap_loop: ", 0)) << stopped[1];
  EXPECT_EQ("Closing capture device", stopped[2]);
  for (uint16_t n = 62; n <= 76; ++n)
    ASSERT_TRUE(send(0, n, true));
  receive(32);
  ASSERT_EQ(expected, taken);

  std::atomic<bool> done{false};
  std::thread sender([&] {
    for (uint16_t n = 77; n < 60000 && !done; ++n)
      send(0, n, true);
  });
  EXPECT_TRUE(waitFor([&] { return rig.sink.datagrams().size() > 3; }));  // under traffic
  EXPECT_LT(millisecondsOf([&] { collector.stop(); }), 1000);
  done = true;
  sender.join();
  receive(0);
  EXPECT_EQ(fdsBefore, openFds());
  uint32_t sequence = 0;  // every sample reached the collector, in order
  for (const DecodedDatagram& d : all)
    for (const DecodedSample& s : d.samples)
      EXPECT_EQ(s.sourceId == first ? ++sequence : s.sequence, s.sequence);
  EXPECT_TRUE(std::adjacent_find(taken[0].begin(), taken[0].end(), std::greater_equal<>()) ==
              taken[0].end());
}

}  // namespace
}  // namespace wendrel::test
