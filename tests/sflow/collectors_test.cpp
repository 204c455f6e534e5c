// Collectors over real sockets, in a network namespace of the test's own: the default port,
// every datagram reaches every collector, one that loses its route holds up none of the others
// and is logged without flooding, a collector whose name moves is followed, and one that never
// resolves leaves the reporter uninitialized.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>

#include <boost/asio/ip/udp.hpp>

#include "collector_socket.h"
#include "log_capture.h"
#include "sflow_fakes.h"
#include "test_util.h"

namespace wendrel::test {
namespace {

using boost::asio::ip::udp;
constexpr int kInfo = log4cplus::INFO_LOG_LEVEL, kError = log4cplus::ERROR_LOG_LEVEL;

// A bound collector; recv() gives up after 100 ms.
struct Receiver {
  Receiver(boost::asio::io_context& io, const char* address, uint16_t port = 0)
      : socket(io, udp::endpoint(boost::asio::ip::make_address(address), port)) {
    const timeval timeout{0, 100000};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  std::string label() const {
    const auto e = socket.local_endpoint();
    const std::string a = e.address().to_string();
    return (e.address().is_v6() ? "[" + a + "]" : a) + ":" + std::to_string(e.port());
  }
  // Datagrams waiting, in order.
  std::vector<std::string> drain(bool wait = false) {
    std::vector<std::string> got;
    char buffer[2048];
    for (ssize_t n;
         (n = ::recv(socket.native_handle(), buffer, sizeof buffer, wait ? 0 : MSG_DONTWAIT)) > 0;)
      got.emplace_back(buffer, static_cast<size_t>(n));
    return got;
  }
  udp::socket socket;
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
  static inline bool inNamespace = false;
  boost::asio::io_context io;
  FakeClock clock;
  SystemResolver resolver;
};

// Sums the failures that the log lines account for: 1 for the first, N for each "N more".
uint32_t failuresLogged(const std::vector<std::string>& lines) {
  uint32_t total = 0;
  for (const std::string& line : lines) {
    const size_t more = line.find(" more");
    total += more == std::string::npos
                 ? 1u
                 : uint32_t(std::stoul(line.substr(line.rfind('(', more) + 1)));
  }
  return total;
}

TEST_F(Collectors, EveryCollectorGetsEveryDatagramAndOneWithoutARouteHoldsUpNone) {
  Receiver v4(io, "127.0.0.1", 6343), v6(io, "::1"), far(io, "198.51.100.1");
  LogCapture log("PacketReporter");
  CollectorSocket sink(resolver, clock);
  sink.open("127.0.0.1, " + v6.label() + "  " + far.label());
  std::vector<std::string> sent, got4, got6;
  const auto send = [&](int first, int count) {
    for (int i = first; i < first + count; ++i) {
      sent.push_back(std::string(i == 0 ? 1300 : 16, 'x') + std::to_string(i));
      sink.send(reinterpret_cast<const uint8_t*>(sent.back().data()), sent.back().size());
      clock.now += 25;
    }
  };
  send(0, 5);
  EXPECT_EQ(sent, v4.drain(true));
  EXPECT_EQ(sent, v6.drain(true));
  EXPECT_EQ(sent, far.drain(true));
  // The far collector loses its route for 25 s of steady sending.
  ASSERT_TRUE(shell("ip addr del 198.51.100.1/32 dev lo"));
  sent.clear();
  for (int i = 0; i < 1000; i += 50) {
    send(100 + i, 50);
    for (auto [receiver, got] : {std::pair{&v4, &got4}, {&v6, &got6}})
      for (const std::string& d : receiver->drain())
        got->push_back(d);
  }
  EXPECT_EQ(sent, got4);
  EXPECT_EQ(sent, got6);
  auto logged = log.messages(kError);
  ASSERT_GE(logged.size(), 2u);
  EXPECT_LE(logged.size(), 4u) << "one line at once, then at most one per 10 s";
  EXPECT_EQ(0u, logged[0].find("Failed to send sFlow packet: send_to 198.51.100.1")) << logged[0];
  ASSERT_TRUE(shell("ip addr add 198.51.100.1/32 dev lo"));
  sent.clear();
  send(2000, 3);
  EXPECT_EQ(sent, far.drain(true));
  const auto infos = log.messages(kInfo);
  ASSERT_EQ(1u, infos.size());
  EXPECT_EQ(0u, infos[0].find("Sending sFlow packets to collector " + far.label() + " again"));
  logged.push_back(infos[0]);
  EXPECT_EQ(1000u, failuresLogged(logged)) << "the recovery line counts the rest";
}

struct MovingResolver : CollectorResolver {
  udp::endpoint resolve(const CollectorEntry& entry) override {
    if (!addresses.count(entry.host))
      throw std::runtime_error("resolve: Host not found (authoritative)");
    return addresses[entry.host];
  }
  std::map<std::string, udp::endpoint> addresses;
};

TEST_F(Collectors, NamesAreLookedUpAgainAndDatagramsFollow) {
  Receiver first(io, "127.0.0.1"), second(io, "127.0.0.1"), late(io, "::1");
  MovingResolver names;
  names.addresses["collector.test"] = first.socket.local_endpoint();
  LogCapture log("PacketReporter");
  CollectorSocket sink(names, clock);
  sink.open("collector.test late.test");  // one of two resolving is enough to start
  EXPECT_TRUE(log.contains(log4cplus::WARN_LOG_LEVEL,
                           "Collector late.test:6343 does not resolve (resolve: Host not found "
                           "(authoritative)); trying again later"));
  names.addresses["collector.test"] = second.socket.local_endpoint();
  names.addresses["late.test"] = late.socket.local_endpoint();
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
  EXPECT_TRUE(log.contains(kInfo, "Collector collector.test:6343 is now at " + second.label() +
                                      " (was " + first.label() + ")"));
}

// The reporter stays uninitialized, and every datagram it then sends is lost with an error.
TEST_F(Collectors, UnresolvableCollectorIsLoggedAndSendsNothing) {
  LogCapture log("PacketReporter");
  PacketReporter reporter("no-such-host.invalid");
  EXPECT_FALSE(reporter.isInitialized());
  addFrame(reporter, pattern(60), 60);
  reporter.flush();
  EXPECT_EQ(std::vector<std::string>{"Initializing socket to send sFlow packets to collector "
                                     "no-such-host.invalid"},
            log.messages(kInfo));
  const auto errors = log.messages(kError);
  ASSERT_EQ(2u, errors.size());
  EXPECT_EQ(0u, errors[0].find("Failed to initialize udp socket: resolve: "));
  EXPECT_EQ(0u, errors[1].find("Failed to send sFlow packet: send_to: "));
}

}  // namespace
}  // namespace wendrel::test
