// Who speaks, on real interfaces: an IPv6-only host's agent address, and the counter sequence
// of an interface deleted and made anew.
#include <gtest/gtest.h>
#include <net/if.h>

#include "../sflow/sflow_fakes.h"
#include "kernel_interface_statistics.h"
#include "live_pcap.h"
#include "log_capture.h"
#include "netlink_link_events.h"
#include "netns.h"
#include "proc_host_statistics.h"
#include "test_util.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

struct Agent {
  explicit Agent(NetnsPair& pair, SourceIdKind kind = SourceIdKind::IfIndex) : net(pair) {
    net.enterAgent();
    events.emplace(), statistics.emplace();
    CaptureOptions options;
    options.sourceId = kind, options.counterIntervalS = 1;
    options.linkEvents = &*events, options.statistics = &*statistics, options.host = &host;
    collector = std::make_unique<TrafficCollector>(128, &rig.reporter, 2 << 20, 1, false, livePcap,
                                                   options);
    collector->startCollecting();
  }
  // Sends from link i every 20 ms (at most 300 times: a slow, sanitized build on a busy host)
  // until a datagram holds `what`.
  bool until(size_t i, const std::function<bool(const DecodedDatagram&)>& what) {
    for (uint16_t n = 0; n < 300; ++n) {
      net.send(i, testFrame(net.link(i), n));
      std::this_thread::sleep_for(Millis(20));
      for (const DecodedDatagram& d : rig.datagrams(true)) {
        all.push_back(d);
        if (what(d))
          return true;
      }
    }
    return false;
  }
  NetnsPair& net;
  LivePcap livePcap;
  ReporterRig rig;
  std::optional<NetlinkLinkEvents> events;
  std::optional<KernelInterfaceStatistics> statistics;
  ProcHostStatistics host;
  std::unique_ptr<TrafficCollector> collector;
  std::vector<DecodedDatagram> all;
};

TEST(AgentIdentity, AnIpv6OnlyHostSpeaksFromItsGlobalIpv6Address) {
  if (!NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  NetnsPair net("6");
  const std::string name = net.addLink("").agentName;
  ASSERT_TRUE(shell("ip -n " + net.agentNamespace() + " addr add 2001:db8:66::1/64 dev " + name +
                    " nodad"));
  Agent agent(net);
  ASSERT_TRUE(agent.until(0, [](const DecodedDatagram& d) { return !d.samples.empty(); }));
  const DecodedDatagram d = agent.all.back();  // a copy: `all` grows below
  EXPECT_EQ(2u, d.agentAddressType);
  EXPECT_EQ(
      (std::array<uint8_t, 16>{0x20, 0x01, 0x0d, 0xb8, 0, 0x66, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}),
      d.agentAddress6);
  EXPECT_EQ("2001:db8:66::1", agent.collector->statistics().agentAddress);
  // The host's own sample names the captured interface as its adapter, with its MAC.
  const auto mac = agent.statistics->read(name).value().macAddress;
  ASSERT_TRUE(agent.until(0, [](const DecodedDatagram& e) { return !e.hosts.empty(); }));
  uint32_t sequence = 0;
  for (const DecodedDatagram& e : agent.all) {
    for (const DecodedHost& host : e.hosts) {
      using Adapters = decltype(host.adapters);
      EXPECT_EQ((Adapters{{if_nametoindex(name.c_str()), {mac}}}), host.adapters);
      EXPECT_EQ(std::tuple(++sequence, 2u, 1u),
                std::tuple(host.sequence, host.sourceIdType, host.sourceIdIndex));
    }
  }
}

// Under the position ids a re-created interface keeps its source id, but its counters
// restarted: so does its counter sequence.
TEST(AgentIdentity, ARecreatedInterfaceStartsItsCounterSequenceAgain) {
  if (!NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  NetnsPair net("q");
  net.addLink("10.213.0.1/24");
  Agent agent(net, SourceIdKind::Index);
  auto counterSequence = [&](uint32_t atLeast) {
    return agent.until(0, [&](const DecodedDatagram& d) {
      return !d.counters.empty() && d.counters.back().sequence >= atLeast;
    });
  };
  ASSERT_TRUE(counterSequence(2));
  net.removeLink(0);
  std::this_thread::sleep_for(Millis(300));
  net.recreateLink(0);
  agent.all.clear();
  ASSERT_TRUE(agent.until(0, [](const DecodedDatagram& d) { return !d.counters.empty(); }));
  agent.collector->stop();
  std::vector<uint32_t> sequences;
  for (const DecodedDatagram& d : agent.all)
    for (const DecodedCounters& c : d.counters)
      sequences.push_back(c.sequence);
  EXPECT_EQ(std::vector<uint32_t>{1}, sequences);
}

}  // namespace
}  // namespace wendrel::test
