// Where finished datagrams go: the collector's UDP socket in the agent, a recorder in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace wendrel {

class DatagramSink {
 public:
  virtual ~DatagramSink() = default;
  // Resolves the collectors and opens the socket(s).
  // Throws std::exception with the failing operation's text on failure.
  virtual void open(const std::string& collectorAddress) = 0;
  // Sends one datagram. Throws std::exception with the failing operation's text on failure.
  virtual void send(const uint8_t* data, size_t size) = 0;
  // Periodic upkeep (looking collector names up again), on the service thread once a second.
  virtual void maintain() {}
  // Releases what open() acquired; called once by the reporter's destructor when open()
  // succeeded. Never throws.
  virtual void close() noexcept {}
};

}  // namespace wendrel
