// What the kernel counts for an interface, in the shape of the sFlow generic interface
// counters and port name, for the counter samples (KernelInterfaceStatistics is the Linux
// reader).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace wendrel {

// The value of a counter the kernel does not keep: always the same counters, so that a
// collector never mistakes a missing counter for a reset.
constexpr uint32_t kCounterUnknown = 0xFFFFFFFF;

struct InterfaceCounters {
  uint32_t ifIndex = 0;             // the kernel's interface index
  uint64_t speedBitsPerSecond = 0;  // 0 when unknown
  uint32_t direction = 0;           // 1 full duplex, 2 half duplex, 0 unknown
  uint32_t status = 0;              // bit 0 administratively up, bit 1 operationally up
  // The 32-bit packet counters are the kernel's 64-bit ones truncated, wrapping as SNMP
  // counters do; octets stay 64-bit.
  uint64_t inOctets = 0;
  uint32_t inUnicast = 0;
  uint32_t inMulticast = 0;
  uint32_t inBroadcast = kCounterUnknown;
  uint32_t inDiscards = 0;
  uint32_t inErrors = 0;
  uint32_t inUnknownProtos = kCounterUnknown;
  uint64_t outOctets = 0;
  uint32_t outUnicast = 0;
  uint32_t outMulticast = kCounterUnknown;
  uint32_t outBroadcast = kCounterUnknown;
  uint32_t outDiscards = 0;
  uint32_t outErrors = 0;
  uint32_t promiscuousMode = 0;         // 1 when the interface is in promiscuous mode, else 0
  std::string name;                     // for the port name record
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
