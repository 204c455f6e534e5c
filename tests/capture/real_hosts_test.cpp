// What a real host does while the agent runs: links that are down, bridges and renames made
// after the start, and interfaces that come and go under fresh names.
#include <gtest/gtest.h>
#include <net/if.h>

#include <filesystem>
#include <optional>
#include <set>

#include "../sflow/sflow_fakes.h"
#include "capture_fakes.h"
#include "live_pcap.h"
#include "log_capture.h"
#include "netlink_link_events.h"
#include "netns.h"
#include "test_util.h"
#include "traffic_collector.h"
#include "unit_file.h"

namespace wendrel::test {
namespace {

size_t entries(const char* directory) {
  return size_t(std::distance(std::filesystem::directory_iterator(directory), {}));
}

class RealHost : public testing::Test {
 public:
  void SetUp() override {
    if (!NetnsPair::available())
      GTEST_SKIP() << "needs root for network namespaces";
    net.emplace("q");
  }
  // Capture at rate 1 on the kernel's link events, in the agent namespace.
  void start(SourceIdKind ids, int indexHoldMs = 60000, const char* interfaces = "") {
    net->enterAgent();  // the events watch the namespace of their maker
    events.emplace();
    CaptureOptions options;
    options.linkEvents = &*events, options.sourceId = ids;
    options.timing.indexHold = boost::chrono::milliseconds(indexHoldMs);
    options.interfaces = *InterfacePatterns::parse(interfaces);
    collector = std::make_unique<TrafficCollector>(128, &rig.reporter, 1 << 20, 1, false, livePcap,
                                                   options);
    collector->startCollecting();
    ASSERT_TRUE(waitFor([&] { return collector->statistics().tried; }));
  }
  void ip(const std::string& command) {
    ASSERT_TRUE(shell("ip -n " + net->agentNamespace() + " " + command)) << command;
  }
  unsigned ifIndex(const std::string& name) { return if_nametoindex(name.c_str()); }
  // The source ids of the samples of frames sent from link i's far end, every 20 ms until
  // `want` are seen (3 s at most).
  std::set<uint32_t> sources(size_t i, size_t want = 1) {
    const NetnsPair::Link& l = net->link(i);
    std::set<uint32_t> ids;
    for (uint16_t n = 0; n < 150 && ids.size() < want; ++n) {
      net->send(i, testFrame(l, n));
      std::this_thread::sleep_for(Millis(20));
      for (const DecodedSample& s : rig.samples(true))
        if (std::equal(l.farMac.begin(), l.farMac.end(), s.header.begin() + 6))
          ids.insert(s.sourceId);
    }
    return ids;
  }
  // Lines of INFO and above that name `what`.
  size_t linesNaming(const std::string& what) const {
    size_t n = 0;
    for (int level :
         {log4cplus::INFO_LOG_LEVEL, log4cplus::WARN_LOG_LEVEL, log4cplus::ERROR_LOG_LEVEL})
      for (const std::string& m : log.messages(level))
        n += m.find(what) != std::string::npos;
    return n;
  }

