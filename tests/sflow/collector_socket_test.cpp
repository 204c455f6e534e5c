// The real transport: the collector resolved to IPv4 on port 6343, datagrams over loopback UDP,
// and the logged failures.
#include "collector_socket.h"

#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "sflow_fakes.h"

namespace wendrel::test {
namespace {

const std::string kInitializing = "Initializing socket to send sFlow packets to collector ";

TEST(CollectorSocket, ReporterSendsItsDatagramsToTheCollector) {
  // Port 6343 on a loopback address (all of 127/8) of this process's own: runs do not meet.
  const unsigned pid = static_cast<unsigned>(getpid());
  const std::string address =
      "127.42." + std::to_string(pid / 254 % 256) + "." + std::to_string(pid % 254 + 1);
  boost::asio::io_context io;
  boost::asio::ip::udp::socket collector(io, boost::asio::ip::udp::v4());
  boost::system::error_code error;
  collector.bind({boost::asio::ip::make_address_v4(address), 6343}, error);
  if (error)
    GTEST_SKIP() << "cannot bind " << address << ":6343: " << error.message();
  const timeval timeout{2, 0};  // a plain recv() below, so that the timeout applies
  setsockopt(collector.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

  LogCapture log("PacketReporter");
  PacketReporter reporter(address);
  ASSERT_TRUE(reporter.isInitialized());
  for (int i = 0; i < 7; ++i)
    addFrame(reporter, pattern(200), 1514, 32, 1);  // the 7th sends six
  reporter.flush();

  std::vector<std::pair<uint32_t, size_t>> received;  // sequence, samples
  std::vector<uint8_t> buffer(2048);
  for (int i = 0; i < 2; ++i) {
    const ssize_t size = ::recv(collector.native_handle(), buffer.data(), buffer.size(), 0);
    const auto d = decodeDatagram(buffer.data(), size > 0 ? static_cast<size_t>(size) : 0);
    ASSERT_TRUE(d) << "datagram " << i + 1 << " did not arrive whole";
    received.emplace_back(d->sequence, d->samples.size());
  }
  EXPECT_EQ((std::vector<std::pair<uint32_t, size_t>>{{1, 6}, {2, 1}}), received);
  EXPECT_EQ(std::vector<std::string>{kInitializing + address}, log.messages());
}

// The reporter stays uninitialized, and every datagram it then sends is lost with an error.
TEST(CollectorSocket, UnresolvableCollectorIsLoggedAndSendsNothing) {
  for (const std::string name : {"no-such-host.invalid"}) {
    LogCapture log("PacketReporter");
    PacketReporter reporter(name);
    EXPECT_FALSE(reporter.isInitialized()) << name;
    addFrame(reporter, pattern(60), 60);
    reporter.flush();
    const std::vector<LogEntry> entries = log.entries();
    ASSERT_EQ(3u, entries.size()) << name;
    EXPECT_EQ(log4cplus::INFO_LOG_LEVEL, entries[0].level);
    EXPECT_EQ(kInitializing + name, entries[0].message);
    EXPECT_EQ(log4cplus::ERROR_LOG_LEVEL, entries[1].level);
    EXPECT_EQ(0u, entries[1].message.rfind("Failed to initialize udp socket: resolve: ", 0))
        << entries[1].message;
    EXPECT_EQ(0u, entries[2].message.rfind("Failed to send sFlow packet: send_to: ", 0))
        << entries[2].message;
  }
}

}  // namespace
}  // namespace wendrel::test
