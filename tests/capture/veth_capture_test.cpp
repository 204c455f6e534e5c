// Real capture, by libpcap and by the kernel sampler, on veth links between namespaces the
// test makes; and what a real host does meanwhile: links that are down, bridges and renames
// made after the start, interfaces that come and go under fresh names.
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>

#include <cmath>
#include <map>
#include <optional>
#include <set>

#include "bpf/sampler_record.h"
#include "proc_host_statistics.h"
#include "veth_helpers.h"

namespace wendrel::test {
namespace {

using Sources = std::tuple<uint32_t, uint32_t, uint32_t>;  // source id, input, output
using Veth = NetnsTest;
using AgentIdentity = NetnsTest;

// Sends `frame` out of the agent's end of `link`, through the egress path.
bool sendOut(const NetnsPair::Link& link, const std::vector<uint8_t>& frame) {
  static const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);  // the agent's namespace
  const sockaddr_ll to{AF_PACKET, 0, int(if_nametoindex(link.agentName.c_str())), 0, 0, 6, {}};
  return ::sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to) == ssize_t(frame.size());
}

// Each packet is taken with probability 1/rate, independently of every other (the kernel's
// draw passes 1 in k, the random skip then 1 in rate/k of those), so a class of n packets
// gives Binomial(n, 1/rate) samples: the test allows 4 standard deviations, and fails by
// chance about once in 16,000 checks. The kernel sampler also sees sent frames, told apart by
// direction, and keeps an exact pool. Rate 1 takes every packet, and every packet the
// statistics count is delivered though the stop comes at once.
TEST_F(Veth, EveryClassIsEstimatedWithinTheBinomialBound) {
  NetnsPair net("r");
  const NetnsPair::Link& link = net.addLink("10.203.0.1/24");
  const std::vector<Kind> mix = {kConstant, kVaried, kConstant, kIpv6, kVaried};
  const struct {
    uint32_t rate;
    bool perf, ebpf, ipv6;
    std::vector<Kind> cycle;  // sent round and round
    size_t count;
  } cases[] = {
      {1, false, false, true, mix, 500},
      {1, true, false, true, mix, 500},
      {4, false, false, true, mix, 2000},
      {4, true, false, true, mix, 2000},
      {32, false, false, true, mix, 12000},
      {32, true, false, true, mix, 12000},
      {1000, false, false, true, mix, 40000},
      {1000, true, false, true, mix, 40000},
      // Two strictly alternating flows at an even rate lock onto every-N-th counting.
      {16, false, false, true, {kConstant, kVaried}, 4000},
      {16, true, false, true, {kConstant, kVaried}, 4000},
      {1, false, true, true, mix, 500},
      {32, false, true, true, mix, 12000},
      {1000, false, true, true, mix, 40000},
      {32, false, true, false, mix, 12000},
  };
  // The frames go from the last CPU: the kernel program counts on each CPU apart, so these
  // pools are exact, and its figures must add up every CPU's count.
  cpu_set_t all, last;
  ASSERT_EQ(0, sched_getaffinity(0, sizeof all, &all));
  CPU_ZERO(&last);
  for (int cpu = CPU_SETSIZE - 1; CPU_COUNT(&last) == 0; --cpu)
    if (CPU_ISSET(cpu, &all))
      CPU_SET(cpu, &last);
  ASSERT_EQ(0, sched_setaffinity(0, sizeof last, &last));
  for (const auto& c : cases) {
    const std::string label = std::to_string(c.rate) + (c.perf ? " perf" : "") +
                              (c.ebpf ? " ebpf" : "") + (c.ipv6 ? "" : " ipv4");
    ReporterRig rig;
    Capture capture(net, rig.reporter, c.rate, c.ebpf, optionsOf(SourceIdKind::IfIndex, 0, c.ipv6),
                    c.perf);
    std::map<std::pair<bool, Kind>, double> sent, sampled;
    size_t eligible = 0;
    for (size_t n = 0; n < c.count; ++n) {
      const Kind kind = c.cycle[n % c.cycle.size()];
      const bool out = c.ebpf && n % 2 == 1;
      const auto frame = frameOf(link, kind, uint16_t(n));
      ASSERT_TRUE(out ? sendOut(link, frame) : net.send(0, frame));
      if (kind != kIpv6 || c.ipv6)
        ++sent[{out, kind}], ++eligible;
    }
    capture.stop();
    const CaptureStatistics figures = capture.statistics();
    const std::vector<DecodedSample> samples = rig.samples();
    uint32_t sequence = 0, pool = 0;
    for (const DecodedSample& s : samples) {
      ++sampled[{s.outputInterface != kInternalInterface, kindOf(s.header)}];
      EXPECT_EQ(++sequence, s.sequence) << label;  // gap-free
      EXPECT_EQ(0u, s.drops);
      if (c.ebpf) {
        EXPECT_LT(std::exchange(pool, s.samplePool), s.samplePool) << label;
      }
      // Without IPv6, frame n of the varied class is the (n + 1 - IPv6 frames before it)-th
      // eligible one; the two directions' hooks may pass each other by a packet or two.
      const uint32_t n = kindOf(s.header) == kVaried ? (s.header[18] << 8 | s.header[19]) : 0;
      if (!c.ipv6 && n != 0) {
        EXPECT_NEAR(double(n - 0x8000 + 1 - (n - 0x8000 + 2) / 5), s.samplePool, 2) << label;
      }
    }
    for (const auto& [klass, n] : sent) {
      const double p = 1.0 / c.rate;
      EXPECT_LE(std::abs(sampled[klass] - n * p), 4 * std::sqrt(n * p * (1 - p)))
          << label << (klass.first ? " out" : " in") << " class " << klass.second << ": "
          << sampled[klass] << " of " << n;
    }
    if (c.rate == 1) {
      EXPECT_EQ(std::pair(figures.packetsSeen, figures.packetsSeen),
                std::pair(uint64_t(samples.size()), uint64_t(samples.back().samplePool)))
          << label;
    }
    if (!c.ipv6) {  // the kernel's own chatter is IPv6: the count is exactly what was sent
      EXPECT_EQ(eligible, figures.packetsSeen) << label;
    }
    if (c.ebpf) {
      EXPECT_LE(pool, figures.packetsSeen) << label;
    }
  }
  sched_setaffinity(0, sizeof all, &all);
}

