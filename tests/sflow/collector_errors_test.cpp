// What collectors miss, counted where it happens: an unroutable collector and one whose host
// answers with ICMP port unreachable, each datagram counted against the collector that missed
// it while the good one gets everything; and a name server that never answers holds up
// neither the start, nor a send, nor the stop.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>

#include <boost/asio/ip/udp.hpp>
#include <future>
#include <thread>

#include "collector_socket.h"
#include "log_capture.h"
#include "sflow_fakes.h"
#include "test_util.h"

namespace wendrel::test {
namespace {

using boost::asio::ip::udp;
using Failures = std::vector<std::pair<std::string, uint64_t>>;

Failures failuresOf(const ReporterStatistics& statistics) {
  Failures out;
  for (const CollectorFailures& f : statistics.collectorFailures)
    out.emplace_back(f.collector, f.count);
  return out;
}

class CollectorErrors : public ::testing::Test {
 protected:
  // Namespaces of the test's own: loopback with one more address (so that names are looked
  // up at all), ICMP errors not rate-limited, and a name server on 127.0.0.53 that reads
  // nothing, for good (30 s, five tries).
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
  static inline bool ready = false;
  static inline boost::asio::io_context io;
  static inline std::optional<udp::socket> nameServer;
  udp::socket collector{io, udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)};
  std::string good = "127.0.0.1:" + std::to_string(collector.local_endpoint().port());
  size_t received() {
    size_t n = 0;
    for (char b[2048]; ::recv(collector.native_handle(), b, sizeof b, MSG_DONTWAIT) > 0;)
      ++n;
    return n;
  }
};

TEST_F(CollectorErrors, EveryDatagramMissedIsCountedAgainstTheCollectorThatMissedIt) {
  FakeClock clock;
  CollectorSocket sink(std::make_shared<SystemResolver>(), clock);
  LogCapture log("PacketReporter");
  PacketReporter reporter(good + " 203.0.113.9 127.0.0.1:9", clock, sink);
  for (int i = 0; i < 100; ++i, clock.now += 20) {
    addFrame(reporter, pattern(60), 60);
    reporter.flush();
  }
  // The refusal of the last datagram may still be on its way.
  waitFor([&] { return reporter.flush(), reporter.statistics().sendErrors >= 200; });
  EXPECT_EQ(100u, received());
  EXPECT_EQ((Failures{{"203.0.113.9:6343", 100}, {"127.0.0.1:9", 100}}),
            failuresOf(reporter.statistics()));
  EXPECT_EQ(200u, reporter.statistics().sendErrors);
  const auto errors = log.messages(log4cplus::ERROR_LOG_LEVEL);
  EXPECT_EQ(2u, errors.size()) << "one line each at once, the next after 10 s";
}

// The lookup never ends while the test runs; the reporter must get by without it.
TEST_F(CollectorErrors, ASilentNameServerHoldsUpNoStartSendOrStop) {
  std::promise<ReporterStatistics> done;
  std::thread([&, result = &done] {
    PacketReporter alone("collector.test"), reporter("collector.test, " + good);
    ASSERT_TRUE(alone.isInitialized() && reporter.isInitialized()) << "no answer is no refusal";
    addFrame(reporter, pattern(60), 60);
    reporter.flush();
    result->set_value(reporter.statistics());
  }).detach();
  auto stopped = done.get_future();
  ASSERT_EQ(std::future_status::ready, stopped.wait_for(std::chrono::seconds(20))) << "hang guard";
  EXPECT_EQ((Failures{{"collector.test:6343", 1}}), failuresOf(stopped.get()));
  EXPECT_EQ(1u, received());
}

}  // namespace
}  // namespace wendrel::test