  LogCapture log{"TrafficLogger"};
  LivePcap livePcap;
  std::optional<NetnsPair> net;
  ReporterRig rig;
  std::optional<NetlinkLinkEvents> events;
  std::unique_ptr<TrafficCollector> collector;
};

// A link down from the start is not tried while others come and go (the agent toggles nothing
// on it), is named once, and is captured when it comes up; its capture outlasts a spell down.
TEST_F(RealHost, ADownLinkIsTriedOnlyWhenItsOwnStateChanges) {
  net->addLink("");
  const std::string down = net->addLink("").agentName;
  ip("link set " + down + " down");
  start(SourceIdKind::IfIndex);
  NetlinkLinkEvents watching;  // what happens to the down link meanwhile
  ip("link set lo up");        // and loopback, which is never captured
  net->addLink("");
  net->removeLink(2);
  EXPECT_EQ(std::set<uint32_t>{ifIndex(net->link(0).agentName)}, sources(0));
  for (const LinkChange& change : watching.wait(100).changes)
    EXPECT_NE(down, change.name);
  EXPECT_EQ(1u, linesNaming(down));
  for (const char* state : {"up", "down", "up"})
    ip("link set " + down + " " + state);
  EXPECT_EQ(std::set<uint32_t>{ifIndex(down)}, sources(1));
  EXPECT_EQ(2u, collector->statistics().interfaces);
  EXPECT_EQ(2u, linesNaming(down));  // down, then captured
  EXPECT_TRUE(log.messages(log4cplus::ERROR_LOG_LEVEL).empty());
}

// Made after the start: a bridge over a captured link, and a link renamed; each is captured
// (the bridge beside its port), none with an error.
TEST_F(RealHost, BridgesAndRenamesMadeAfterTheStartAreCaptured) {
  const std::string port = net->addLink("").agentName, renamed = net->addLink("").agentName;
  start(SourceIdKind::IfIndex);
  // The test frames' IPv4 checksums are not valid: netfilter must not see them.
  ASSERT_TRUE(shell("ip netns exec " + net->agentNamespace() +
                    " sysctl -w net.bridge.bridge-nf-call-iptables=0"));
  ip("link add wqbr0 type bridge && ip -n " + net->agentNamespace() + " link set " + port +
     " master wqbr0 && ip -n " + net->agentNamespace() + " link set wqbr0 up");
  ASSERT_TRUE(waitFor([&] { return collector->statistics().interfaces == 3; }));
  EXPECT_EQ((std::set<uint32_t>{ifIndex(port), ifIndex("wqbr0")}), sources(0, 2));
  const unsigned index = ifIndex(renamed);
  ip("link set " + renamed + " down && ip -n " + net->agentNamespace() + " link set " + renamed +
     " name wqren0 up");
  ASSERT_TRUE(
      waitFor([&] { return collector->statistics().interfaces == 3 && ifIndex("wqren0"); }));
  EXPECT_EQ(std::set<uint32_t>{index}, sources(1));
  EXPECT_TRUE(log.messages(log4cplus::ERROR_LOG_LEVEL).empty());
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
    ASSERT_TRUE(waitFor([&] { return collector->statistics().interfaces == 2; })) << i;
    net->removeLink(i);
    ASSERT_TRUE(waitFor([&] { return collector->statistics().interfaces == 1; })) << i;
  }
  std::this_thread::sleep_for(Millis(1000));  // beyond the hold
  EXPECT_EQ(threads, entries("/proc/self/task"));
  EXPECT_EQ(fds + 12, entries("/proc/self/fd"));  // the far ends' sending sockets stay
  net->addLink("");
  EXPECT_EQ(std::set<uint32_t>{1}, sources(13));
}

// Interfaces left out by name are not opened, at the start, when they appear or after a
// reload; a reload's collectors and rate hold for the next samples, whose sequence goes on,
// and no capture thread restarts for it.
TEST_F(RealHost, InterfacesByNameAndAReloadThatLeavesCaptureRunning) {
  const std::string first = net->addLink("").agentName, second = net->addLink("").agentName;
  start(SourceIdKind::IfIndex, 60000, ("!" + second + " !wqx*").c_str());
  ip("link add wqx9x type veth peer name wqx9y && ip -n " + net->agentNamespace() +
     " link set wqx9x up && ip -n " + net->agentNamespace() + " link set wqx9y up");
  const unsigned third = ifIndex(net->addLink("").agentName);
  EXPECT_EQ(std::set<uint32_t>{third}, sources(2));
  const auto sampled = [&](uint16_t from) {  // of 40 frames
    for (uint16_t n = from; n < from + 40; ++n)
      net->send(0, testFrame(net->link(0), n));
    std::this_thread::sleep_for(Millis(600));
    return rig.samples(true);
  };
  const auto before = sampled(0);
  const size_t threads = entries("/proc/self/task");
  EXPECT_EQ(2u, collector->statistics().interfaces);
  ASSERT_TRUE(rig.reporter.changeCollectors("192.0.2.20"));
  CaptureOptions options;
  options.interfaces = *InterfacePatterns::parse("!" + second + " !wqx*");
  collector->reconfigure(2, false, options);
  std::this_thread::sleep_for(Millis(1000));
  const auto after = sampled(100);
  ASSERT_EQ(20u, after.size());
  EXPECT_EQ(before.back().sequence + 1, after.front().sequence);
  EXPECT_EQ(2u, after.back().samplingRate);
  EXPECT_EQ("192.0.2.20", rig.sink.collectors);
  EXPECT_EQ(threads, entries("/proc/self/task"));
  options.interfaces = *InterfacePatterns::parse("!" + first + " !wqx*");
  collector->reconfigure(2, false, options);
  EXPECT_EQ(std::set<uint32_t>{ifIndex(second)}, sources(1));
  EXPECT_EQ(2u, collector->statistics().interfaces);
}

// Failures alike are logged once a minute and then counted in one line; running out of
// descriptors is an error, once.
TEST(DeviceOpener, RepeatedFailuresAreSummarised) {
  LogCapture log{"TrafficLogger"};
  ReporterRig rig;
  FakePcap pcap;
  for (const char* traits : {"perm", "emfile"})
    for (int i = 0; i < 3; ++i)
      pcap.devices.push_back({traits + std::to_string(i), traits});
  const CaptureFilter filter = buildFilter(32, true);
  DeviceOpener opener(pcap, rig.reporter, 128, 2097152, filter);
  std::vector<OpenedDevice> opened;
  opener.openAll(opened);
  opener.summarise(std::chrono::steady_clock::now() + std::chrono::minutes(2));
  EXPECT_EQ(4u, log.messages(log4cplus::WARN_LOG_LEVEL).size());  // one of each, then the rest
  EXPECT_EQ(1u, log.messages(log4cplus::ERROR_LOG_LEVEL).size());
}

TEST(ServiceUnit, LeavesRoomForAThousandInterfaces) {
  const std::string unit = unitFileText("/usr/lib/wendrel/wendrel").value();
  const size_t at = unit.find("\nLimitNOFILE=");
  ASSERT_NE(std::string::npos, at);
  EXPECT_LE(4096, std::stoi(unit.substr(at + 13)));
}

}  // namespace
}  // namespace wendrel::test
