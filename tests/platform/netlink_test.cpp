// The rtnetlink link events and interface statistics, on veth links in a network namespace
// that the main thread (which runs the tests, and forks `ip`) enters for the process alone:
// the links vanish with it.
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "test_util.h"
#include "kernel_interface_statistics.h"
#include "netlink_link_events.h"

namespace wendrel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Kind = LinkChange::Kind;
using test::shell;

bool enterOwnNetns() {
  static const bool entered = geteuid() == 0 && unshare(CLONE_NEWNET) == 0 &&
                              // No IPv6 autoconfiguration: only what a test sends is counted.
                              std::ofstream("/proc/sys/net/ipv6/conf/default/disable_ipv6") << 1;
  return entered;
}

TEST(NetlinkLinkEvents, ReportsLinksAppearingVanishingAndComingBack) {
  if (!enterOwnNetns())
    GTEST_SKIP() << "needs root";
  NetlinkLinkEvents events;
  ASSERT_EQ(events.error(), "");
  const char* add = "ip link add wle0 type veth peer name wle1";
  // The change to wait for after each command, of the one link named or else of both.
  const std::pair<const char*, LinkChange> steps[] = {
      {add, {Kind::Present, "", 0, false, false}},
      {"ip link set wle0 up", {Kind::Present, "wle0", 0, true, false}},  // its peer is down
      // Leaving a bridge is announced with a delete for the bridge port, not the interface.
      {"ip link set wle1 up && ip link add wlbr type bridge && ip link set wle0 master wlbr && "
       "ip link set wle0 nomaster",
       {Kind::Present, "", 0, true, true}},
      {"ip link del wle1", {Kind::Vanished, "", 0, false, false}},  // takes its peer along
      {add, {Kind::Present, "", 0, false, false}},
  };
  std::map<std::string, uint32_t> reported;
  int vanished = 0;
  for (const auto& [command, e] : steps) {
    SCOPED_TRACE(command);
    ASSERT_TRUE(shell(command));
    std::map<std::string, LinkChange> seen;  // name -> the last change like `e`
    for (const auto deadline = Clock::now() + 2s;
         Clock::now() < deadline && seen.size() < (e.name.empty() ? 2u : 1u);) {
      const LinkChanges batch = events.wait(100);
      EXPECT_FALSE(batch.lost) << events.error();
      for (const LinkChange& c : batch.changes) {
        vanished += c.kind == Kind::Vanished;
        if ((c.name == "wle0" || c.name == "wle1") && (e.name.empty() || c.name == e.name) &&
            c.kind == e.kind &&
            (e.kind == Kind::Vanished || (c.up == e.up && c.running == e.running)))
          seen[c.name] = c;
      }
    }
    ASSERT_EQ(seen.size(), e.name.empty() ? 2u : 1u) << "not reported within 2 s";
    for (const auto& [name, c] : seen) {
      EXPECT_EQ(c.ifIndex, e.kind == Kind::Present ? if_nametoindex(name.c_str()) : reported[name]);
      reported[name] = c.ifIndex;
    }
  }
  EXPECT_EQ(vanished, 2);
}

TEST(NetlinkLinkEvents, WakeEndsOneWaitAtOnceEvenWhenItComesFirst) {
  enterOwnNetns();  // when possible, so that no host link change ends a wait
  NetlinkLinkEvents events;
  events.wake();  // a stop just before the supervisor waits
  auto start = Clock::now();
  events.wait(10000);
  EXPECT_LT(Clock::now() - start, 1s);
  std::thread waker([&] { std::this_thread::sleep_for(100ms), events.wake(); });
  events.wait(10000);
  EXPECT_LT(Clock::now() - start, 2s);
  waker.join();
  start = Clock::now();  // the wake was taken: the next wait lasts its time
  EXPECT_TRUE(!events.wait(300).changes.empty() || Clock::now() - start >= 250ms);
}

