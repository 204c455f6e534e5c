// Who speaks, on real interfaces: an IPv6-only host's agent address and its host sample, and
// the counter sequence of an interface deleted and made anew.
#include <gtest/gtest.h>
#include <net/if.h>

#include "proc_host_statistics.h"
#include "veth_helpers.h"

namespace wendrel::test {
namespace {

TEST(AgentIdentity, AnIpv6OnlyHostSpeaksFromItsGlobalIpv6Address) {
  if (!NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  NetnsPair net("6");
  const std::string name = net.addLink("").agentName;
  ASSERT_TRUE(shell("ip -n " + net.agentNamespace() + " addr add 2001:db8:66::1/64 dev " + name +
                    " nodad"));
  ProcHostStatistics host;
  CaptureOptions options = optionsOf(SourceIdKind::IfIndex, 1);
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
}

// Under the position ids a re-created interface keeps its source id, but its counters
// restarted: so does its counter sequence.
TEST(AgentIdentity, ARecreatedInterfaceStartsItsCounterSequenceAgain) {
  if (!NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  NetnsPair net("q");
  net.addLink("10.213.0.1/24");
  Watch agent(net, false, optionsOf(SourceIdKind::Index, 1));
  ASSERT_TRUE(agent.until(0, [&](const DecodedDatagram& d) {
    return !d.counters.empty() && d.counters.back().sequence >= 2;
  }));
  net.removeLink(0);
  std::this_thread::sleep_for(Millis(300));
  net.recreateLink(0);
  agent.all.clear();
  ASSERT_TRUE(agent.until(0, [](const DecodedDatagram& d) { return !d.counters.empty(); }));
  agent.stop();
  std::vector<uint32_t> sequences;
  for (const DecodedDatagram& d : agent.all)
    for (const DecodedCounters& c : d.counters)
      sequences.push_back(c.sequence);
  EXPECT_EQ(std::vector<uint32_t>{1}, sequences);
}

}  // namespace
}  // namespace wendrel::test
