// Real capture through libpcap on veth links in namespaces the test creates: which frames are
// sampled, under which source index and agent address, a vanishing device, and stop.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capture_fakes.h"
#include "log_capture.h"
#include "netns.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

// 60 bytes to a MAC address nobody has (so the agent sends no IPv4 of its own). IPv4/UDP: IP id
// `number`, source 10.201.0.<marker>. Any other EtherType: every bit set after the header.
std::vector<uint8_t> frame(const NetnsPair::Link& link, uint8_t marker, uint16_t number,
                           uint16_t checksum, uint16_t etherType = 0x0800) {
  std::vector<uint8_t> f(60, 0xFF);
  const uint8_t nobody[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x99};
  std::copy(link.farMac.begin(), link.farMac.end(), std::copy(nobody, nobody + 6, f.begin()));
  auto put16 = [&f](size_t at, uint16_t value) {
    f[at] = uint8_t(value >> 8), f[at + 1] = uint8_t(value);
  };
  put16(12, etherType);
  if (etherType == 0x0800) {
    const uint8_t ip[20] = {0x45, 0, 0,  46,  0, 0,      0,  0,   64, 17,
                            0,    0, 10, 201, 0, marker, 10, 201, 0,  99};
    std::fill(std::copy(ip, ip + 20, f.begin() + 14), f.end(), 0xA5);
    put16(18, number);
    put16(24, checksum);
  }
  return f;
}

uint16_t numberOf(const DecodedSample& s) {
  return static_cast<uint16_t>(s.header.at(18) << 8 | s.header.at(19));
}
uint8_t markerOf(const DecodedSample& s) {
  return s.header.at(29);
}

int openFds() {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

class LiveCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NetnsPair::available())
      GTEST_SKIP() << "needs root for network namespaces";
    net = std::make_unique<NetnsPair>("c");
    net->addLink("10.201.0.1/24");
    net->addLink("10.202.0.1/24");
    net->enterAgent();
    fdsBefore = openFds();
  }
  void start(uint32_t rate, bool performanceMode) {
    collector =
        std::make_unique<TrafficCollector>(128, &rig.reporter, 2097152, rate, performanceMode);
    collector->startCollecting();
    // Each handle's filter is in place before this line, so later frames are captured.
    ASSERT_TRUE(waitFor([this] { return log.contains(kDebug, "Starting capture"); }));
    ASSERT_EQ(net->linkCount(), collector->openDeviceCount());
  }
  // The samples not taken before, once `count` have arrived (or 5 s passed), and any that follow
  // within the 1000 ms read timeout, by which frames reach user space at the latest.
  std::vector<DecodedSample> samplesAfter(size_t count) {
    std::vector<DecodedSample> received;
    auto take = [&] {
      const auto more = rig.samples(true);
      received.insert(received.end(), more.begin(), more.end());
      return received.size() >= count;
    };
    waitFor(take);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    take();
    return received;
  }

  LogCapture log{"TrafficLogger"};
  ReporterRig rig;
  std::unique_ptr<NetnsPair> net;
  std::unique_ptr<TrafficCollector> collector;  // stopped before `net` goes
  int fdsBefore = 0;
};

