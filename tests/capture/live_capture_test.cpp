// Real capture through libpcap on veth links in namespaces the test creates: which frames
// are sampled, under which source index and agent address, a vanishing device, and stop.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capture_test_util.h"
#include "log_capture.h"
#include "netns.h"
#include "reporter_rig.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

// Unicast to a MAC address nobody has: the agent's kernel drops the frames unanswered, so
// the agent namespace sends no IPv4 of its own, and capture still sees them.
const uint8_t kNobody[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x99};

std::vector<uint8_t> ethernet(const NetnsPair::Link& link, uint16_t etherType) {
  std::vector<uint8_t> f(kNobody, kNobody + 6);
  f.insert(f.end(), link.farMac.begin(), link.farMac.end());
  f.push_back(static_cast<uint8_t>(etherType >> 8));
  f.push_back(static_cast<uint8_t>(etherType));
  return f;
}

// A 60-byte IPv4/UDP frame with the given header checksum; the IP id carries `number` and
// the source address's last byte `marker`.
std::vector<uint8_t> ipv4(const NetnsPair::Link& link, uint8_t marker, uint16_t number,
                          uint16_t checksum) {
  std::vector<uint8_t> f = ethernet(link, 0x0800);
  const uint8_t header[20] = {0x45,
                              0,
                              0,
                              46,
                              static_cast<uint8_t>(number >> 8),
                              static_cast<uint8_t>(number),
                              0,
                              0,
                              64,
                              17,
                              static_cast<uint8_t>(checksum >> 8),
                              static_cast<uint8_t>(checksum),
                              10,
                              201,
                              0,
                              marker,
                              10,
                              201,
                              0,
                              99};
  f.insert(f.end(), header, header + 20);
  f.resize(60, 0xA5);
  return f;
}

// Frames that are not IPv4 but whose byte where an IPv4 checksum would be has every bit set.
std::vector<uint8_t> notIpv4(const NetnsPair::Link& link, uint16_t etherType) {
  std::vector<uint8_t> f = ethernet(link, etherType);
  f.resize(60, 0xFF);
  return f;
}

uint16_t numberOf(const DecodedSample& s) {
  return static_cast<uint16_t>(s.header.at(18) << 8 | s.header.at(19));
}
uint8_t markerOf(const DecodedSample& s) {
  return s.header.at(29);
}

int openSockets() {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* e = readdir(dir)) {
    char target[64] = "";
    const std::string path = std::string("/proc/self/fd/") + e->d_name;
    if (readlink(path.c_str(), target, sizeof target - 1) > 0 &&
        std::string(target).rfind("socket:", 0) == 0) {
      ++n;
    }
  }
  closedir(dir);
  return n;
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
    socketsBefore = openSockets();
  }
  void TearDown() override {
    if (collector)
      collector->stop();
    collector.reset();
    net.reset();
  }

  void start(uint32_t rate, bool performanceMode) {
    collector =
        std::make_unique<TrafficCollector>(128, &rig.reporter, 2097152, rate, performanceMode);
    collector->startCollecting();
    // Each handle's filter is installed before this line, so later frames are captured.
    ASSERT_TRUE(waitFor([this] { return log.contains(kDebug, "Starting capture"); }));
    ASSERT_EQ(collector->openDeviceCount(), net->linkCount());
  }

  // Samples gathered so far, once at least `count` have arrived (or 5 s have passed), plus
  // any stragglers that follow within a short while.
  std::vector<DecodedSample> samplesAfter(size_t count) {
    auto take = [this] {
      for (auto& d : rig.takeDatagrams()) {
        agentAddresses.push_back(d.agentAddress);
        for (auto& s : d.samples)
          received.push_back(s);
      }
    };
    waitFor([&] {
      take();
      return received.size() >= count;
    });
    // Frames reach user space when the kernel hands over a block, at the latest after the
    // 1000 ms read timeout; wait past it for any sample that should not be there.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    take();
    return received;
  }

  uint32_t indexOfLink(const std::vector<DecodedSample>& samples, uint8_t marker) {
    for (const auto& s : samples) {
      if (markerOf(s) == marker)
        return s.sourceId;
    }
    ADD_FAILURE() << "no sample from link marker " << int(marker);
    return 99;
  }

  LogCapture log{"TrafficLogger"};
  ReporterRig rig;
  std::unique_ptr<NetnsPair> net;
  std::unique_ptr<TrafficCollector> collector;
  std::vector<DecodedSample> received;
  std::vector<std::array<uint8_t, 4>> agentAddresses;  // of the datagrams taken
  int socketsBefore = 0;
};

