// Encodes sFlow version 5 datagrams: a 28-byte header, then samples back to back, never more
// than 1300 bytes. Pure encoding: no lock, no socket, no clock; the caller supplies every value
// and decides when a datagram leaves.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace wendrel {

// The header words that vary; version 5 and the sample count are the writer's.
struct DatagramHeader {
  uint32_t agentAddress = 0;  // IPv4 as a number: 10.0.0.5 is 0x0a000005
  // An IPv6 agent address, as on the wire; when set it replaces `agentAddress` (type 2).
  const uint8_t* agentAddress6 = nullptr;
  uint32_t subAgentId = 0;
  uint32_t sequence = 0;
  uint32_t uptimeMs = 0;
};

// The data source classes a sample's source id names.
constexpr uint32_t kSourceInterface = 0;       // an ifIndex
constexpr uint32_t kSourcePhysicalEntity = 2;  // the host itself

// The largest index or interface number the compact sample forms hold; a larger one makes the
// writer use the expanded forms (flow sample 3, counter sample 4).
constexpr uint32_t kMaxCompactIndex = 0xFFFFFF;
// The interface value for "this host itself", the same in both forms.
constexpr uint32_t kInternalInterface = 0x3FFFFFFF;

// One flow sample (compact, format 1, or expanded, format 3, when a number needs it) with one
// raw-packet-header record of an Ethernet frame.
struct FlowSample {
  uint32_t sequence = 0;
  uint32_t sourceId = 0;  // the data source's index (an ifIndex), 32 bits
  uint32_t sourceType = kSourceInterface;
  uint32_t samplingRate = 0;
  uint32_t samplePool = 0;
  uint32_t drops = 0;
  uint32_t inputInterface = 0;  // an ifIndex, kInternalInterface, or 0 for unknown
  uint32_t outputInterface = 0;
  uint32_t frameLength = 0;         // on the wire
  uint32_t stripped = 0;            // bytes of the frame that were not captured
  const uint8_t* header = nullptr;  // the first `headerLength` bytes of the frame
  uint32_t headerLength = 0;
};

// One counter sample (compact, format 2, or expanded, format 4, for an index over 24 bits)
// with the generic interface counters record and the port-name record. A counter sFlow does
// not have is all ones.
struct CounterSample {
  uint32_t sequence = 0;
  uint32_t sourceId = 0;  // the interface's index, 32 bits; always of the interface class
  uint32_t ifIndex = 0;
  uint64_t speed = 0;      // bits per second, 0 when unknown
  uint32_t direction = 0;  // 1 full duplex, 2 half duplex, 0 unknown
  uint32_t status = 0;     // bit 0 administratively up, bit 1 operationally up
  uint64_t inOctets = 0;
  uint32_t inUnicast = 0, inMulticast = 0, inBroadcast = 0, inDiscards = 0, inErrors = 0;
  uint32_t inUnknownProtos = 0;
  uint64_t outOctets = 0;
  uint32_t outUnicast = 0, outMulticast = 0, outBroadcast = 0, outDiscards = 0, outErrors = 0;
  uint32_t promiscuous = 0;
  const char* name = "";  // the port name; at most kMaxPortName bytes of it are sent
  size_t nameLength = 0;
};

class DatagramWriter {
 public:
  static constexpr size_t kMaxLength = 1300;
  static constexpr size_t kHeaderLength = 28;
  static constexpr size_t kHeaderLength6 = 40;  // with an IPv6 agent address

  // Bytes that `sample` takes in a datagram.
  static size_t encodedSize(const FlowSample& sample);
  static size_t encodedSize(const CounterSample& sample);
  static constexpr size_t kMaxPortName = 255;

  // Whether a sample of `encodedSize` bytes still fits behind the samples written.
  bool fits(size_t encodedSize) const { return length_ + encodedSize <= kMaxLength; }
  // Appends `sample`. It must fit: writing past the limit stops the process.
  void append(const FlowSample& sample);
  void append(const CounterSample& sample);
  // Appends a counter sample of `records` already encoded (each with its type and length),
  // `recordCount` of them, for the data source `sourceType`:`sourceId`.
  static size_t encodedCounterSize(uint32_t sourceId, size_t recordBytes);
  void appendCounters(uint32_t sequence, uint32_t sourceType, uint32_t sourceId,
                      const uint8_t* records, size_t recordBytes, uint32_t recordCount);
  uint32_t sampleCount() const { return sampleCount_; }

  // Writes the header in front of the samples; returns the datagram's length. The agent
  // address type must be the one clear() made room for. data() holds
  // the datagram until the next append() or clear().
  size_t finish(const DatagramHeader& header);
  const uint8_t* data() const { return buffer_.data(); }
  // Drops the samples: the next datagram starts empty, with room for an IPv6 agent address
  // when `ipv6Agent` (finish() must then be given one).
  void clear(bool ipv6Agent = false);

 private:
  void assertIpv6(bool ipv6Agent) const;

  std::array<uint8_t, kMaxLength> buffer_{};
  size_t headerLength_ = kHeaderLength;
  size_t length_ = kHeaderLength;
  uint32_t sampleCount_ = 0;
};

}  // namespace wendrel
