// Random sampling on real capture (veths in namespaces): every traffic class is estimated
// truly, kernel drops reach the samples, a stop delivers what was captured, and a sample of a
// quiet link is ready promptly.
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "../sflow/sflow_fakes.h"
#include "capture_fakes.h"
#include "log_capture.h"
#include "netns.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

enum Kind { kConstant, kVaried, kIpv6, kOther };

// To a MAC address nobody has, so the agent end answers nothing. kConstant: one flow whose
// IPv4 headers never change (id 0, DF, checksum 0: checksum-bit selection never passes it);
// kVaried: IPv4 with a new id and checksum each; kIpv6: UDP over IPv6.
std::vector<uint8_t> frameOf(const NetnsPair::Link& link, Kind kind, uint16_t n) {
  std::vector<uint8_t> f = {2, 0, 0x5e, 0x10, 0, 0x99, 0, 0, 0, 0, 0, 0, 8, 0, 0x45, 0, 0, 46};
  f.resize(60, 0);
  std::copy(link.farMac.begin(), link.farMac.end(), f.begin() + 6);
  f[20] = 0x40, f[22] = 64, f[23] = 17;
  if (kind == kVaried)
    f[18] = f[24] = uint8_t(n >> 8 | 0x80), f[19] = f[25] = uint8_t(n);
  if (kind == kIpv6)
    f[12] = 0x86, f[13] = 0xDD, f[14] = 0x60, f[19] = 6, f[20] = 17, f[21] = 64;
  return f;
}

Kind kindOf(const std::vector<uint8_t>& h) {
  if (h.size() < 20 || h[0] != 2 || h[5] != 0x99)
    return kOther;  // the kernel's own IPv6 chatter
  if (h[12] == 0x86)
    return kIpv6;
  return h[18] == 0 && h[19] == 0 ? kConstant : kVaried;
}

// What the capture statistics line said: {received, dropped}.
std::pair<unsigned, unsigned> statistics(const LogCapture& log) {
  unsigned received = 0, dropped = 0;
  for (const std::string& m : log.messages(log4cplus::DEBUG_LOG_LEVEL))
    std::sscanf(m.c_str(), "Capture statistics - Received: %u Dropped: %u", &received, &dropped);
  return {received, dropped};
}

// A sink whose send waits while `closed`, stalling the capture thread inside the reporter.
struct GatedSink : RecordingSink {
  void send(const uint8_t* data, size_t size) override {
    std::unique_lock<std::mutex> lock(gateMutex);
    ++waiting, gate.notify_all();
    gate.wait(lock, [this] { return !closed; });
    lock.unlock();
    RecordingSink::send(data, size);
  }
  void open() {
    std::lock_guard<std::mutex> lock(gateMutex);
    closed = false, gate.notify_all();
  }
  std::mutex gateMutex;
  std::condition_variable gate;
  bool closed = true;
  int waiting = 0;
};

class Fidelity : public testing::Test {
 protected:
  void SetUp() override {
    if (!NetnsPair::available())
      GTEST_SKIP() << "needs root for network namespaces";
    net.emplace("r");
    net->addLink("10.203.0.1/24");
    net->enterAgent();
  }
  // Random sampling of IPv4 and IPv6 on the link, started and waited for.
  std::unique_ptr<TrafficCollector> start(PacketReporter& reporter, uint32_t rate, bool perf,
                                          int32_t buffer = 16 << 20) {
    CaptureOptions options;
    options.method = SamplingMethod::kRandom, options.ipv6 = true;
    auto c = std::make_unique<TrafficCollector>(128, &reporter, buffer, rate, perf,
                                                LivePcap::instance(), options);
    const size_t started = log.count(log4cplus::DEBUG_LOG_LEVEL, "Starting capture");
    c->startCollecting();
    EXPECT_TRUE(waitFor(
        [&] { return log.count(log4cplus::DEBUG_LOG_LEVEL, "Starting capture") > started; }));
    return c;
  }
  void send(const std::vector<Kind>& cycle, size_t count, std::map<Kind, double>* sent = nullptr) {
    for (size_t n = 0; n < count; ++n) {
      const Kind kind = cycle[n % cycle.size()];
      ASSERT_TRUE(net->send(0, frameOf(net->link(0), kind, uint16_t(n))));
      if (sent)
        ++(*sent)[kind];
    }
  }
  std::optional<NetnsPair> net;
  LogCapture log{"TrafficLogger"};
};

