// The rtnetlink link events and interface statistics, on veth links in a network namespace
// that the main thread (which runs the tests, and forks `ip`) enters for the process alone:
// the links vanish with it. Hot-plug and counter samples end to end are the capture tests'.
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>

#include "kernel_interface_statistics.h"
#include "netlink_link_events.h"
#include "test_util.h"

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

// More changes than the socket holds (30,000 of about 1.5 KB against its 32 MB): the overflow
// is reported, and the socket goes on. Leaving a bridge is then announced with a delete for the
// bridge port, not the interface: no vanish. The real delete is one, for each end of the pair,
// with the index the link had.
TEST(NetlinkLinkEvents, ReportsAnOverflowThenLinksButNoBridgePortAsVanished) {
  if (!enterOwnNetns())
    GTEST_SKIP() << "needs root";
  NetlinkLinkEvents events;
  ASSERT_EQ(events.error(), "");
  ASSERT_TRUE(
      shell("ip link add wlo0 type veth peer name wlo1 && for i in $(seq 15000); do "
            "echo link set wlo0 up; echo link set wlo0 down; done | ip -batch -"));
  bool lost = false;
  EXPECT_TRUE(test::waitFor([&] { return lost |= events.wait(100, -1).lost; }, 2s));
  for (int n = 0; n < 1000 && !events.wait(100, -1).changes.empty(); ++n) {
  }
  ASSERT_TRUE(
      shell("ip link add wle0 type veth peer name wle1 && ip link add wlbr type bridge && "
            "ip link set wle0 master wlbr && ip link set wle0 nomaster"));
  std::map<std::string, uint32_t> index{{"wle0", if_nametoindex("wle0")},
                                        {"wle1", if_nametoindex("wle1")}};
  ASSERT_TRUE(shell("ip link del wle1"));   // takes its peer along
  std::map<std::string, std::string> seen;  // "+" present, "-" vanished, in order
  int vanished = 0;
  for (const auto deadline = Clock::now() + 2s; Clock::now() < deadline && vanished < 2;) {
    for (const LinkChange& c : events.wait(100, -1).changes) {
      if (index.count(c.name)) {
        vanished += c.kind == Kind::Vanished;
        seen[c.name] += c.kind == Kind::Vanished ? "-" : "+";
        EXPECT_EQ(c.ifIndex, index[c.name]) << c.name;
      }
    }
  }
  for (const char* name : {"wle0", "wle1"}) {  // present, maybe again, then vanished once
    const std::string& s = seen[name];
    EXPECT_TRUE(s.size() >= 2 && s.find('-') == s.size() - 1) << name << " " << s;
  }
}

TEST(NetlinkLinkEvents, AWakeBeforeTheWaitEndsThatWaitOnly) {
  enterOwnNetns();  // when possible, so that no host link change ends a wait
  NetlinkLinkEvents events;
  events.wake();  // a stop just before the supervisor waits
  EXPECT_LT(test::millisecondsOf([&] { events.wait(10000, -1); }), 1000);
  const auto start = Clock::now();  // the wake was taken: the next wait lasts its time
  EXPECT_TRUE(!events.wait(300, -1).changes.empty() || Clock::now() - start >= 250ms);
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
            "ip link set wst0 up && ip link set wst1 up && "
            "ip link add wstm link wst1 type macvlan mode bridge && ip link set wstm up"));
  KernelInterfaceStatistics stats;
  ASSERT_EQ(stats.error(), "");
  // The operational state follows the carrier a moment after each change.
  auto promiscuousOnceSettled = [&](const char* name, uint32_t status) {
    std::optional<InterfaceCounters> c;
    EXPECT_TRUE(
        test::waitFor([&] { return (c = stats.read(name)) && c->status == status; }, 2000ms))
        << name << " " << status;
    return c ? c->promiscuous : 2;
  };
  for (const char* name : {"wst0", "wst1", "wstm"})  // until then no queue to send through
    promiscuousOnceSettled(name, 3);
  // Multicast frames of an EtherType nobody handles, so the receiver discards every one; the
  // macvlan (unlike a veth) counts them as multicast.
  constexpr uint64_t kFrames = 25, kSize = 100;
  uint8_t frame[kSize] = {0x01, 0, 0x5e, 0, 0, 0x01, 0x02, 0, 0, 0, 0, 0x01, 0x88, 0xb5};
  sockaddr_ll to{AF_PACKET, 0, static_cast<int>(if_nametoindex("wst0")), 0, 0, 0, {}};
  const int fd = socket(AF_PACKET, SOCK_RAW, 0);
  for (uint64_t i = 0; i < kFrames; ++i)
    sendto(fd, frame, kSize, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  close(fd);
  test::waitFor([] { return procNetDev("wst1").at(3) >= kFrames; }, 1000ms);  // the backlog
  for (const char* name : {"wst0", "wst1", "wstm"}) {
    SCOPED_TRACE(name);
    const std::optional<InterfaceCounters> c = stats.read(name);
    const std::vector<uint64_t> k = procNetDev(name);
    ASSERT_TRUE(c) << stats.error();
    EXPECT_EQ(std::tuple(c->portName, c->ifIndex), std::tuple(name, if_nametoindex(name)));
    if (name[3] != 'm') {  // veth: 10G, full duplex; what was sent, and nothing else
      EXPECT_EQ(std::tuple(c->speed, c->direction, k[0] + k[8]),
                std::tuple(10000000000ul, 1u, kFrames * kSize));
    }
    EXPECT_EQ(std::vector<uint64_t>({c->inOctets, c->inUnicast + c->inMulticast, c->inErrors,
                                     c->inDiscards, c->inMulticast, c->outOctets, c->outUnicast,
                                     c->outErrors, c->outDiscards, c->inBroadcast,
                                     c->inUnknownProtos, c->outMulticast, c->outBroadcast}),
              std::vector<uint64_t>({k[0], k[1], k[2], k[3], k[7], k[8], k[9], k[10], k[11],
                                     kCounterUnknown, kCounterUnknown, kCounterUnknown,
                                     kCounterUnknown}));
  }
  ASSERT_TRUE(
      shell("ip link del wstm && ip link set wst1 down"));  // the macvlan holds it promiscuous
  EXPECT_EQ(promiscuousOnceSettled("wst1", 0), 0u);
  promiscuousOnceSettled("wst0", 1);  // up, but with its peer down it has no carrier
  // Held promiscuous by a packet socket, as libpcap holds a device: no flag in the link's own.
  ASSERT_TRUE(shell("ip link set wst1 up"));
  const int held = socket(AF_PACKET, SOCK_RAW, 0);
  packet_mreq promiscuous{static_cast<int>(if_nametoindex("wst1")), PACKET_MR_PROMISC, 0, {}};
  setsockopt(held, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &promiscuous, sizeof promiscuous);
  EXPECT_EQ(promiscuousOnceSettled("wst1", 3), 1u);
  close(held);
  EXPECT_EQ(promiscuousOnceSettled("wst1", 3), 0u);
  EXPECT_FALSE(stats.read("wst-none"));
  EXPECT_NE(stats.error().find("wst-none"), std::string::npos);
}

}  // namespace
}  // namespace wendrel
