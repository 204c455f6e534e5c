// Several collectors over real sockets, in a network namespace of the test's own: every
// datagram reaches every collector, one that loses its route holds up none of the others and
// is logged without flooding, and a collector whose name moves is followed.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/udp.hpp>
#include <cstdlib>
#include <map>
#include <regex>

#include "collector_socket.h"
#include "log_capture.h"
#include "sflow_fakes.h"

namespace wendrel::test {
namespace {

using boost::asio::ip::udp;

class Collectors : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The gtest thread moves into a namespace of its own; commands it starts follow it.
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0)
      return;
    inNamespace = std::system("ip link set lo up && ip addr add 198.51.100.1/32 dev lo") == 0;
  }
  void SetUp() override {
    if (!inNamespace)
      GTEST_SKIP() << "needs root to make a network namespace";
  }

  // A bound collector; recv() gives up after 100 ms.
  struct Receiver {
    explicit Receiver(boost::asio::io_context& io, const char* address)
        : socket(io, udp::endpoint(boost::asio::ip::make_address(address), 0)) {
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
      for (;;) {
        const ssize_t n =
            ::recv(socket.native_handle(), buffer, sizeof buffer, wait ? 0 : MSG_DONTWAIT);
        if (n <= 0)
          return got;
        got.emplace_back(buffer, static_cast<size_t>(n));
      }
    }
    udp::socket socket;
  };

  static inline bool inNamespace = false;
  boost::asio::io_context io;
  FakeClock clock;
  SystemResolver resolver;
};

// Sums the failures that the log lines account for: 1 for the first, N for each "N more".
uint32_t failuresLogged(const std::vector<std::string>& lines) {
  uint32_t total = 0;
  const std::regex more(R"(\((\d+) more)");
  for (const std::string& line : lines) {
    std::smatch m;
    total += std::regex_search(line, m, more) ? static_cast<uint32_t>(std::stoul(m[1])) : 1u;
  }
  return total;
}

TEST_F(Collectors, EveryCollectorGetsEveryDatagramAndOneWithoutARouteHoldsUpNone) {
  Receiver v4(io, "127.0.0.1"), v6(io, "::1"), far(io, "198.51.100.1");
  LogCapture log("PacketReporter");
  CollectorSocket sink(resolver, clock);
  sink.open(v4.label() + ", " + v6.label() + "  " + far.label());

  const auto sendNumbered = [&](int first, int count) {
    std::vector<std::string> sent;
    for (int i = first; i < first + count; ++i) {
      sent.push_back("datagram " + std::to_string(i));
      sink.send(reinterpret_cast<const uint8_t*>(sent.back().data()), sent.back().size());
      clock.now += 25;
    }
    return sent;
  };
  auto sent = sendNumbered(0, 5);
  EXPECT_EQ(sent, v4.drain(true));
  EXPECT_EQ(sent, v6.drain(true));
  EXPECT_EQ(sent, far.drain(true));

  // The far collector loses its route for 25 s of steady sending.
  ASSERT_EQ(0, std::system("ip addr del 198.51.100.1/32 dev lo"));
  std::vector<std::string> got4, got6;
  for (int i = 0; i < 1000; i += 50) {
    const auto batch = sendNumbered(100 + i, 50);
    sent = i == 0 ? batch : (sent.insert(sent.end(), batch.begin(), batch.end()), sent);
    for (auto [receiver, got] : {std::make_pair(&v4, &got4), std::make_pair(&v6, &got6)}) {
      const auto more = receiver->drain();
      got->insert(got->end(), more.begin(), more.end());
    }
  }
  EXPECT_EQ(sent, got4);
  EXPECT_EQ(sent, got6);
  const auto errors = log.messages(log4cplus::ERROR_LOG_LEVEL);
  ASSERT_GE(errors.size(), 2u);
  EXPECT_LE(errors.size(), 4u) << "one line at once, then at most one per 10 s";
  EXPECT_NE(std::string::npos, errors[0].find("Failed to send sFlow packet: send_to 198.51.100.1"))
      << errors[0];

  ASSERT_EQ(0, std::system("ip addr add 198.51.100.1/32 dev lo"));
  sent = sendNumbered(2000, 3);
  EXPECT_EQ(sent, far.drain(true));
  const auto infos = log.messages(log4cplus::INFO_LOG_LEVEL);
  ASSERT_EQ(1u, infos.size());
  EXPECT_EQ(0u, infos[0].find("Sending sFlow packets to collector " + far.label() + " again"));
  auto accounted = errors;
  accounted.push_back(infos[0]);
  EXPECT_EQ(1000u, failuresLogged(accounted)) << "the recovery line counts the rest";
}

struct MovingResolver : CollectorResolver {
  udp::endpoint resolve(const CollectorEntry& entry) override {
    auto found = addresses.find(entry.host);
    if (found == addresses.end())
      throw std::runtime_error("resolve: Host not found (authoritative)");
    return found->second;
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
  const uint8_t datagram[] = {1, 2, 3, 4};
  sink.send(datagram, sizeof datagram);
  EXPECT_EQ(1u, first.drain(true).size());

  names.addresses["collector.test"] = second.socket.local_endpoint();
  names.addresses["late.test"] = late.socket.local_endpoint();
  clock.now += 29 * 1000;
  sink.maintain();  // the unresolved name is retried after 30 s, the moved one after 5 min
  sink.send(datagram, sizeof datagram);
  EXPECT_EQ(1u, first.drain(true).size());
  EXPECT_TRUE(late.drain().empty());
  clock.now += 2 * 1000;
  sink.maintain();
  sink.send(datagram, sizeof datagram);
  EXPECT_EQ(1u, late.drain(true).size());
  EXPECT_EQ(1u, first.drain(true).size());
  clock.now += 5 * 60 * 1000;
  sink.maintain();
  sink.send(datagram, sizeof datagram);
  EXPECT_EQ(1u, second.drain(true).size());
  EXPECT_TRUE(first.drain().empty());
  EXPECT_TRUE(log.contains(log4cplus::INFO_LOG_LEVEL, "Collector collector.test:6343 is now at " +
                                                          second.label() + " (was " +
                                                          first.label() + ")"));
}

}  // namespace
}  // namespace wendrel::test
