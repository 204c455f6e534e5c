// Where finished datagrams go: the collector's UDP socket in the agent, a recorder in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace wendrel {

// The datagrams one collector did not get.
struct CollectorFailures {
  std::string collector;  // as the operator wrote it
  uint64_t count = 0;
};

class DatagramSink {
 public:
  virtual ~DatagramSink() = default;
  // Resolves the collectors and opens the socket(s).
  // Throws std::exception with the failing operation's text on failure.
  virtual void open(const std::string& collectorAddress) = 0;
  // Sends one datagram. Throws std::exception with the failing operation's text on failure.
  virtual void send(const uint8_t* data, size_t size) = 0;
  // Periodic upkeep (looking collector names up again), on the service thread twice a second.
  // Never waits for the network.
  virtual void maintain() {}
  // Since open(), for each collector that missed any, in the order of the list: datagrams
  // whose send failed or came back refused, and those that found its address not known yet.
  virtual std::vector<CollectorFailures> failures() { return {}; }
  // Releases what open() acquired; called once by the reporter's destructor when open()
  // succeeded. Never throws.
  virtual void close() noexcept {}
};

}  // namespace wendrel
