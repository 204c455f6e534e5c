// The real datagram sink: one unconnected IPv4 UDP socket towards the sFlow collector.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <string>

#include "datagram_sink.h"

namespace wendrel {

class CollectorSocket : public DatagramSink {
 public:
  CollectorSocket();
  ~CollectorSocket() override;
  CollectorSocket(const CollectorSocket&) = delete;
  CollectorSocket& operator=(const CollectorSocket&) = delete;

  // Resolves `collectorAddress` (a host name or dotted IPv4 address) for IPv4 UDP, service
  // "6343", addresses of configured families only, keeps the first result and opens the
  // socket. Throws boost::system::system_error ("resolve: ...", "open: ...").
  void open(const std::string& collectorAddress) override;
  // One synchronous send_to of the whole buffer. Throws ("send_to: ...").
  void send(const uint8_t* data, size_t size) override;
  void close() noexcept override;

 private:
  // Only synchronous operations are used, so the context is never run.
  boost::asio::io_context ioContext;
  boost::asio::ip::udp::socket socket;
  boost::asio::ip::udp::endpoint collectorEndpoint;
};

}  // namespace wendrel
