// Capture = "ebpf" on veth links between namespaces the test makes: every class of both
// directions estimated truly with the exact sample pool, interfaces that come and go with no
// link left behind, and a full ring reported as drops.
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cmath>
#include <filesystem>
#include <map>

#include "../sflow/sflow_fakes.h"
#include "bpf_kernel_sampler.h"
#include "ebpf_collector.h"
#include "live_pcap.h"
#include "netlink_link_events.h"
#include "test_util.h"
#include "veth_helpers.h"

namespace wendrel::test {
namespace {

class Ebpf : public testing::Test {
 public:
  void SetUp() override {
    if (!NetnsPair::available())
      GTEST_SKIP() << "needs root for network namespaces";
  }
  ~Ebpf() override { ::close(egressSocket); }
  std::unique_ptr<EbpfCollector> start(NetnsPair& net, PacketReporter& reporter, uint32_t rate,
                                       CaptureOptions options = {}, bool ipv6 = true) {
    net.enterAgent();
    std::string missing;
    auto sampler = BpfKernelSampler::open(rate, ipv6, missing);
    EXPECT_TRUE(sampler) << missing;
    auto c = std::make_unique<EbpfCollector>(std::move(sampler), &reporter, rate, pcap, options);
    c->startCollecting();
    EXPECT_TRUE(waitFor([&] { return c->statistics().interfaces == net.linkCount(); }));
    return c;
  }
  // Sends `frame` out of the agent's end of link i: it crosses the egress hook.
  bool sendOut(const NetnsPair::Link& link, const std::vector<uint8_t>& frame) {
    egressSocket =
        egressSocket < 0 ? ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0) : egressSocket;
    sockaddr_ll to{};
    to.sll_family = AF_PACKET, to.sll_ifindex = int(if_nametoindex(link.agentName.c_str()));
    to.sll_halen = 6;
    return ::sendto(egressSocket, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to),
                    sizeof to) == ssize_t(frame.size());
  }
  LivePcap pcap;
  int egressSocket = -1;  // a packet socket in the agent's namespace
};

// Each packet is taken with probability 1/rate independently (the kernel's draw), so a class
// of n packets gives Binomial(n, 1/rate) samples; the bound is 4 standard deviations (fails by
// chance about once in 16,000 checks). Received and sent frames are classes of their own, told
// apart by the direction the kernel's indexes bring. The pool is exact: each sample's pool is
// the interface's eligible packets up to it, and the last one is at most the kernel's count.
TEST_F(Ebpf, EveryClassOfBothDirectionsWithinTheBinomialBoundAndAnExactPool) {
  NetnsPair net("e");
  const NetnsPair::Link& link = net.addLink("10.213.0.1/24");
  const std::vector<Kind> mix = {kConstant, kVaried, kConstant, kIpv6, kVaried};
  const struct {
    uint32_t rate;
    size_t count;
    bool ipv6;
  } cases[] = {
      {1, 500, true}, {4, 2000, true}, {32, 12000, true}, {1000, 40000, true}, {32, 12000, false}};
  for (const auto& c : cases) {
    ReporterRig rig;
    CaptureOptions options;
    options.sourceId = SourceIdKind::IfIndex;
    auto collector = start(net, rig.reporter, c.rate, options, c.ipv6);
    std::map<std::pair<bool, Kind>, double> sent, sampled;
    size_t eligible = 0;
    for (size_t n = 0; n < c.count; ++n) {
      const Kind kind = mix[n % mix.size()];
      const bool out = n % 2 == 1;
      const auto frame = frameOf(link, kind, uint16_t(n));
      ASSERT_TRUE(out ? sendOut(link, frame) : net.send(0, frame));
      if (kind != kIpv6 || c.ipv6)
        ++sent[{out, kind}], ++eligible;
    }
    collector->stop();
    const CaptureStatistics figures = collector->statistics();
    const std::vector<DecodedSample> samples = rig.samples();
    const std::string label = std::to_string(c.rate) + (c.ipv6 ? "" : " ipv4");
    uint32_t sequence = 0, pool = 0;
    for (const DecodedSample& s : samples) {
      const bool out = s.outputInterface != 0x3FFFFFFF;
      ++sampled[{out, kindOf(s.header)}];
      EXPECT_EQ(++sequence, s.sequence);
      EXPECT_LT(pool, s.samplePool);
      pool = s.samplePool;
      EXPECT_EQ(0u, s.drops);
      // Without IPv6, frame n of the varied class is the (n + 1 - IPv6 frames before it)-th
      // eligible one; the two directions' hooks may pass each other by a packet or two.
      const uint32_t n = kindOf(s.header) == kVaried ? (s.header[18] << 8 | s.header[19]) : 0;
      if (!c.ipv6 && n != 0) {
        EXPECT_NEAR(double(n - 0x8000 + 1 - (n - 0x8000 + 2) / 5), s.samplePool, 2) << label;
      }
    }
    if (!c.ipv6) {  // the kernel's own chatter is IPv6: the count is exactly what was sent
      EXPECT_EQ(eligible, figures.packetsSeen) << label;
    }
    EXPECT_LE(pool, figures.packetsSeen) << label;
    if (c.rate == 1) {
      EXPECT_EQ(figures.packetsSeen, samples.size()) << label;
    }
    for (const auto& [klass, n] : sent) {
      const double p = 1.0 / c.rate;
      EXPECT_LE(std::abs(sampled[klass] - n * p), 4 * std::sqrt(n * p * (1 - p)))
          << label << (klass.first ? " out" : " in") << " class " << klass.second << ": "
          << sampled[klass] << " of " << n;
    }
  }
}

