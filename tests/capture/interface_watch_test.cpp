// Interfaces over the life of the agent, on veths in namespaces the test creates: hot-plug
// with stable source indexes, the kernel's indexes with direction, and counter samples that
// agree with the kernel.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>

#include "../sflow/sflow_fakes.h"
#include "agent_rig.h"
#include "capture_fakes.h"
#include "kernel_interface_statistics.h"
#include "log_capture.h"
#include "netlink_link_events.h"
#include "netns.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

constexpr uint32_t kInternal = 0x3FFFFFFF;

// A collector at rate 1 (every IPv4 frame) on the agent namespace of `net`, with the kernel's
// link events and counters, and everything it has sent.
struct WatchRig {
  // The link events and the counters watch the namespace of the thread that makes them.
  WatchRig(NetnsPair& pair, SourceIdKind kind, uint32_t counterS) : net((pair.enterAgent(), pair)) {
    options.linkEvents = &events, options.statistics = &statistics;
    options.sourceId = kind, options.counterIntervalS = counterS;
    collector = std::make_unique<TrafficCollector>(128, &rig.reporter, 2097152, 1, false,
                                                   LivePcap::instance(), options);
    collector->startCollecting();
    EXPECT_TRUE(
        waitFor([&] { return log.contains(log4cplus::DEBUG_LOG_LEVEL, "Starting capture"); }));
  }
  const std::vector<DecodedDatagram>& take() {
    for (const DecodedDatagram& d : rig.datagrams(true))
      all.push_back(d);
    return all;
  }
  // The samples of frames from link i; frames are sent until one is sampled (at most 3 s).
  std::vector<DecodedSample> samplesFrom(size_t i) {
    std::vector<DecodedSample> found;
    const NetnsPair::Link& l = net.link(i);
    for (uint16_t n = 0, from = uint16_t(take().size()); n < 150 && found.empty(); ++n) {
      net.send(i, testFrame(l, n));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      take();
      for (; from < all.size(); ++from)
        for (const DecodedSample& s : all[from].samples)
          if (std::equal(l.farMac.begin(), l.farMac.end(), s.header.begin() + 6))
            found.push_back(s);
    }
    return found;
  }
  std::set<uint32_t> sourcesFrom(size_t i) {
    std::set<uint32_t> ids;
    for (const DecodedSample& s : samplesFrom(i))
      ids.insert(s.sourceId);
    return ids;
  }

  NetnsPair& net;
  LogCapture log{"TrafficLogger"};
  ReporterRig rig;
  NetlinkLinkEvents events;
  KernelInterfaceStatistics statistics;
  CaptureOptions options;
  std::unique_ptr<TrafficCollector> collector;
  std::vector<DecodedDatagram> all;
  const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

// With the default source ids: an interface added after the start is sampled under the next
// index; deleted and created again, under its old one; no direction, no counter samples when
// they are off; stop right after an interface appeared is prompt.
TEST(InterfaceWatch, HotPluggedInterfacesKeepTheirIndex) {
  if (!NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  NetnsPair net("h");
  net.addLink("10.211.0.1/24");
  WatchRig w(net, SourceIdKind::Index, 0);
  EXPECT_EQ(std::set<uint32_t>{0}, w.sourcesFrom(0));
  net.addLink("");
  EXPECT_EQ(std::set<uint32_t>{1}, w.sourcesFrom(1));
  net.removeLink(1);
  ASSERT_TRUE(
      waitFor([&] { return w.log.contains(log4cplus::INFO_LOG_LEVEL, "Closing capture device"); }));
  net.recreateLink(1);
  EXPECT_EQ(std::set<uint32_t>{1}, w.sourcesFrom(1));
  EXPECT_EQ(2u, w.log.count(log4cplus::INFO_LOG_LEVEL,
                            "Device " + net.link(1).agentName + " initialized successfully"));
  for (const DecodedSample& s : w.samplesFrom(0))
    EXPECT_EQ(0u, s.inputInterface + s.outputInterface);
  net.addLink("");
  EXPECT_LT(millisecondsOf([&] { w.collector->stop(); }), 1500);
  for (const DecodedDatagram& d : w.take())
    EXPECT_TRUE(d.counters.empty());
}

// With the kernel's indexes: received frames come in on the interface, frames this host sent
// go out on it; an added interface has its kernel index; counter samples every second agree
// with the kernel's counters, name the interface and count each source without a gap.
TEST(InterfaceWatch, KernelIndexesDirectionAndCounterSamples) {
  if (!NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  NetnsPair net("k");
  const std::string name = net.addLink("10.212.0.1/24").agentName;
  ASSERT_EQ(0, std::system(("ip -n " + net.agentNamespace() + " neigh add 10.212.0.9 lladdr " +
                            "02:00:5e:10:00:99 dev " + name)
                               .c_str()));
  WatchRig w(net, SourceIdKind::IfIndex, 1);
  const uint32_t ifIndex = if_nametoindex(name.c_str());
  for (const DecodedSample& s : w.samplesFrom(0))
    EXPECT_EQ((std::vector<uint32_t>{ifIndex, ifIndex, kInternal}),
              (std::vector<uint32_t>{s.sourceId, s.inputInterface, s.outputInterface}));
  // A frame of this host's own, to the neighbour above.
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{AF_INET, htons(9), {inet_addr("10.212.0.9")}, {}};
  std::vector<DecodedSample> sent;
  for (size_t n = 0, from = w.take().size(); n < 100 && sent.empty(); ++n) {
    ::sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (w.take(); from < w.all.size(); ++from)
      for (const DecodedSample& s : w.all[from].samples)
        if (s.header.size() > 33 && s.header[27] == 212)  // from 10.212.0.1
          sent.push_back(s);
  }
  ::close(fd);
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(kInternal, sent[0].inputInterface);
  EXPECT_EQ(ifIndex, sent[0].outputInterface);
  const std::string added = net.addLink("").agentName;
  EXPECT_EQ(std::set<uint32_t>{if_nametoindex(added.c_str())}, w.sourcesFrom(1));

  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  w.collector->stop();
  const auto kernel = w.statistics.read(name);
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
  EXPECT_GE((std::chrono::steady_clock::now() - w.started) / std::chrono::seconds(1) + 1,
            static_cast<long>(mine.size()));  // one a second
  const DecodedCounters& last = mine.back();
  EXPECT_EQ(ifIndex, last.ifIndex());
  EXPECT_EQ(3u, last.status());
  EXPECT_EQ(name, last.name);
  // The kernel counts on after the last sample only by what arrived within one interval.
  const uint32_t kernelPackets = kernel->inUnicast + kernel->inMulticast;
  EXPECT_LE(last.inPackets(), kernelPackets);
  EXPECT_LE(kernelPackets - last.inPackets(), 5u);
  EXPECT_LE(last.inOctets(), kernel->inOctets);
  EXPECT_LE(kernel->inOctets - last.inOctets(), 1000u);
}

}  // namespace
}  // namespace wendrel::test