// The kernel drops while the reader is stalled: samples read before say 0, later ones the
// cumulative count, which ends equal to the figures'. Then, once the backlog is read, each
// frame on the quiet link reaches the reporter promptly: within libpcap's 250 ms read timeout,
// or the eBPF reader, asleep on the ring, woken by it at once (asserted generously).
TEST_F(Veth, KernelDropsReachLaterSamplesAndAQuietLinksFrameComesPromptly) {
  NetnsPair net("d");
  net.addLink("10.204.0.1/24");
  for (const bool ebpf : {false, true}) {
    SCOPED_TRACE(ebpf ? "ebpf" : "libpcap");
    GatedRig rig;
    rig.sink.setClosed(true);
    // The eBPF reader sleeps on the ring only where it hears of links too.
    Capture capture(net, rig.reporter, 1, ebpf, optionsOf(SourceIdKind::Index), false, 256 << 10,
                    ebpf);
    EXPECT_TRUE(waitFor([&] { return capture.statistics().interfaces == 1; }));
    auto send = [&](size_t count) {
      for (size_t n = 0; n < count; ++n)
        ASSERT_TRUE(net.send(0, frameOf(net.link(0), kVaried, uint16_t(n))));
    };
    send(100);  // fills a datagram, whose send stalls the reader
    EXPECT_TRUE(waitFor([&] { return rig.sink.stalled(); }));
    send(ebpf ? 60000 : 20000);  // far more than the ring holds
    rig.sink.setClosed(false);
    for (uint64_t n = 0, last = 1, now = 0; n < 50 && now != last; ++n) {
      std::this_thread::sleep_for(Millis(200));
      last = std::exchange(now, rig.reporter.statistics().samples);
    }
    // Batches after the one that saw the drops: each carries the total.
    long long total = 0;
    for (int batch = 0; batch < 5; ++batch) {
      std::this_thread::sleep_for(Millis(100));
      rig.reporter.flush();
      const size_t before = rig.sink.datagrams().size();
      const long long ms = millisecondsOf([&] {
        send(1);
        waitFor([&] { return rig.reporter.flush(), rig.sink.datagrams().size() > before; });
      });
      EXPECT_LT(ms, 1000);
      total += ms;
    }
    if (ebpf) {
      EXPECT_LT(total, 1000);
    }
    capture.stop();
    std::vector<uint32_t> drops;
    for (const DecodedSample& s : rig.samples())
      drops.push_back(s.drops);
    ASSERT_LT(100u, drops.size());
    EXPECT_EQ(0u, drops.front());
    EXPECT_TRUE(std::is_sorted(drops.begin(), drops.end()));
    EXPECT_LT(0u, capture.statistics().kernelDrops);
    EXPECT_EQ(capture.statistics().kernelDrops, drops.back());
  }
}

