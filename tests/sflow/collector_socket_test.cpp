// The real transport: the collector resolved to IPv4 on port 6343, a datagram over loopback
// UDP, and the failures the reporter logs.
#include "collector_socket.h"

#include <gmock/gmock.h>
#include <log4cplus/loglevel.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log_capture.h"
#include "sflow_fakes.h"

namespace wendrel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;

constexpr int kInfo = log4cplus::INFO_LOG_LEVEL, kError = log4cplus::ERROR_LOG_LEVEL;

TEST(CollectorSocket, SendsToPort6343OfTheCollector) {
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

  CollectorSocket socket;
  socket.open(address);
  const std::vector<uint8_t> sent = pattern(1300);
  socket.send(sent.data(), sent.size());
  std::vector<uint8_t> received(2048);
  const ssize_t size = ::recv(collector.native_handle(), received.data(), received.size(), 0);
  received.resize(size > 0 ? static_cast<size_t>(size) : 0);
  EXPECT_EQ(sent, received);
}

// The reporter stays uninitialized, and every datagram it then sends is lost with an error.
TEST(CollectorSocket, UnresolvableCollectorIsLoggedAndSendsNothing) {
  for (const std::string name : {"no-such-host.invalid"}) {
    LogCapture log("PacketReporter");
    PacketReporter reporter(name);
    EXPECT_FALSE(reporter.isInitialized()) << name;
    addFrame(reporter, pattern(60), 60);
    reporter.flush();
    EXPECT_EQ(
        std::vector<std::string>{"Initializing socket to send sFlow packets to collector " + name},
        log.messages(kInfo))
        << name;
    EXPECT_THAT(log.messages(kError),
                ElementsAre(StartsWith("Failed to initialize udp socket: resolve: "),
                            StartsWith("Failed to send sFlow packet: send_to: ")))
        << name;
  }
}

}  // namespace
}  // namespace wendrel::test