// The interface's counters in /proc/net/dev: rx bytes, packets, errs, drop, fifo, frame,
// compressed, multicast, then tx bytes, packets, errs, drop, ...
std::vector<uint64_t> procNetDev(const std::string& name) {
  const std::string text = test::readFile("/proc/net/dev");
  std::istringstream fields(text.substr(text.find(name + ":") + name.size() + 1));
  std::vector<uint64_t> v(16);
  for (uint64_t& x : v)
    fields >> x;
  return v;
}

TEST(KernelInterfaceStatistics, AgreesWithTheKernelAndFollowsTheLinkState) {
  if (!enterOwnNetns())
    GTEST_SKIP() << "needs root";
  ASSERT_TRUE(
      shell("ip link add wst0 type veth peer name wst1 address 02:00:00:00:00:02 && "
            "ip link set wst0 up && ip link set wst1 up"));
  KernelInterfaceStatistics stats;
  ASSERT_EQ(stats.error(), "");
  // The operational state follows the carrier a moment after each change.
  auto settled = [&](const char* name, uint32_t status) {
    std::optional<InterfaceCounters> c;
    test::waitFor([&] { return (c = stats.read(name)) && c->status == status; }, 2000ms);
    EXPECT_TRUE(c && c->status == status) << name;
    return c.value_or(InterfaceCounters{});
  };
  settled("wst0", 3);  // until then there is no queue to send through
  settled("wst1", 3);
  // Frames of an EtherType nobody handles, so the receiver discards every one.
  constexpr uint64_t kFrames = 25, kSize = 100;
  uint8_t frame[kSize] = {0x02, 0, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0x88, 0xb5};
  sockaddr_ll to{AF_PACKET, 0, static_cast<int>(if_nametoindex("wst0")), 0, 0, 0, {}};
  const int fd = socket(AF_PACKET, SOCK_RAW, 0);
  for (uint64_t i = 0; i < kFrames; ++i)
    ASSERT_EQ(sendto(fd, frame, kSize, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              ssize_t{kSize});
  close(fd);
  test::waitFor([] { return procNetDev("wst1").at(3) >= kFrames; }, 1000ms);  // the backlog
  for (const char* name : {"wst0", "wst1"}) {
    SCOPED_TRACE(name);
    const std::optional<InterfaceCounters> c = stats.read(name);
    const std::vector<uint64_t> k = procNetDev(name);
    ASSERT_TRUE(c) << stats.error();
    EXPECT_EQ(std::tuple(c->name, c->ifIndex, c->speedBitsPerSecond, c->direction),
              std::tuple(name, if_nametoindex(name), 10000000000ul, 1u));  // veth: 10G, full
    EXPECT_EQ(k[0] + k[8], kFrames * kSize);  // what was sent, and nothing else
    EXPECT_EQ(std::vector<uint64_t>({c->inOctets, c->inUnicast + c->inMulticast, c->inErrors,
                                     c->inDiscards, c->inMulticast, c->outOctets, c->outUnicast,
                                     c->outErrors, c->outDiscards}),
              std::vector<uint64_t>({k[0], k[1], k[2], k[3], k[7], k[8], k[9], k[10], k[11]}));
    EXPECT_EQ(std::vector<uint32_t>(
                  {c->inBroadcast, c->inUnknownProtos, c->outMulticast, c->outBroadcast}),
              std::vector<uint32_t>(4, kCounterUnknown));
  }
  ASSERT_TRUE(shell("ip link set wst1 down"));
  EXPECT_EQ(settled("wst1", 0).promiscuousMode, 0u);
  settled("wst0", 1);  // up, but with its peer down it has no carrier
  ASSERT_TRUE(shell("ip link set wst1 up promisc on"));
  EXPECT_EQ(settled("wst1", 3).promiscuousMode, 1u);
  EXPECT_FALSE(stats.read("wst-none"));
  EXPECT_NE(stats.error().find("wst-none"), std::string::npos);
}

}  // namespace
}  // namespace wendrel