// With the default source ids, by either path: an interface added after the start is
// sampled under the next index; deleted and made anew while its old capture is still ending,
// under its old one, and so after a moment down. No counter samples when they are off; stop
// right after an interface appeared is prompt and leaves no descriptor (or program) behind.
TEST_F(Veth, HotPluggedInterfacesKeepTheirIndex) {
  for (const bool ebpf : {false, true}) {
    SCOPED_TRACE(ebpf ? "ebpf" : "libpcap");
    NetnsPair net(ebpf ? "g" : "h");
    // The added link's slot in the kernel program's array is link 0's: its counts go to the hash.
    net.addLink("10.211.0.1/24", 100);
    const size_t fds = entries("/proc/self/fd");
    std::optional<Watch> w(std::in_place, net, ebpf, optionsOf(SourceIdKind::Index));
    EXPECT_EQ((std::set<Sources>{{0, 0, 0}}), w->sourcesFrom(0));
    net.addLink("", 100 + WENDREL_SLOTS);
    EXPECT_EQ((std::set<Sources>{{1, 0, 0}}), w->sourcesFrom(1));
    EXPECT_EQ((std::set<Sources>{{0, 0, 0}}), w->sourcesFrom(0));
    // Its capture thread stalled in the reporter cannot see the device go; the name is made
    // anew, or taken down and up, meanwhile. Once the thread has ended the name is captured.
    for (const bool renew : {true, false}) {
      w->sink.setClosed(true);
      for (uint16_t n = 0; n < 100; ++n)
        net.send(1, frameOf(net.link(1), kVaried, n));
      EXPECT_TRUE(waitFor([&] { return w->sink.stalled(); }));
      renew ? net.recreateLink(1, true) : net.bounce(1);
      std::this_thread::sleep_for(Millis(300));  // for the supervisor to hear of it
      w->sink.setClosed(false);
      EXPECT_EQ((std::set<Sources>{{1, 0, 0}}), w->sourcesFrom(1)) << renew;
    }
    EXPECT_EQ(2u, w->statistics().interfaces);
    net.addLink("");
    EXPECT_LT(millisecondsOf([&] { w->stop(); }), 1500);
    EXPECT_EQ(0u, w->reporter.statistics().counterSamples);
    w.reset();
    EXPECT_EQ(fds + net.linkCount() - 1, entries("/proc/self/fd"));  // the sending sockets
  }
}

