#include "collector_socket.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace wendrel {

namespace {
constexpr const char* kCollectorService = "6343";
}

CollectorSocket::CollectorSocket()
    : socket(ioContext), collectorEndpoint(boost::asio::ip::udp::v4(), 0) {}

CollectorSocket::~CollectorSocket() {
  close();
}

void CollectorSocket::open(const std::string& collectorAddress) {
  using boost::asio::ip::udp;
  udp::resolver resolver(ioContext);
  // A dotted IPv4 address is taken as it is: with address_configured the system refuses even
  // a literal while no interface has an IPv4 address yet (a boot before DHCP has answered).
  boost::system::error_code notLiteral;
  udp::resolver::results_type results =
      resolver.resolve(udp::v4(), collectorAddress, kCollectorService,
                       udp::resolver::numeric_host | udp::resolver::numeric_service, notLiteral);
  // IPv4 only: an IPv6 literal or a name with only IPv6 addresses fails here.
  if (notLiteral)
    results = resolver.resolve(udp::v4(), collectorAddress, kCollectorService,
                               udp::resolver::address_configured);
  if (results.empty()) {
    throw boost::system::system_error(boost::asio::error::host_not_found, "resolve");
  }
  collectorEndpoint = results.begin()->endpoint();
  socket.open(udp::v4());
}

void CollectorSocket::send(const uint8_t* data, size_t size) {
  socket.send_to(boost::asio::buffer(data, size), collectorEndpoint);
}

void CollectorSocket::close() noexcept {
  if (!socket.is_open())
    return;
  // Closing a UDP socket can only fail on a descriptor that is already gone; there is
  // nothing to recover at that point, so the error is dropped.
  boost::system::error_code ignored;
  socket.close(ignored);
}

}  // namespace wendrel