TEST_F(LiveCaptureTest, PerformanceModeSamplesExactlyTheExpectedFrames) {
  start(32, true);  // filter ip[11] & 0x0F = 0x0F, every second passing frame taken
  std::vector<std::vector<uint8_t>> sent;
  std::vector<uint16_t> expected;
  int passing = 0;
  for (uint16_t n = 1; n <= 60; ++n) {
    const bool passes = n % 3 != 0;
    const uint16_t checksum = passes ? static_cast<uint16_t>(0x1200 | (n & 0xF0) | 0x0F) : 0x12FE;
    sent.push_back(ipv4(net->link(0), 1, n, checksum));
    ASSERT_TRUE(net->send(0, sent.back()));
    ASSERT_TRUE(net->send(0, notIpv4(net->link(0), 0x0806)));  // ARP
    ASSERT_TRUE(net->send(0, notIpv4(net->link(0), 0x86DD)));  // IPv6
    if (passes && ++passing % 2 == 0)
      expected.push_back(n);
  }
  std::vector<DecodedSample> samples = samplesAfter(expected.size());
  ASSERT_EQ(samples.size(), expected.size());
  for (size_t i = 0; i < samples.size(); ++i) {
    EXPECT_EQ(numberOf(samples[i]), expected[i]);
    EXPECT_EQ(samples[i].header, sent[expected[i] - 1]);
    EXPECT_EQ(samples[i].frameLength, 60u);
    EXPECT_EQ(samples[i].samplingRate, 32u);
  }
}

TEST_F(LiveCaptureTest, TwoInterfacesKeepSeparateCountersIndicesAndOneAgentAddress) {
  start(3, false);  // every third IPv4 frame of each interface
  for (uint16_t n = 1; n <= 10; ++n) {
    ASSERT_TRUE(net->send(0, ipv4(net->link(0), 1, n, 0)));
    if (n <= 5) {
      ASSERT_TRUE(net->send(1, ipv4(net->link(1), 2, static_cast<uint16_t>(100 + n), 0)));
    }
    ASSERT_TRUE(net->send(1, notIpv4(net->link(1), 0x0806)));
  }
  std::vector<DecodedSample> samples = samplesAfter(4);
  std::map<uint8_t, std::vector<uint16_t>> byLink;
  for (const auto& s : samples)
    byLink[markerOf(s)].push_back(numberOf(s));
  EXPECT_EQ(byLink[1], (std::vector<uint16_t>{3, 6, 9}));
  EXPECT_EQ(byLink[2], (std::vector<uint16_t>{103}));
  EXPECT_EQ(byLink.size(), 2u);

  const uint32_t first = indexOfLink(samples, 1);
  const uint32_t second = indexOfLink(samples, 2);
  for (const auto& s : samples)
    EXPECT_EQ(s.sourceId, markerOf(s) == 1 ? first : second);
  EXPECT_EQ(first + second, 1u);  // 0 and 1

  // The agent address is the IPv4 address of the device enumerated first.
  const std::string& address = net->link(first == 0 ? 0 : 1).agentAddress;
  EXPECT_EQ(collector->agentAddress(), inet_addr(address.c_str()));
  collector->stop();
  in_addr agent{};
  inet_pton(AF_INET, address.c_str(), &agent);
  ASSERT_FALSE(agentAddresses.empty());
  for (const auto& a : agentAddresses)
    EXPECT_EQ(std::memcmp(a.data(), &agent, 4), 0);
}