// With the kernel's indexes: received frames come in on the interface, frames sent from this
// host go out on it; an added interface has its kernel index; counter samples every second agree
// with the kernel's counters, name the interface and count each source without a gap.
TEST_F(Veth, KernelIndexesDirectionAndCounterSamples) {
  NetnsPair net("k");
  const std::string name = net.addLink("").agentName;
  const auto started = std::chrono::steady_clock::now();
  Watch w(net, false, optionsOf(SourceIdKind::IfIndex, 1));
  const uint32_t ifIndex = if_nametoindex(name.c_str());
  EXPECT_EQ((std::set<Sources>{{ifIndex, ifIndex, kInternalInterface}}), w.sourcesFrom(0));
  // A frame from the interface's own MAC address goes out on it.
  const auto mac = w.kernel->read(name).value().macAddress;
  std::vector<uint8_t> frame = testFrame(net.link(0), 0x4000);
  std::copy(mac.begin(), mac.end(), frame.begin() + 6);
  std::optional<std::pair<uint32_t, uint32_t>> sent;
  w.until([&](uint16_t) { sendOut(net.link(0), frame); },
          [&](const DecodedDatagram& d) {
            for (const DecodedSample& s : d.samples)
              if (kindOf(s.header) != kOther && std::equal(mac.begin(), mac.end(), &s.header[6]))
                sent = std::pair(s.inputInterface, s.outputInterface);
            return sent.has_value();
          });
  EXPECT_EQ(std::pair(kInternalInterface, ifIndex), sent);
  const uint32_t added = if_nametoindex(net.addLink("").agentName.c_str());
  EXPECT_EQ(added, std::get<0>(*w.sourcesFrom(1).begin()));

  std::this_thread::sleep_for(Millis(2500));
  w.stop();
  const InterfaceCounters kernel = w.kernel->read(name).value();
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
  const uint32_t kernelPackets = kernel.inUnicast + kernel.inMulticast;
  EXPECT_LE(last.inPackets(), kernelPackets);
  EXPECT_LE(kernelPackets - last.inPackets(), 5u);
  EXPECT_LE(last.inOctets(), kernel.inOctets);
  EXPECT_LE(kernel.inOctets - last.inOctets(), 1000u);
}

// An IPv6-only host's agent speaks from its global address. Under the position ids a
// re-created interface keeps its source id, but its counters restarted: so does its counter
// sequence.
TEST_F(AgentIdentity, AnIpv6OnlyHostsAddressAndARecreatedInterfacesCounterSequence) {
  NetnsPair net("6");
  const std::string name = net.addLink("").agentName;
  ASSERT_TRUE(shell("ip -n " + net.agentNamespace() + " addr add 2001:db8:66::1/64 dev " + name +
                    " nodad"));
  ProcHostStatistics host;
  CaptureOptions options = optionsOf(SourceIdKind::Index, 1);
  options.host = &host;
  Watch agent(net, false, options);
  ASSERT_TRUE(agent.until(0, [](const DecodedDatagram& d) { return !d.samples.empty(); }));
  const DecodedDatagram d = agent.all.back();  // a copy: `all` grows below
  EXPECT_EQ(2u, d.agentAddressType);
  EXPECT_EQ(
      (std::array<uint8_t, 16>{0x20, 0x01, 0x0d, 0xb8, 0, 0x66, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}),
      d.agentAddress6);
  EXPECT_EQ("2001:db8:66::1", agent.statistics().agentAddress);
  // The host's own sample names the captured interface as its adapter, with its MAC.
  const auto mac = agent.kernel->read(name).value().macAddress;
  ASSERT_TRUE(agent.until(0, [](const DecodedDatagram& e) { return !e.hosts.empty(); }));
  uint32_t sequence = 0;
  for (const DecodedDatagram& e : agent.all) {
    for (const DecodedHost& h : e.hosts) {
      using Adapters = decltype(h.adapters);
      EXPECT_EQ((Adapters{{if_nametoindex(name.c_str()), {mac}}}), h.adapters);
      EXPECT_EQ(std::tuple(++sequence, 2u, 1u),
                std::tuple(h.sequence, h.sourceIdType, h.sourceIdIndex));
    }
  }
  ASSERT_TRUE(agent.until(0, [](const DecodedDatagram& e) {
    return !e.counters.empty() && e.counters.back().sequence >= 2;
  }));
  net.removeLink(0);
  std::this_thread::sleep_for(Millis(300));
  net.recreateLink(0);
  agent.all.clear();
  ASSERT_TRUE(agent.until(0, [](const DecodedDatagram& e) { return !e.counters.empty(); }));
  agent.stop();
  std::vector<uint32_t> sequences;
  for (const DecodedDatagram& e : agent.all)
    for (const DecodedCounters& c : e.counters)
      sequences.push_back(c.sequence);
  EXPECT_EQ(std::vector<uint32_t>{1}, sequences);
}