// Rate 32 in performance mode: of the IPv4 frames whose checksum ends in 0xF every second one
// is taken, counted per interface; ARP and IPv6 never are. Then one device vanishes, the other
// goes on, and once it has been idle past the read timeout, stop is still prompt.
TEST_F(LiveCaptureTest, SamplesTheExpectedFramesSurvivesAVanishedDeviceAndStopsWhenIdle) {
  start(32, true);
  std::map<uint8_t, std::vector<std::vector<uint8_t>>> expected;  // marker -> frames
  int passed[2] = {0, 0};
  auto send = [&](size_t link, uint16_t n) {
    const bool passes = n % 3 != 0;
    const uint16_t checksum = passes ? uint16_t(0x1200 | (n & 0xF0) | 0x0F) : 0x12FE;
    const auto f = frame(net->link(link), uint8_t(link + 1), n, checksum);
    if (passes && ++passed[link] % 2 == 0)
      expected[uint8_t(link + 1)].push_back(f);
    return net->send(link, f);
  };
  for (uint16_t n = 1; n <= 60; ++n) {
    ASSERT_TRUE(send(0, n));
    ASSERT_TRUE(n > 12 || send(1, n));  // the second link: 12 frames only
    ASSERT_TRUE(net->send(0, frame(net->link(0), 0, 0, 0, 0x0806)));  // ARP
    ASSERT_TRUE(net->send(1, frame(net->link(1), 0, 0, 0, 0x86DD)));  // IPv6
  }
  std::map<uint8_t, std::vector<std::vector<uint8_t>>> got;
  std::map<uint8_t, std::set<uint32_t>> sources;
  for (const auto& s : samplesAfter(24)) {
    got[markerOf(s)].push_back(s.header);
    sources[markerOf(s)].insert(s.sourceId);
    EXPECT_EQ(32u, s.samplingRate);
    EXPECT_EQ(60u, s.frameLength);
  }
  ASSERT_EQ(expected, got);
  const uint32_t first = *sources[1].begin();  // each link one source index, 0 and 1
  EXPECT_EQ((std::map<uint8_t, std::set<uint32_t>>{{1, {first}}, {2, {1 - first}}}), sources);
  // The agent address: the IPv4 address of the device enumerated first.
  EXPECT_EQ(inet_addr(net->link(first == 0 ? 0 : 1).agentAddress.c_str()),
            collector->agentAddress());

  net->removeLink(1);
  ASSERT_TRUE(waitFor([&] { return collector->openDeviceCount() == 1; }));
  const std::vector<std::string> m = log.messages();
  const auto stopped =
      std::find(m.begin(), m.end(), "Stopped collecting on interface " + std::to_string(1 - first));
  ASSERT_LE(3, std::distance(stopped, m.end()));
  EXPECT_EQ(0u, (stopped + 1)->rfind("Error in pcap_loop: ", 0)) << *(stopped + 1);
  EXPECT_EQ("Closing capture device", *(stopped + 2));
  expected.clear();
  for (uint16_t n = 61; n <= 75; ++n)
    ASSERT_TRUE(send(0, n));
  got.clear();
  for (const auto& s : samplesAfter(5))
    got[markerOf(s)].push_back(s.header);
  EXPECT_EQ(expected, got);

  EXPECT_LT(millisecondsOf([&] { collector->stop(); }), 1000);
  EXPECT_EQ(0u, collector->openDeviceCount());
  EXPECT_EQ(2u, log.count(kInfo, "Closing capture device"));
  EXPECT_EQ(fdsBefore, openFds());
}

// Per source, the sequence numbers of what reached the collector run on without a gap, and
// the frames arrive whole, in the order sent.
TEST_F(LiveCaptureTest, StopUnderTrafficLosesNoTakenSample) {
  start(1, false);
  std::atomic<bool> done{false};
  std::thread sender([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    for (uint16_t n = 1; n < 60000 && !done && std::chrono::steady_clock::now() < deadline; ++n) {
      net->send(0, frame(net->link(0), 1, n, 0));
      net->send(1, frame(net->link(1), 2, n, 0));
    }
  });
  // Stop while the samples of both interfaces flow: full datagrams carrying each have left.
  const bool flowing = waitFor([&] {
    std::set<uint32_t> sources;
    for (const auto& bytes : rig.sink.datagrams()) {
      for (const auto& s : decodeDatagram(bytes).value_or(DecodedDatagram{}).samples)
        sources.insert(s.sourceId);
    }
    return sources.size() == 2;
  });
  const long long stopMs = millisecondsOf([&] { collector->stop(); });
  done = true;
  sender.join();
  ASSERT_TRUE(flowing);
  EXPECT_LT(stopMs, 1000);

  std::map<uint32_t, std::vector<DecodedSample>> bySource;
  for (const auto& s : rig.samples())
    bySource[s.sourceId].push_back(s);
  ASSERT_EQ(2u, bySource.size());
  for (const auto& [source, samples] : bySource) {
    const uint8_t marker = markerOf(samples.front());
    for (size_t i = 0; i < samples.size(); ++i) {
      EXPECT_EQ(i + 1, samples[i].sequence) << "source " << source;
      EXPECT_EQ(frame(net->link(marker - 1u), marker, numberOf(samples[i]), 0), samples[i].header);
      EXPECT_TRUE(i == 0 || numberOf(samples[i]) > numberOf(samples[i - 1])) << i;
    }
  }
}

}  // namespace
}  // namespace wendrel::test
