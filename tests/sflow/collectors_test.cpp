// Collectors over real sockets, in a network namespace of the test's own, with names looked
// up by a resolver the test moves: every datagram reaches every collector, one that loses its
// route holds up none of the others and is logged without flooding, names are looked up again
// on their schedule and followed, and the reporter of a collector that never resolves sends
// nothing.
#include <gtest/gtest.h>
#include <sched.h>

#include <map>

#include "collector_socket.h"
#include "log_capture.h"
#include "scenario.h"
#include "sflow_fakes.h"

namespace wendrel::test {
namespace {

using boost::asio::ip::udp;

struct MovingResolver : CollectorResolver {
  udp::endpoint resolve(const CollectorEntry& entry) override {
    if (entry.literal)  // counted apart: they are never looked up again
      return ++lookups["literal"],
             udp::endpoint{boost::asio::ip::make_address(entry.host), entry.port};
    ++lookups[entry.host];
    if (!addresses.count(entry.host))
      throw std::runtime_error("resolve: Host not found (authoritative)");
    return addresses[entry.host];
  }
  void set(const std::string& name, const UdpCollector& c) {
    const std::string l = c.label();
    const size_t colon = l.rfind(':');
    addresses[name] = {
        boost::asio::ip::make_address(l.substr(l[0] == '[', colon - 2 * (l[0] == '['))),
        uint16_t(std::stoi(l.substr(colon + 1)))};
  }
  std::map<std::string, udp::endpoint> addresses;
  std::map<std::string, int> lookups;
};

class Collectors : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The gtest thread moves into a namespace of its own; commands it starts follow it.
    inNamespace = geteuid() == 0 && unshare(CLONE_NEWNET) == 0 &&
                  shell("ip link set lo up && ip addr add 198.51.100.1/32 dev lo");
  }
  void SetUp() override {
    if (!inNamespace)
      GTEST_SKIP() << "needs root to make a network namespace";
  }
  // Sends `count` datagrams, 25 ms apart on the clock; what was sent.
  std::vector<std::string> send(CollectorSocket& sink, int count) {
    std::vector<std::string> sent;
    for (int i = 0; i < count; ++i, clock.now += 25) {
      sent.push_back(std::string(i == 0 ? 1300 : 16, 'x') + std::to_string(clock.now));
      sink.send(reinterpret_cast<const uint8_t*>(sent.back().data()), sent.back().size());
    }
    return sent;
  }
  static inline bool inNamespace = false;
  FakeClock clock;
  MovingResolver names;
};

TEST_F(Collectors, EveryCollectorGetsEveryDatagramAndOneWithoutARouteHoldsUpNone) {
  UdpCollector v4("127.0.0.1"), v6("::1"), far("198.51.100.1");
  names.set("far.test", far);
  LogCapture log;
  CollectorSocket sink(names, clock);
  sink.open(v4.label() + ", " + v6.label() + "  far.test:" + far.label().substr(13));
  std::vector<std::string> sent = send(sink, 5);
  EXPECT_EQ(sent, v4.drain(true));
  EXPECT_EQ(sent, v6.drain(true));
  EXPECT_EQ(sent, far.drain(true));
  // The far collector loses its route for 25 s of steady sending.
  ASSERT_TRUE(shell("ip addr del 198.51.100.1/32 dev lo"));
  std::vector<std::string> got4, got6;
  sent.clear();
  for (int i = 0; i < 1000; i += 50) {
    for (const std::string& d : send(sink, 50))
      sent.push_back(d);
    sink.maintain();
    for (auto [receiver, got] : {std::pair{&v4, &got4}, {&v6, &got6}})
      for (const std::string& d : receiver->drain())
        got->push_back(d);
  }
  EXPECT_EQ(sent, got4);
  EXPECT_EQ(sent, got6);
  const size_t errors = log.messages(log4cplus::ERROR_LOG_LEVEL).size();
  EXPECT_TRUE(errors >= 2 && errors <= 4) << errors << ": one at once, then one per 10 s at most";
  ASSERT_TRUE(shell("ip addr add 198.51.100.1/32 dev lo"));
  sent = send(sink, 3);
  EXPECT_EQ(sent, far.drain(true));
}

TEST_F(Collectors, NamesAreLookedUpAgainAndDatagramsFollow) {
  UdpCollector first("127.0.0.1"), second("127.0.0.1"), late("::1");
  names.set("collector.test", first);
  CollectorSocket sink(names, clock);
  sink.open("collector.test late.test");  // one of two resolving is enough to start
  names.set("collector.test", second);
  names.set("late.test", late);
  // What each collector receives of one datagram sent after the clock steps on: the
  // unresolved name is retried after 30 s, the moved one after 5 min.
  const std::tuple<uint64_t, size_t, size_t, size_t> steps[] = {
      {0, 1, 0, 0}, {29, 1, 0, 0}, {31, 1, 0, 1}, {331, 0, 1, 1}};
  const uint8_t datagram[] = {1, 2, 3, 4};
  for (const auto& [seconds, toFirst, toSecond, toLate] : steps) {
    clock.now = 1000 + seconds * 1000;
    sink.maintain();
    sink.awaitLookups(Millis(5000));
    sink.send(datagram, sizeof datagram);
    EXPECT_EQ(std::tuple(toFirst, toSecond, toLate),
              std::tuple(first.drain().size(), second.drain().size(), late.drain().size()))
        << seconds;
  }
}

// The reporter stays uninitialized, and every datagram it then sends is lost.
TEST_F(Collectors, UnresolvableCollectorSendsNothing) {
  PacketReporter reporter("no-such-host.invalid");
  EXPECT_FALSE(reporter.isInitialized());
  addFrame(reporter, pattern(60), 60);
  reporter.flush();
  EXPECT_EQ(1u, reporter.statistics().sendErrors);
}

}  // namespace
}  // namespace wendrel::test
