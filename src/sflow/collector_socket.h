// The real datagram sink: UDP towards every configured sFlow collector. Each datagram goes to
// each collector; a collector that fails does not hold up the others, its failures are logged
// without flooding, and collectors given by name are looked up again from time to time so that
// one that moves is followed.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <mutex>
#include <string>
#include <vector>

#include "clock.h"
#include "collector_list.h"
#include "datagram_sink.h"

namespace wendrel {

// Name lookup, behind a seam so that tests can make a collector move.
class CollectorResolver {
 public:
  virtual ~CollectorResolver() = default;
  // The address to send to; throws boost::system::system_error ("resolve: ...").
  virtual boost::asio::ip::udp::endpoint resolve(const CollectorEntry& entry) = 0;
};

// The system's resolver. A literal is taken as it is (with address_configured the system
// refuses even a literal while no interface has an address yet, as during a boot before DHCP
// has answered); a name is looked up for IPv4 first, as it always was, then for IPv6.
class SystemResolver : public CollectorResolver {
 public:
  boost::asio::ip::udp::endpoint resolve(const CollectorEntry& entry) override;

 private:
  boost::asio::io_context ioContext_;
};

class CollectorSocket : public DatagramSink {
 public:
  CollectorSocket();
  // Both must outlive the socket.
  CollectorSocket(CollectorResolver& resolver, Clock& clock);
  ~CollectorSocket() override;
  CollectorSocket(const CollectorSocket&) = delete;
  CollectorSocket& operator=(const CollectorSocket&) = delete;

  // Parses the collector list and resolves each entry. Throws when the list is not valid or
  // no entry resolves; an entry that does not resolve while another does is logged at WARN
  // and tried again later.
  void open(const std::string& collectorAddress) override;
  // Sends the datagram to every resolved collector; failures are logged here, per collector,
  // and never thrown. Throws only when open() never succeeded.
  void send(const uint8_t* data, size_t size) override;
  // Looks names up again: every 5 minutes, and every 30 seconds while sends to a collector
  // fail or its name does not resolve. Call it where a slow lookup delays no capture.
  void maintain() override;
  void close() noexcept override;

 private:
  struct Target {
    CollectorEntry entry;
    std::string label;  // as the operator wrote it, for the log
    boost::asio::ip::udp::endpoint endpoint;
    bool resolved = false;
    bool lookupFailing = false;
    uint64_t lastLookupMs = 0;
    // Failures since the last line logged about them; `failing` from the first until a send
    // succeeds.
    bool failing = false;
    uint64_t failingSinceMs = 0;
    uint64_t lastReportMs = 0;
    uint32_t unreported = 0;
  };

  boost::asio::ip::udp::socket& socketFor(const boost::asio::ip::udp::endpoint& endpoint);
  void sendTo(Target& target, const uint8_t* data, size_t size, uint64_t now);

  std::unique_ptr<CollectorResolver> ownedResolver_;
  std::unique_ptr<Clock> ownedClock_;
  CollectorResolver& resolver_;
  Clock& clock_;
  // Only synchronous operations are used, so the context is never run.
  boost::asio::io_context ioContext_;
  boost::asio::ip::udp::socket socketV4_;
  boost::asio::ip::udp::socket socketV6_;
  // Guards `targets_` between send() (a capture thread, under the reporter's lock) and
  // maintain() (the service thread), which only holds it to swap in a new address.
  std::mutex mutex_;
  std::vector<Target> targets_;
  bool open_ = false;
};

}  // namespace wendrel
