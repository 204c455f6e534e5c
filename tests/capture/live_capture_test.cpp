// Real capture through libpcap on veth links in namespaces the test creates.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "../sflow/sflow_fakes.h"
#include "capture_fakes.h"
#include "log_capture.h"
#include "netns.h"
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

  // IPv4/UDP with IP id `n` to a MAC address nobody has (so the agent sends no IPv4 of its own).
  // The filter passes it when the checksum's low nibble is 0xF; every second of those is taken.
  std::map<uint8_t, std::vector<uint16_t>> expected;  // link -> IP ids
  int passed[2] = {0, 0};
  auto send = [&](uint8_t link, uint16_t n, bool passes) {
    std::vector<uint8_t> f = {2, 0, 0x5e, 0x10, 0, 0x99, 0, 0, 0, 0, 0, 0, 8, 0, 0x45, 0, 0, 46};
    f.resize(60, link);  // the last byte tells the link
    f[18] = uint8_t(n >> 8), f[19] = uint8_t(n), f[20] = f[21] = 0, f[22] = 64, f[23] = 17;
    f[24] = 0x12, f[25] = passes ? 0x3F : 0xFE;
    std::copy(net.link(link).farMac.begin(), net.link(link).farMac.end(), f.begin() + 6);
    f.resize(60, link);
    if (passes && ++passed[link] % 2 == 0)
      expected[link].push_back(n);
    return net.send(link, f);
  };
  std::vector<DecodedDatagram> all;
  // Takes what arrives until `count` samples in all (or 5 s), and then within the 1000 ms read
  // timeout, by which frames reach user space at the latest; returns link -> IP ids.
  auto received = [&](size_t count) {
    auto take = [&] {
      size_t samples = 0;
      for (const DecodedDatagram& d : rig.datagrams(true))
        all.push_back(d);
      for (const DecodedDatagram& d : all)
        samples += d.samples.size();
      return samples >= count;
    };
    waitFor(take);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    take();
    std::map<uint8_t, std::vector<uint16_t>> ids;
    for (const DecodedDatagram& d : all)
      for (const DecodedSample& s : d.samples)
        ids[s.header.back()].push_back(uint16_t(s.header[18] << 8 | s.header[19]));
    return ids;
  };
  // 41 frames pass on link 0, so its counter carries a remainder into the later batches.
  for (uint16_t n = 1; n <= 61; ++n)
    ASSERT_TRUE(send(0, n, n % 3 != 0) && (n > 12 || send(1, n, n % 3 != 0)));  // 12 on link 1
  ASSERT_EQ(expected, received(24));
  std::map<uint8_t, std::set<uint32_t>> sources;  // link -> source indices
  for (const DecodedDatagram& d : all)
    for (const DecodedSample& s : d.samples)
      sources[s.header.back()].insert(s.sourceId);
  const uint32_t first = *sources[0].begin();  // 0 when link 0 was enumerated first
  EXPECT_EQ((std::map<uint8_t, std::set<uint32_t>>{{0, {first}}, {1, {1 - first}}}), sources);
  for (const DecodedDatagram& d : all) {
    uint32_t agent = 0;
    std::memcpy(&agent, d.agentAddress.data(), 4);
    EXPECT_EQ(inet_addr(net.link(first).agentAddress.c_str()), agent);
  }

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
  ASSERT_EQ(expected, received(32));

  std::atomic<bool> done{false};
  std::thread sender([&] {
    for (uint16_t n = 77; n < 60000 && !done; ++n)
      send(0, n, true);
  });
  EXPECT_TRUE(waitFor([&] { return rig.sink.datagrams().size() > 3; }));  // under traffic
  EXPECT_LT(millisecondsOf([&] { collector.stop(); }), 1000);
  done = true;
  sender.join();
  received(0);
  EXPECT_EQ(fdsBefore, openFds());
  uint32_t sequence = 0, id = 0;  // every sample reached the collector, in order
  for (const DecodedDatagram& d : all)
    for (const DecodedSample& s : d.samples)
      if (s.sourceId == first) {
        EXPECT_EQ(++sequence, s.sequence);
        EXPECT_LT(id, uint32_t(s.header[18] << 8 | s.header[19]));
        id = uint32_t(s.header[18] << 8 | s.header[19]);
      }
}

}  // namespace
}  // namespace wendrel::test