class RealHost : public testing::Test {
 public:
  void SetUp() override {
    if (!NetnsPair::available())
      GTEST_SKIP() << "needs root for network namespaces";
    net.emplace("q");
  }
  void start(SourceIdKind ids, int indexHoldMs = 60000, const std::string& interfaces = "",
             bool ebpf = false) {
    CaptureOptions options;
    options.sourceId = ids;
    options.timing.indexHold = boost::chrono::milliseconds(indexHoldMs);
    options.interfaces = *InterfacePatterns::parse(interfaces);
    w.emplace(*net, ebpf, options);
  }
  void ip(const std::string& command) {
    ASSERT_TRUE(shell("ip -n " + net->agentNamespace() + " " + command)) << command;
  }
  unsigned ifIndex(const std::string& name) { return if_nametoindex(name.c_str()); }
  // The source ids of the frames sent from link i's far end, once `want` are seen.
  std::set<uint32_t> sources(size_t i, size_t want = 1) {
    std::set<uint32_t> ids;
    for (const auto& s : w->sourcesFrom(i, want))
      ids.insert(std::get<0>(s));
    return ids;
  }

  std::optional<NetnsPair> net;
  std::optional<Watch> w;
};

// A link down from the start is not tried while others come and go (the agent toggles nothing
// on it), and is captured when it comes up; its capture outlasts a spell down. Made after the
// start, a bridge over a captured link is captured beside its port, and a renamed link under
// its new name.
TEST_F(RealHost, DownLinksBridgesAndRenamesAreCapturedAsTheyChange) {
  const std::string port = net->addLink("").agentName, down = net->addLink("").agentName;
  ip("link set " + down + " down");
  start(SourceIdKind::IfIndex);
  NetlinkLinkEvents watching;  // what happens to the down link meanwhile
  ip("link set lo up");        // and loopback, which is never captured
  net->addLink("");
  net->removeLink(2);
  EXPECT_EQ(std::set<uint32_t>{ifIndex(port)}, sources(0));
  for (const LinkChange& change : watching.wait(100, -1).changes)
    EXPECT_NE(down, change.name);
  for (const char* state : {"up", "down", "up"})
    ip("link set " + down + " " + state);
  EXPECT_EQ(std::set<uint32_t>{ifIndex(down)}, sources(1));
  EXPECT_EQ(2u, w->statistics().interfaces);
  // The test frames' IPv4 checksums are not valid: netfilter must not see them.
  ASSERT_TRUE(shell("ip netns exec " + net->agentNamespace() +
                    " sysctl -w net.bridge.bridge-nf-call-iptables=0"));
  const std::string in = " && ip -n " + net->agentNamespace() + " link set ";
  ip("link add wqbr0 type bridge" + in + port + " master wqbr0" + in + "wqbr0 up");
  ASSERT_TRUE(waitFor([&] { return w->statistics().interfaces == 3; }));
  EXPECT_EQ((std::set<uint32_t>{ifIndex(port), ifIndex("wqbr0")}), sources(0, 2));
  const unsigned index = ifIndex(down);
  ip("link set " + down + " down" + in + down + " name wqren0 up");
  ASSERT_TRUE(waitFor([&] { return w->statistics().interfaces == 3 && ifIndex("wqren0"); }));
  EXPECT_EQ(std::set<uint32_t>{index}, sources(1));
}