// Each packet is taken with probability 1/rate, independently of every other (the kernel's
// draw passes 1 in k, the random skip then 1 in rate/k of those), so a class of n packets
// gives Binomial(n, 1/rate) samples: the test allows 4 standard deviations,
// |samples - n/rate| <= 4 sqrt(n (1/rate) (1 - 1/rate)), and fails by chance about once in
// 16,000 checks. Rate 1 must take every packet, and then every packet the statistics count
// was delivered though the stop came at once.
TEST_F(Fidelity, EveryClassIsEstimatedWithinTheBinomialBound) {
  const std::vector<Kind> mix = {kConstant, kVaried, kConstant, kIpv6, kVaried};
  const struct {
    uint32_t rate;
    bool perf;
    std::vector<Kind> cycle;  // sent round and round
    size_t count;
  } cases[] = {
      {1, false, mix, 500},
      {1, true, mix, 500},
      {4, false, mix, 2000},
      {4, true, mix, 2000},
      {32, false, mix, 12000},
      {32, true, mix, 12000},
      {1000, false, mix, 40000},
      {1000, true, mix, 40000},
      // Two strictly alternating flows at an even rate lock onto every-N-th counting.
      {16, false, {kConstant, kVaried}, 4000},
      {16, true, {kConstant, kVaried}, 4000},
  };
  for (const auto& c : cases) {
    ReporterRig rig;
    auto collector = start(rig.reporter, c.rate, c.perf);
    std::map<Kind, double> sent, sampled;
    send(c.cycle, c.count, &sent);
    collector->stop();
    std::map<uint32_t, uint32_t> sequence;
    const std::vector<DecodedSample> samples = rig.samples();
    for (const DecodedSample& s : samples) {
      ++sampled[kindOf(s.header)];
      EXPECT_EQ(++sequence[s.sourceId], s.sequence);  // gap-free
      EXPECT_EQ(0u, s.drops);
    }
    const std::string label = std::to_string(c.rate) + (c.perf ? " perf" : "");
    for (const auto& [kind, n] : sent) {
      const double p = 1.0 / c.rate;
      EXPECT_LE(std::abs(sampled[kind] - n * p), 4 * std::sqrt(n * p * (1 - p)))
          << label << " class " << kind << ": " << sampled[kind] << " of " << n;
    }
    if (c.rate == 1) {
      EXPECT_EQ(statistics(log).first, samples.size()) << label;
    }
  }
}

// The kernel drops while the capture thread is stalled in the reporter: samples read before
// say 0, later ones the cumulative count, which ends equal to what libpcap reports.
TEST_F(Fidelity, KernelDropsReachLaterSamples) {
  GatedSink sink;
  FakeClock clock;
  PacketReporter reporter{"127.0.0.1", clock, sink};
  auto collector = start(reporter, 1, false, 256 << 10);
  send({kVaried}, 40);  // fills a datagram, whose send stalls the thread
  ASSERT_TRUE(waitFor([&] {
    std::lock_guard<std::mutex> lock(sink.gateMutex);
    return sink.waiting > 0;
  }));
  send({kVaried}, 20000);  // far more than the 256 KB ring holds
  sink.open();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  send({kVaried}, 40);
  collector->stop();
  reporter.flush();
  std::vector<uint32_t> drops;
  for (const auto& bytes : sink.datagrams()) {
    const DecodedDatagram d = decodeDatagram(bytes).value();
    for (const DecodedSample& s : d.samples)
      drops.push_back(s.drops);
  }
  ASSERT_LT(40u, drops.size());
  EXPECT_EQ(0u, drops.front());
  EXPECT_TRUE(std::is_sorted(drops.begin(), drops.end()));
  EXPECT_LT(0u, statistics(log).second);
  EXPECT_EQ(statistics(log).second, drops.back());
}

// On a quiet link a frame reaches the reporter within the 250 ms read timeout (asserted
// generously), whatever the ring's block still has room for.
TEST_F(Fidelity, AQuietLinksFrameIsSampledPromptly) {
  ReporterRig rig;
  auto collector = start(rig.reporter, 1, true);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const long long ms = millisecondsOf([&] {
    send({kVaried}, 1);
    waitFor([&] {
      const std::vector<DecodedSample> samples = rig.samples();
      return std::any_of(samples.begin(), samples.end(),
                         [](const DecodedSample& s) { return kindOf(s.header) == kVaried; });
    });
  });
  EXPECT_LT(ms, 1000);
  const std::vector<DecodedSample> samples = rig.samples();
  EXPECT_EQ(1, std::count_if(samples.begin(), samples.end(),
                             [](const DecodedSample& s) { return kindOf(s.header) == kVaried; }));
}

// A kernel that refuses the selection program leaves its device on the text filter, with a
// warning; the other device gets the program; both end capture in the kernel at stop.
TEST(KernelProgram, IsAttachedBesideTheTextFilterOrRefusedWithAWarning) {
  FakePcap pcap;
  pcap.devices = {{"eth0", ""}, {"eth1", "userland"}};
  LogCapture log{"TrafficLogger"};
  ReporterRig rig;
  CaptureOptions options;
  options.method = SamplingMethod::kRandom, options.ipv6 = true;
  TrafficCollector collector(128, &rig.reporter, 2097152, 32, true, pcap, options);
  collector.startCollecting();
  ASSERT_TRUE(waitFor([] {  // both capture threads run
    int running = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      std::string name;
      std::getline(std::ifstream(task.path() / "comm"), name);
      running += name.rfind("wendrel-cap", 0) == 0;
    }
    return running == 2;
  }));
  collector.stop();
  for (const std::string device : {"eth0", "eth1"})
    EXPECT_NE(std::string::npos, pcap.trace.find("ip or ip6; setfilter " + device + "; attach " +
                                                 device + " 11; nonblock " + device + " 0"));
  EXPECT_NE(std::string::npos, pcap.trace.find("attach eth0 1; attach eth1 1;")) << pcap.trace;
  EXPECT_EQ(log.messages(log4cplus::WARN_LOG_LEVEL),
            std::vector<std::string>{"The kernel did not take the sampling filter on device eth1, "
                                     "sampling every packet in user space"});
}

}  // namespace
}  // namespace wendrel::test
