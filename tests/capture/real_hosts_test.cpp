// What a real host does while the agent runs: links that are down, bridges and renames made
// after the start, and interfaces that come and go under fresh names.
#include <gtest/gtest.h>
#include <net/if.h>

#include <optional>
#include <set>

#include "capture_fakes.h"
#include "device_opener.h"
#include "log_capture.h"
#include "unit_file.h"
#include "veth_helpers.h"

namespace wendrel::test {
namespace {

class RealHost : public testing::Test {
 public:
  void SetUp() override {
    if (!NetnsPair::available())
      GTEST_SKIP() << "needs root for network namespaces";
    net.emplace("q");
  }
  void start(SourceIdKind ids, int indexHoldMs = 60000, const std::string& interfaces = "") {
    CaptureOptions options;
    options.sourceId = ids;
    options.timing.indexHold = boost::chrono::milliseconds(indexHoldMs);
    options.interfaces = *InterfacePatterns::parse(interfaces);
    w.emplace(*net, false, options);
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

// Interfaces left out by name are not opened, at the start, when they appear or after a
// reload; a reload's collectors and rate hold for the next samples, whose sequence goes on,
// and no capture thread restarts for it.
TEST_F(RealHost, InterfacesByNameAndAReloadThatLeavesCaptureRunning) {
  const std::string first = net->addLink("").agentName, second = net->addLink("").agentName;
  start(SourceIdKind::IfIndex, 60000, "!" + second + " !wqx*");
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
  w->collector->reconfigure(2, false, options);
  std::this_thread::sleep_for(Millis(1000));
  const auto after = sampled(100);
  ASSERT_EQ(20u, after.size());
  EXPECT_EQ(before.back().sequence + 1, after.front().sequence);
  EXPECT_EQ(2u, after.back().samplingRate);
  EXPECT_EQ("192.0.2.20", w->sink.collectors);
  EXPECT_EQ(threads, entries("/proc/self/task"));
  options.interfaces = *InterfacePatterns::parse("!" + first + " !wqx*");
  w->collector->reconfigure(2, false, options);
  EXPECT_EQ(std::set<uint32_t>{ifIndex(second)}, sources(1));
  EXPECT_EQ(2u, w->statistics().interfaces);
}

// A failure that repeats is one line, and one summary a while later: counted by level.
TEST(DeviceOpener, RepeatedFailuresAreSummarised) {
  LogCapture log{"TrafficLogger"};
  ReporterRig rig;
  FakePcap pcap;
  for (const char* traits : {"perm", "emfile"})
    for (int i = 0; i < 3; ++i)
      pcap.devices.push_back({traits + std::to_string(i), traits});
  DeviceOpener opener(pcap, rig.reporter, 128, 2097152, buildFilter(32, true));
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