// Fresh names come and go: their threads (joined, or their index would stay taken) and
// descriptors go with them, and once a name has been gone longer than the hold its index is
// free for a new one.
TEST_F(RealHost, ResourcesFollowTheInterfacesThatExist) {
  net->addLink("");
  start(SourceIdKind::Index, 300);
  const size_t threads = entries("/proc/self/task"), fds = entries("/proc/self/fd");
  for (size_t i = 1; i <= 12; ++i) {
    net->addLink("");
    ASSERT_TRUE(waitFor([&] { return w->statistics().interfaces == 2; })) << i;
    net->removeLink(i);
    ASSERT_TRUE(waitFor([&] { return w->statistics().interfaces == 1; })) << i;
  }
  std::this_thread::sleep_for(Millis(1000));  // beyond the hold
  EXPECT_EQ(threads, entries("/proc/self/task"));
  EXPECT_EQ(fds + 12, entries("/proc/self/fd"));  // the far ends' sending sockets stay
  net->addLink("");
  EXPECT_EQ(std::set<uint32_t>{1}, sources(13));
}

// By either path, interfaces left out by name are not captured, at the start, when they
// appear or after a reload; a reload's collectors and rate hold for the next samples, whose
// sequence goes on, and no capture thread restarts for it.
TEST_F(RealHost, InterfacesByNameAndAReloadThatLeavesCaptureRunning) {
  for (const bool ebpf : {false, true}) {
    SCOPED_TRACE(ebpf ? "ebpf" : "libpcap");
    w.reset(), net.emplace(ebpf ? "qe" : "q");
    const std::string first = net->addLink("").agentName, second = net->addLink("").agentName;
    start(SourceIdKind::IfIndex, 60000, "!" + second + " !wqx*", ebpf);
    ip("link add wqx9x type veth peer name wqx9y && ip -n " + net->agentNamespace() +
       " link set wqx9x up && ip -n " + net->agentNamespace() + " link set wqx9y up");
    const unsigned third = ifIndex(net->addLink("").agentName);
    EXPECT_EQ(std::set<uint32_t>{third}, sources(2));
    const auto sampled = [&](uint16_t from) {  // of 40 frames
      for (uint16_t n = from; n < from + 40; ++n)
        net->send(0, testFrame(net->link(0), n));
      std::this_thread::sleep_for(Millis(600));
      return w->samples(true);
    };
    const auto before = sampled(0);
    const size_t threads = entries("/proc/self/task");
    EXPECT_EQ(2u, w->statistics().interfaces);
    ASSERT_TRUE(w->reporter.changeCollectors("192.0.2.20"));
    CaptureOptions options;
    options.interfaces = *InterfacePatterns::parse("!" + second + " !wqx*");
    w->reconfigure(2, options);
    std::this_thread::sleep_for(Millis(1000));
    const auto after = sampled(100);
    // The kernel draws at random: Binomial(40, 1/2) within 4 standard deviations.
    ASSERT_NEAR(20.0, double(after.size()), ebpf ? 12.0 : 0.0);
    EXPECT_EQ(before.back().sequence + 1, after.front().sequence);
    EXPECT_EQ(2u, after.back().samplingRate);
    EXPECT_EQ("192.0.2.20", w->sink.collectors);
    EXPECT_EQ(threads, entries("/proc/self/task"));
    options.interfaces = *InterfacePatterns::parse("!" + first + " !wqx*");
    w->reconfigure(2, options);
    EXPECT_EQ(std::set<uint32_t>{ifIndex(second)}, sources(1));
    EXPECT_EQ(2u, w->statistics().interfaces);
  }
}

}  // namespace
}  // namespace wendrel::test
