// The collector list as the operator writes it; then collectors over real sockets, in network
// and mount namespaces of the test's own: one that fails holds up no other, names are looked
// up again, and a silent name server holds up nothing.
#include <gtest/gtest.h>
#include <sched.h>

#include <future>
#include <map>
#include <thread>

#include "collector_socket.h"
#include "log_capture.h"
#include "scenario.h"
#include "sflow_fakes.h"

namespace wendrel::test {
namespace {

using boost::asio::ip::udp;
using Failures = std::vector<std::pair<std::string, uint64_t>>;

TEST(CollectorList, ParsesEveryFormAndRefusesWhatIsNotOne) {
  using E = std::vector<CollectorEntry>;
  const std::string longName = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                               std::string(63, 'c') + "." + std::string(61, 'd');  // 253
  const std::pair<std::string, E> forms[] = {
      {"192.0.2.10:6344 host-1:65535 in_ternal.example",
       E{{"192.0.2.10", 6344, true}, {"host-1", 65535, false}, {"in_ternal.example", 6343, false}}},
      {"[2001:db8::1] [2001:db8::1]:6344 2001:db8::1",
       E{{"2001:db8::1", 6343, true}, {"2001:db8::1", 6344, true}, {"2001:db8::1", 6343, true}}},
      {" a.example ,b.example:7000\t[::1]:6000 ,, ",
       E{{"a.example", 6343, false}, {"b.example", 7000, false}, {"::1", 6000, true}}},
      {longName, E{{longName, 6343, false}}},
      {std::string(63, 'x') + ".example", E{{std::string(63, 'x') + ".example", 6343, false}}},
  };
  std::vector<std::string> refused = {
      "  , \t",        "host:0",       "host:65536",   "host:http",          "host:",
      "192.0.2.10:-1", "[2001:db8::1", "2001:db8::1]", "[2001:db8::1]6344",  "[192.0.2.10]",
      "192.0.2.300",   "bad_name!",    "a..b",         "good.example, :6343"};
  refused.insert(refused.end(), {longName + "x", std::string(64, 'x') + ".example"});
  for (const auto& [text, expected] : forms) {
    std::string error;
    EXPECT_EQ(expected, parseCollectorList(text, error).value_or(E{})) << text << ": " << error;
  }
  for (const std::string& text : refused) {
    std::string error;
    EXPECT_EQ(std::nullopt, parseCollectorList(text, error)) << '"' << text << '"';
    EXPECT_NE("", error) << text;
  }
}

Failures failuresOf(const std::vector<CollectorFailures>& failures) {
  Failures out;
  for (const CollectorFailures& f : failures)
    out.emplace_back(f.collector, f.count);
  return out;
}

// Names of the test's choosing: each looked up as the collector label it is set to.
struct MovingResolver : CollectorResolver {
  udp::endpoint resolve(const CollectorEntry& entry) override {
    std::lock_guard<std::mutex> lock(mutex);  // lookups run on threads of their own
    ++lookups[entry.host];
    if (!addresses.count(entry.host))
      throw std::runtime_error("resolve: Host not found (authoritative)");
    std::string error;
    const CollectorEntry to = parseCollectorList(addresses[entry.host], error).value().at(0);
    return {boost::asio::ip::make_address(to.host), to.port};
  }
  std::map<std::string, std::string> addresses;
  std::map<std::string, int> lookups;
  std::mutex mutex;
};

class Collectors : public ::testing::Test {
 protected:
  // The gtest thread, and what it starts, in namespaces of its own: one more address (so that
  // names are looked up at all), and a name server that reads nothing (30 s, five tries).
  static void SetUpTestSuite() {
    ready = geteuid() == 0 && unshare(CLONE_NEWNET | CLONE_NEWNS) == 0 &&
            shell(
                "mount --make-rprivate / && f=$(mktemp) && printf 'nameserver 127.0.0.53\\n"
                "options timeout:30 attempts:5\\n' >$f && mount --bind $f /etc/resolv.conf && "
                "rm $f && ip link set lo up && ip addr add 198.51.100.1/32 dev lo && "
                "sysctl -qw net.ipv4.icmp_ratemask=0");
    if (ready)
      nameServer.emplace(io, udp::endpoint(boost::asio::ip::make_address("127.0.0.53"), 53));
  }
  void SetUp() override {
    if (!ready)
      GTEST_SKIP() << "needs root to make network and mount namespaces";
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
  static inline bool ready = false;
  static inline boost::asio::io_context io;
  static inline std::optional<udp::socket> nameServer;
  FakeClock clock;
  MovingResolver names;
  UdpCollector good{"127.0.0.1"};
};

// One collector refuses with ICMP port unreachable, one loses its route for 25 s of steady
// sending: every datagram still reaches the others, each one missed is counted against the
// collector that missed it, and each is logged at once, then once per 10 s at most.
TEST_F(Collectors, EveryCollectorGetsEveryDatagramAndOneThatFailsHoldsUpNone) {
  UdpCollector v6("::1"), far("198.51.100.1");
  names.addresses["far.test"] = far.label();
  LogCapture log("PacketReporter");
  CollectorSocket sink(names, clock);
  const std::string farLabel = "far.test:" + far.label().substr(13);
  sink.open(good.label() + ", " + v6.label() + " 127.0.0.1:9  " + farLabel);
  std::vector<std::string> sent = send(sink, 5);
  for (UdpCollector* c : {&good, &v6, &far})
    EXPECT_EQ(sent, c->drain(true));
  ASSERT_TRUE(shell("ip addr del 198.51.100.1/32 dev lo"));
  std::vector<std::string> got4, got6;
  sent.clear();
  for (int i = 0; i < 20; ++i) {
    for (const std::string& d : send(sink, 50))
      sent.push_back(d);
    sink.maintain();
    for (auto [receiver, got] : {std::pair{&good, &got4}, {&v6, &got6}})
      for (const std::string& d : receiver->drain())
        got->push_back(d);
  }
  EXPECT_EQ(std::tuple(sent, sent), std::tuple(got4, got6));
  ASSERT_TRUE(shell("ip addr add 198.51.100.1/32 dev lo"));
  sent = send(sink, 3);
  EXPECT_EQ(sent, far.drain(true));
  const Failures missed = {{"127.0.0.1:9", 1008}, {farLabel, 1000}};
  // The refusal of the last datagram may still be on its way.
  EXPECT_TRUE(waitFor([&] { return sink.maintain(), failuresOf(sink.failures()) == missed; }));
  EXPECT_EQ(missed, failuresOf(sink.failures()));
  EXPECT_EQ(6u, log.messages(log4cplus::ERROR_LOG_LEVEL).size()) << "three each, 10 s apart";
  // Working again, it is looked up on the normal schedule, not every 30 s as while it failed.
  clock.now += 31000;
  sink.maintain();
  sink.awaitLookups(Millis(5000));
  EXPECT_EQ(1, names.lookups["far.test"]);
}

TEST_F(Collectors, NamesAreLookedUpAgainAndDatagramsFollow) {
  UdpCollector second("127.0.0.1"), late("::1");
  names.addresses["collector.test"] = good.label();
  CollectorSocket sink(names, clock);
  sink.open("collector.test late.test [::1]:9");  // one of several resolving is enough
  names.addresses["collector.test"] = second.label();
  names.addresses["late.test"] = late.label();
  // What each collector receives of one datagram sent after the clock steps on: the
  // unresolved name is retried after 30 s, the moved one after 5 min, the address never.
  const std::tuple<uint64_t, size_t, size_t, size_t> steps[] = {
      {0, 1, 0, 0}, {29, 1, 0, 0}, {31, 1, 0, 1}, {331, 0, 1, 1}};
  for (const auto& [seconds, toFirst, toSecond, toLate] : steps) {
    clock.now = 1000 + seconds * 1000;
    sink.maintain();
    sink.awaitLookups(Millis(5000));
    send(sink, 1);
    EXPECT_EQ(std::tuple(toFirst, toSecond, toLate),
              std::tuple(good.drain().size(), second.drain().size(), late.drain().size()))
        << seconds;
  }
  EXPECT_EQ(0, names.lookups["::1"]);
  // Alone, a collector that does not resolve leaves the reporter uninitialized, and every
  // datagram it then sends is lost.
  CollectorSocket nowhere(names, clock);
  PacketReporter reporter("nowhere.test", clock, nowhere);
  EXPECT_FALSE(reporter.isInitialized());
  addFrame(reporter, pattern(60), 60);
  reporter.flush();
  EXPECT_EQ(1u, reporter.statistics().sendErrors);
}

// The lookup never ends while the test runs; the reporter must get by without it.
TEST_F(Collectors, ASilentNameServerHoldsUpNoStartSendOrStop) {
  std::promise<ReporterStatistics> result;
  std::thread([&result, address = good.label()] {
    PacketReporter alone("collector.test"), reporter("collector.test, " + address);
    ASSERT_TRUE(alone.isInitialized() && reporter.isInitialized()) << "no answer is no refusal";
    addFrame(reporter, pattern(60), 60);
    reporter.flush();
    result.set_value(reporter.statistics());
  }).detach();
  auto stopped = result.get_future();
  ASSERT_EQ(std::future_status::ready, stopped.wait_for(std::chrono::seconds(20))) << "hang guard";
  const ReporterStatistics done = stopped.get();
  EXPECT_EQ(std::tuple(Failures{{"collector.test:6343", 1}}, 1u),
            std::tuple(failuresOf(done.collectorFailures), done.sendErrors));
  EXPECT_EQ(1u, good.drain().size());
}

}  // namespace
}  // namespace wendrel::test
