// Real capture on veth links between namespaces the test makes: every traffic class estimated
// truly, kernel drops in the samples, a quiet link's frame sampled promptly, interfaces that
// come and go, the kernel's indexes with direction, and counter samples that agree with the
// kernel.
#include <gtest/gtest.h>
#include <net/if.h>

#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "../sflow/sflow_fakes.h"
#include "kernel_interface_statistics.h"
#include "live_pcap.h"
#include "log_capture.h"
#include "netlink_link_events.h"
#include "scenario.h"
#include "traffic_collector.h"
#include "veth_helpers.h"

namespace wendrel::test {
namespace {

constexpr uint32_t kInternal = 0x3FFFFFFF;
using Sources = std::tuple<uint32_t, uint32_t, uint32_t>;  // source id, input, output

size_t openFds() {
  return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

CaptureOptions randomIp(SourceIdKind kind = SourceIdKind::Index, uint32_t counterS = 0) {
  CaptureOptions options;
  options.method = SamplingMethod::kRandom, options.ipv6 = true;
  options.sourceId = kind, options.counterIntervalS = counterS;
  return options;
}

// Capture in this process on the agent namespace's links into `reporter`, started once every
// link is captured. libpcap lists the devices of the main thread's namespace: the test's
// thread enters the agent namespace for good. With `watch`, the kernel's link events and
// counters (which watch the namespace of their maker) are on too.
struct Capture {
  Capture(NetnsPair& pair, PacketReporter& reporter, uint32_t rate, bool perf,
          CaptureOptions options = randomIp(), int32_t buffer = 16 << 20, bool watch = false)
      : net(pair) {
    pair.enterAgent();
    if (watch)
      events.emplace(), statistics.emplace();
    options.linkEvents = watch ? &*events : nullptr;
    options.statistics = watch ? &*statistics : nullptr;
    collector.emplace(128, &reporter, buffer, rate, perf, pcap, options);
    collector->startCollecting();
    EXPECT_TRUE(waitFor([&] { return collector->statistics().interfaces == net.linkCount(); }));
  }
  NetnsPair& net;
  std::optional<NetlinkLinkEvents> events;
  std::optional<KernelInterfaceStatistics> statistics;
  LivePcap pcap;
  std::optional<TrafficCollector> collector;
};

// Each packet is taken with probability 1/rate, independently of every other (the kernel's
// draw passes 1 in k, the random skip then 1 in rate/k of those), so a class of n packets
// gives Binomial(n, 1/rate) samples: the test allows 4 standard deviations,
// |samples - n/rate| <= 4 sqrt(n (1/rate) (1 - 1/rate)), and fails by chance about once in
// 16,000 checks. Rate 1 takes every packet, and every packet the statistics count is
// delivered though the stop comes at once.
TEST(Veth, EveryClassIsEstimatedWithinTheBinomialBound) {
  if (!NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  NetnsPair net("r");
  net.addLink("10.203.0.1/24");
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
    Capture capture(net, rig.reporter, c.rate, c.perf);
    std::map<Kind, double> sent, sampled;
    for (size_t n = 0; n < c.count; ++n) {
      const Kind kind = c.cycle[n % c.cycle.size()];
      ASSERT_TRUE(net.send(0, frameOf(net.link(0), kind, uint16_t(n))));
      ++sent[kind];
    }
    capture.collector->stop();
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
      EXPECT_EQ(capture.collector->statistics().packetsSeen, samples.size()) << label;
      EXPECT_EQ(capture.collector->statistics().packetsSeen, samples.back().samplePool) << label;
    }
    // The last pool counts the packets up to its sample, each arrival as the k it stands for:
    // k Binomial(n', 1/k) for the n' = n - g sent by then, g (the packets after it) below
    // 10 x rate but for a chance of e^-10. Allowed: 4 of its standard deviations, and 20
    // packets of the kernel's own chatter.
    const double k = buildFilter(c.rate, c.perf, SamplingMethod::kRandom, true).step;
    const double n = double(c.count), sd = k * std::sqrt(n / k * (1 - 1 / k));
    EXPECT_LE(samples.back().samplePool, n + 20 + 4 * sd) << label;
    EXPECT_GE(samples.back().samplePool, n - 10.0 * c.rate - 4 * sd) << label;
  }
}

// The kernel drops while the capture thread is stalled: samples read before say 0, later
// ones the cumulative count, which ends equal to the figures'. Then, on the quiet link, one
// frame reaches the reporter within the 250 ms read timeout (asserted generously).
TEST(Veth, KernelDropsReachLaterSamplesAndAQuietLinksFrameComesPromptly) {
  if (!NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  NetnsPair net("d");
  net.addLink("10.204.0.1/24");
  GatedSink sink;
  FakeClock clock;
  PacketReporter reporter{"127.0.0.1", clock, sink};
  Capture capture(net, reporter, 1, false, randomIp(), 256 << 10);
  auto send = [&](size_t count) {
    for (size_t n = 0; n < count; ++n)
      ASSERT_TRUE(net.send(0, frameOf(net.link(0), kVaried, uint16_t(n))));
  };
  send(40);  // fills a datagram, whose send stalls the thread
  ASSERT_TRUE(waitFor([&] {
    std::lock_guard<std::mutex> lock(sink.gateMutex);
    return sink.waiting > 0;
  }));
  send(20000);  // far more than the 256 KB ring holds
  {
    std::lock_guard<std::mutex> lock(sink.gateMutex);
    sink.closed = false, sink.gate.notify_all();
  }
  std::this_thread::sleep_for(Millis(500));
  reporter.flush();
  const size_t before = sink.datagrams().size();
  EXPECT_LT(millisecondsOf([&] {
              send(1);
              waitFor([&] { return reporter.flush(), sink.datagrams().size() > before; });
            }),
            1000);
  capture.collector->stop();
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
  EXPECT_LT(0u, capture.collector->statistics().kernelDrops);
  EXPECT_EQ(capture.collector->statistics().kernelDrops, drops.back());
}

struct Rig {
  ReporterRig rig;  // a base, so that it is there before capture starts and after it ends
};

// Capture at rate 1 with the kernel's link events and counters, and all it has sent.
struct Watch : Rig, Capture {
  Watch(NetnsPair& pair, SourceIdKind kind, uint32_t counterS)
      : Capture(pair, rig.reporter, 1, false, randomIp(kind, counterS), 2 << 20, true) {}
  const std::vector<DecodedDatagram>& take() {
    for (const DecodedDatagram& d : rig.datagrams(true))
      all.push_back(d);
    return all;
  }
  // Calls `send` every 20 ms (at most 150 times) until a sample `matches`; those samples.
  std::vector<DecodedSample> sampled(const std::function<void(uint16_t)>& send,
                                     const std::function<bool(const DecodedSample&)>& matches) {
    std::vector<DecodedSample> found;
    for (uint16_t n = 0, from = uint16_t(take().size()); n < 150 && found.empty(); ++n) {
      send(n);
      std::this_thread::sleep_for(Millis(20));
      for (take(); from < all.size(); ++from)
        std::copy_if(all[from].samples.begin(), all[from].samples.end(), std::back_inserter(found),
                     matches);
    }
    return found;
  }
  // Source id, input and output of the frames sampled from link i.
  std::set<Sources> sourcesFrom(size_t i) {
    std::set<Sources> ids;
    for (const DecodedSample& s :
         sampled([&](uint16_t n) { net.send(i, testFrame(net.link(i), n)); },
                 [&](const DecodedSample& s) { return fromLink(s, net.link(i)); }))
      ids.emplace(s.sourceId, s.inputInterface, s.outputInterface);
    return ids;
  }
  std::vector<DecodedDatagram> all;
};

// With the default source ids: an interface added after the start is sampled under the next
// index; deleted (its capture ends, without an error) and created again, under its old one;
// no direction, no counter samples when they are off; stop right after an interface appeared
// is prompt and leaves no descriptor open.
TEST(Veth, HotPluggedInterfacesKeepTheirIndex) {
  if (!NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  LogCapture log;
  NetnsPair net("h");
  net.addLink("10.211.0.1/24");
  const size_t fds = openFds();
  std::optional<Watch> w(std::in_place, net, SourceIdKind::Index, 0);
  EXPECT_EQ((std::set<Sources>{{0, 0, 0}}), w->sourcesFrom(0));
  net.addLink("");
  EXPECT_EQ((std::set<Sources>{{1, 0, 0}}), w->sourcesFrom(1));
  net.removeLink(1);
  ASSERT_TRUE(waitFor([&] { return w->collector->statistics().interfaces == 1; }));
  EXPECT_TRUE(log.messages(log4cplus::ERROR_LOG_LEVEL).empty());  // an interface gone is no error
  net.recreateLink(1);
  EXPECT_EQ((std::set<Sources>{{1, 0, 0}}), w->sourcesFrom(1));
  EXPECT_EQ(2u, w->collector->statistics().interfaces);
  net.addLink("");
  EXPECT_LT(millisecondsOf([&] { w->collector->stop(); }), 1500);
  for (const DecodedDatagram& d : w->take())
    EXPECT_TRUE(d.counters.empty());
  w.reset();
  EXPECT_EQ(fds + net.linkCount() - 1, openFds());  // the links' own sending sockets only
}

// With the kernel's indexes: received frames come in on the interface, frames this host sent
// go out on it; an added interface has its kernel index; counter samples every second agree
// with the kernel's counters, name the interface and count each source without a gap.
TEST(Veth, KernelIndexesDirectionAndCounterSamples) {
  if (!NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  NetnsPair net("k");
  const std::string name = net.addLink("10.212.0.1/24").agentName;
  ASSERT_TRUE(shell("ip -n " + net.agentNamespace() + " neigh add 10.212.0.9 lladdr " +
                    "02:00:5e:10:00:99 dev " + name));
  const auto started = std::chrono::steady_clock::now();
  Watch w(net, SourceIdKind::IfIndex, 1);
  const uint32_t ifIndex = if_nametoindex(name.c_str());
  EXPECT_EQ((std::set<Sources>{{ifIndex, ifIndex, kInternal}}), w.sourcesFrom(0));
  // A frame of this host's own, to the neighbour above, from 10.212.0.1.
  UdpCollector from("10.212.0.1");
  const auto sent =
      w.sampled([&](uint16_t) { from.sendTo("10.212.0.9", 9); },
                [](const DecodedSample& s) { return s.header.size() > 33 && s.header[27] == 212; });
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ((std::pair<uint32_t, uint32_t>{kInternal, ifIndex}),
            std::pair(sent[0].inputInterface, sent[0].outputInterface));
  const uint32_t added = if_nametoindex(net.addLink("").agentName.c_str());
  EXPECT_EQ(added, std::get<0>(*w.sourcesFrom(1).begin()));

  std::this_thread::sleep_for(Millis(2500));
  w.collector->stop();
  const auto kernel = w.statistics->read(name);
  ASSERT_TRUE(kernel.has_value());
  std::map<uint32_t, std::vector<DecodedCounters>> bySource;
  for (const DecodedDatagram& d : w.take())
    for (const DecodedCounters& c : d.counters)
      bySource[c.sourceId].push_back(c);
  ASSERT_EQ(2u, bySource.size());
  for (const auto& [source, samples] : bySource)
    for (size_t i = 0; i < samples.size(); ++i)
      EXPECT_EQ(i + 1, samples[i].sequence) << source;
  const std::vector<DecodedCounters>& mine = bySource[ifIndex];
  ASSERT_LE(2u, mine.size());
  EXPECT_GE((std::chrono::steady_clock::now() - started) / std::chrono::seconds(1) + 1,
            long(mine.size()));  // one a second
  const DecodedCounters& last = mine.back();
  EXPECT_EQ(std::tuple(ifIndex, 6u, 3u, name),
            std::tuple(last.ifIndex(), last.generic[1], last.status(), last.name));
  // The kernel counts on after the last sample only by what arrived within one interval.
  const uint32_t kernelPackets = kernel->inUnicast + kernel->inMulticast;
  EXPECT_LE(last.inPackets(), kernelPackets);
  EXPECT_LE(kernelPackets - last.inPackets(), 5u);
  EXPECT_LE(last.inOctets(), kernel->inOctets);
  EXPECT_LE(kernel->inOctets - last.inOctets(), 1000u);
}

}  // namespace
}  // namespace wendrel::test