TEST_F(LiveCaptureTest, VanishedDeviceEndsItsThreadAndTheOtherGoesOn) {
  start(1, false);
  ASSERT_TRUE(net->send(0, ipv4(net->link(0), 1, 1, 0)));
  ASSERT_TRUE(net->send(1, ipv4(net->link(1), 2, 1, 0)));
  std::vector<DecodedSample> before = samplesAfter(2);
  ASSERT_EQ(before.size(), 2u);
  const uint32_t gone = indexOfLink(before, 2);

  net->removeLink(1);
  ASSERT_TRUE(waitFor([&] { return collector->openDeviceCount() == 1; }));
  std::vector<std::string> messages = log.messages();
  auto stopped = std::find(messages.begin(), messages.end(),
                           "Stopped collecting on interface " + std::to_string(gone));
  ASSERT_NE(stopped, messages.end());
  ASSERT_GE(std::distance(stopped, messages.end()), 3);
  EXPECT_EQ((stopped + 1)->rfind("Error in pcap_loop: ", 0), 0u) << *(stopped + 1);
  EXPECT_EQ(*(stopped + 2), "Closing capture device");

  received.clear();
  for (uint16_t n = 2; n <= 6; ++n)
    ASSERT_TRUE(net->send(0, ipv4(net->link(0), 1, n, 0)));
  std::vector<DecodedSample> after = samplesAfter(5);
  ASSERT_EQ(after.size(), 5u);
  for (const auto& s : after)
    EXPECT_EQ(s.sourceId, 1 - gone);
}

TEST_F(LiveCaptureTest, StopOnIdleInterfacesIsPromptAndClosesEveryHandle) {
  start(32, true);
  // Past the read timeout: a blocked read on an idle device does not return by itself.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_LT(millisecondsOf([&] { collector->stop(); }), 1000);
  EXPECT_EQ(collector->openDeviceCount(), 0u);
  EXPECT_EQ(log.count(kInfo, "Closing capture device"), 2u);
  EXPECT_TRUE(log.contains(kInfo, "Stopped collecting on interface 0"));
  EXPECT_TRUE(log.contains(kInfo, "Stopped collecting on interface 1"));
  EXPECT_EQ(openSockets(), socketsBefore);
}

TEST_F(LiveCaptureTest, StopUnderTrafficLosesNoTakenSample) {
  start(1, false);
  std::atomic<bool> done{false};
  std::thread sender([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    for (uint16_t n = 1; n < 60000 && !done && std::chrono::steady_clock::now() < deadline; ++n) {
      net->send(0, ipv4(net->link(0), 1, n, 0));
      net->send(1, ipv4(net->link(1), 2, n, 0));
    }
  });
  struct Joiner {
    std::atomic<bool>& done;
    std::thread& thread;
    ~Joiner() {
      done = true;
      thread.join();
    }
  } joiner{done, sender};
  // Stop while samples of both interfaces are flowing: full datagrams carrying each have
  // left already (frames still in the kernel's ring are not samples yet).
  ASSERT_TRUE(waitFor([&] {
    std::set<uint32_t> sources;
    for (const auto& bytes : rig.sink.datagrams()) {
      if (auto d = decodeDatagram(bytes)) {
        for (const auto& s : d->samples)
          sources.insert(s.sourceId);
      }
    }
    return sources.size() == 2;
  }));
  EXPECT_LT(millisecondsOf([&] { collector->stop(); }), 1000);

  // Every sample taken reached a whole datagram: per source, sequence numbers run on
  // without a gap and frames arrive in the order sent.
  std::map<uint32_t, std::vector<DecodedSample>> bySource;
  for (auto& s : rig.samples())
    bySource[s.sourceId].push_back(s);
  ASSERT_EQ(bySource.size(), 2u);
  RecordProperty("samples", static_cast<int>(bySource[0].size() + bySource[1].size()));
  for (const auto& [source, samples] : bySource) {
    const uint8_t marker = markerOf(samples.front());
    for (size_t i = 0; i < samples.size(); ++i) {
      EXPECT_EQ(samples[i].sequence, i + 1) << "source " << source;
      EXPECT_EQ(markerOf(samples[i]), marker);
      EXPECT_EQ(samples[i].header, ipv4(net->link(marker - 1), marker, numberOf(samples[i]), 0));
      if (i > 0) {
        EXPECT_GT(numberOf(samples[i]), numberOf(samples[i - 1]));
      }
    }
  }
  EXPECT_EQ(collector->openDeviceCount(), 0u);
}

}  // namespace
}  // namespace wendrel::test