// An interface added after the start is sampled under the next index; deleted and made
// anew, under its old one. After the stop no program stays on any interface.
TEST_F(Ebpf, HotPluggedInterfacesAndNothingLeftAttached) {
  NetnsPair net("g");
  net.addLink("10.214.0.1/24");
  ReporterRig rig;
  net.enterAgent();
  NetlinkLinkEvents events;
  CaptureOptions options;
  options.linkEvents = &events;
  auto collector = start(net, rig.reporter, 1, options);
  const auto sourcesOf = [&](size_t i) {
    std::set<uint32_t> ids;
    for (int n = 0; n < 100 && ids.empty(); ++n) {
      net.send(i, testFrame(net.link(i), uint16_t(n)));
      std::this_thread::sleep_for(Millis(20));
      for (const DecodedSample& s : rig.samples(true))
        if (std::equal(net.link(i).farMac.begin(), net.link(i).farMac.end(), s.header.begin() + 6))
          ids.insert(s.sourceId);
    }
    return ids;
  };
  EXPECT_EQ(std::set<uint32_t>{0}, sourcesOf(0));
  net.addLink("");
  EXPECT_EQ(std::set<uint32_t>{1}, sourcesOf(1));
  net.removeLink(1);
  EXPECT_TRUE(waitFor([&] { return collector->statistics().interfaces == 1; }));
  net.recreateLink(1);
  EXPECT_EQ(std::set<uint32_t>{1}, sourcesOf(1));
  collector.reset();
  // The links are the process's: with their descriptors closed nothing stays on any hook.
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
    EXPECT_EQ(std::string::npos, target.find("anon_inode:bpf")) << target;
  }
}

// While the reader is stalled the ring fills: the kernel counts what it could not hold, later
// samples carry the interface's running count, and the figures agree with the last of them.
TEST_F(Ebpf, AFullRingIsReportedAsDrops) {
  NetnsPair net("f");
  const NetnsPair::Link& link = net.addLink("10.215.0.1/24");
  GatedSink sink;
  FakeClock clock;
  PacketReporter reporter{"127.0.0.1", clock, sink};
  auto collector = start(net, reporter, 1);
  for (uint16_t n = 0; n < 60000; ++n) {
    ASSERT_TRUE(net.send(0, frameOf(link, kVaried, n)));
    if (n == 100) {
      ASSERT_TRUE(
          waitFor([&] { return std::lock_guard<std::mutex>(sink.gateMutex), sink.waiting; }));
    }
  }
  std::lock_guard<std::mutex>(sink.gateMutex), sink.closed = false, sink.gate.notify_all();
  // Once the reader has emptied the ring, one more frame: a sample after the drops.
  for (uint64_t n = 0, last = 1, now = 0; n < 50 && now != last; ++n) {
    std::this_thread::sleep_for(Millis(200));
    last = std::exchange(now, reporter.statistics().samples);
  }
  ASSERT_TRUE(net.send(0, frameOf(link, kVaried, 1)));
  std::this_thread::sleep_for(Millis(100));
  collector->stop();
  reporter.flush();
  std::vector<uint32_t> drops;
  for (const auto& bytes : sink.datagrams()) {
    const DecodedDatagram d = decodeDatagram(bytes).value();
    for (const DecodedSample& s : d.samples)
      drops.push_back(s.drops);
  }
  ASSERT_LT(1000u, drops.size());
  EXPECT_EQ(0u, drops.front());
  EXPECT_TRUE(std::is_sorted(drops.begin(), drops.end()));
  EXPECT_LT(0u, collector->statistics().kernelDrops);
  EXPECT_EQ(collector->statistics().kernelDrops, drops.back());
}

}  // namespace
}  // namespace wendrel::test
