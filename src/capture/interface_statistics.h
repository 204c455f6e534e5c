// What the kernel counts for an interface, for the counter samples (KernelInterfaceStatistics
// is the Linux reader).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "datagram_writer.h"

namespace wendrel {

// The value of a counter the kernel does not keep: always the same counters, so that a
// collector never mistakes a missing counter for a reset.
constexpr uint32_t kCounterUnknown = 0xFFFFFFFF;

// The counters in the form a counter sample sends them (its sequence, source id and name
// are filled in when it is sent). The 32-bit packet counters are the kernel's 64-bit ones
// truncated, wrapping as SNMP counters do; octets stay 64-bit.
struct InterfaceCounters : CounterSample {
  InterfaceCounters() {
    inBroadcast = inUnknownProtos = outMulticast = outBroadcast = kCounterUnknown;
  }
  std::string portName;                 // the interface's name, for the port name record
  std::array<uint8_t, 6> macAddress{};  // the interface's own; all zero when it has none
};

class InterfaceStatistics {
 public:
  virtual ~InterfaceStatistics() = default;
  // The counters of the interface called `name`; nothing when it does not exist (it may
  // have vanished since it was opened) or cannot be read.
  virtual std::optional<InterfaceCounters> read(const std::string& name) = 0;
};

}  // namespace wendrel
