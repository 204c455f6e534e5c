// The real transport: resolution of the collector, datagrams over loopback UDP to port
// 6343, and the logged failures.
#include "collector_socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "log_capture.h"
#include "packet_reporter.h"
#include "sflow_decoder.h"
#include "sflow_fakes.h"

namespace wendrel::test {
namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// A UDP socket bound to port 6343 on a loopback address of this process's own (all of
// 127/8 is loopback), so concurrent test runs do not meet on one port.
class Collector {
 public:
  Collector() {
    const unsigned pid = static_cast<unsigned>(getpid());
    address = "127.42." + std::to_string(pid / 254 % 256) + "." + std::to_string(pid % 254 + 1);
    fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(6343);
    inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      bindError = std::strerror(errno);
      return;
    }
    const timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~Collector() {
    if (fd >= 0)
      ::close(fd);
  }
  // One datagram, or an empty vector after two seconds without one.
  std::vector<uint8_t> receive() {
    std::vector<uint8_t> buffer(2048);
    const ssize_t size = ::recv(fd, buffer.data(), buffer.size(), 0);
    buffer.resize(size > 0 ? static_cast<size_t>(size) : 0);
    return buffer;
  }

  std::string address;
  std::string bindError;
  int fd = -1;
};

TEST(CollectorSocket, ReporterSendsItsDatagramsToTheCollector) {
  Collector collector;
  if (!collector.bindError.empty())
    GTEST_SKIP() << "cannot bind " << collector.address << ":6343: " << collector.bindError;
  LogCapture log("PacketReporter");
  PacketReporter reporter(collector.address);
  ASSERT_TRUE(reporter.isInitialized());
  EXPECT_EQ(std::vector<std::string>{"Initializing socket to send sFlow packets to collector " +
                                     collector.address},
            log.messages());
  reporter.setAgentAddress(networkOrder(10, 0, 0, 5));
  const std::vector<uint8_t> frame = patternFrame(200);
  for (int i = 0; i < 7; ++i)
    addFrame(reporter, frame, 1514, 32, 1);  // the 7th sends six
  reporter.flush();

  std::vector<DecodedDatagram> received;
  for (int i = 0; i < 2; ++i) {
    const std::vector<uint8_t> bytes = collector.receive();
    ASSERT_FALSE(bytes.empty()) << "datagram " << i + 1 << " did not arrive";
    std::string error;
    auto datagram = decodeDatagram(bytes, &error);
    ASSERT_TRUE(datagram) << error;
    received.push_back(*datagram);
  }
  EXPECT_EQ(1u, received[0].sequence);
  EXPECT_EQ(2u, received[1].sequence);
  EXPECT_EQ((std::array<uint8_t, 4>{10, 0, 0, 5}), received[1].agentAddress);
  EXPECT_LT(received[1].uptimeMs, 60'000u);
  ASSERT_EQ(6u, received[0].samples.size());
  ASSERT_EQ(1u, received[1].samples.size());
  const DecodedSample& last = received[1].samples[0];
  EXPECT_EQ(7u, last.sequence);
  EXPECT_EQ(1u, last.sourceId);
  EXPECT_EQ(7u * 32, last.samplePool);
  EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 128), last.header);
  EXPECT_TRUE(log.messages(log4cplus::ERROR_LOG_LEVEL).empty());
}

TEST(CollectorSocket, ResolvesToTheFirstIpv4AddressAndPort6343) {
  for (const char* name : {"127.0.0.1", "localhost"}) {
    CollectorSocket socket;
    socket.open(name);
    EXPECT_EQ(boost::asio::ip::make_address_v4("127.0.0.1"), socket.endpoint().address()) << name;
    EXPECT_EQ(6343, socket.endpoint().port()) << name;
  }
}

TEST(CollectorSocket, UnresolvableCollectorLeavesReporterUninitialized) {
  for (const std::string name : {"::1", "no-such-host.invalid"}) {
    LogCapture log("PacketReporter");
    PacketReporter reporter(name);
    EXPECT_FALSE(reporter.isInitialized()) << name;
    const std::vector<std::string> messages = log.messages();
    ASSERT_EQ(2u, messages.size()) << name;
    EXPECT_TRUE(log.contains(log4cplus::INFO_LOG_LEVEL, messages[0]));
    EXPECT_EQ("Initializing socket to send sFlow packets to collector " + name, messages[0]);
    EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, messages[1]));
    EXPECT_TRUE(startsWith(messages[1], "Failed to initialize udp socket: resolve: "))
        << messages[1];
  }
}

TEST(CollectorSocket, SendOnAnUnopenedSocketIsLoggedPerDatagram) {
  LogCapture log("PacketReporter");
  PacketReporter reporter("::1");
  ASSERT_FALSE(reporter.isInitialized());
  const std::vector<uint8_t> frame = patternFrame(60);
  addFrame(reporter, frame, 60, 32, 0);
  reporter.flush();
  addFrame(reporter, frame, 60, 32, 0);
  reporter.flush();
  const std::vector<std::string> errors = log.messages(log4cplus::ERROR_LOG_LEVEL);
  ASSERT_EQ(3u, errors.size());  // the resolution, then one per lost datagram
  EXPECT_TRUE(startsWith(errors[1], "Failed to send sFlow packet: send_to: ")) << errors[1];
  EXPECT_EQ(errors[1], errors[2]);
}

}  // namespace
}  // namespace wendrel::test
