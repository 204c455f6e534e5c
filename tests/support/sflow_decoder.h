// A strict decoder for the datagrams the agent writes, kept apart from the encoder so that
// tests, fuzzers and the soak compare the encoder with a second reading of the wire format.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wendrel::test {

struct DecodedSample {
  uint32_t sequence = 0, sourceId = 0, samplingRate = 0, samplePool = 0;
  uint32_t drops = 0, inputInterface = 0, outputInterface = 0;
  uint32_t headerProtocol = 0, frameLength = 0, stripped = 0;
  std::vector<uint8_t> header;  // the copied packet bytes, without padding
};

// A counter sample with the generic interface counters and the port name.
struct DecodedCounters {
  uint32_t sequence = 0, sourceId = 0;
  std::array<uint32_t, 22> generic{};  // the generic interface record's 22 words
  std::string name;
  uint32_t ifIndex() const { return generic[0]; }
  uint32_t status() const { return generic[5]; }
  uint64_t inOctets() const { return uint64_t{generic[6]} << 32 | generic[7]; }
  uint32_t inPackets() const { return generic[8] + generic[9]; }  // unicast and multicast
};

struct DecodedDatagram {
  std::array<uint8_t, 4> agentAddress{};  // as on the wire: 10.0.0.5 is {10, 0, 0, 5}
  uint32_t subAgentId = 0, sequence = 0, uptimeMs = 0;
  std::vector<DecodedSample> samples;
  std::vector<DecodedCounters> counters;
};

// Decodes one sFlow version 5 datagram of the shape the agent sends: IPv4 agent, flow
// flow samples with one raw-packet-header record each, and counter samples with a generic
// interface record and a port name. Source ids are of an interface (the agent's own index or
// the kernel's ifIndex); input and output interfaces are taken as they are. Anything else (a
// source id of another kind, a length that does not add up, non-zero padding, trailing
// bytes, more than 1300 bytes) is refused with a reason.
std::optional<DecodedDatagram> decodeDatagram(const uint8_t* data, size_t size,
                                              std::string* error = nullptr);

inline std::optional<DecodedDatagram> decodeDatagram(const std::vector<uint8_t>& bytes,
                                                     std::string* error = nullptr) {
  return decodeDatagram(bytes.data(), bytes.size(), error);
}

// Reads any well-formed sFlow version 5 datagram (IPv4 or IPv6 agent, compact or expanded
// samples, records of any kind): what a peer agent sends. It keeps the flow samples' raw
// packet header and the counter samples' generic interface and port-name records, and skips
// every other record; only lengths that overrun their container are refused.
std::optional<DecodedDatagram> decodeAnyDatagram(const uint8_t* data, size_t size,
                                                 std::string* error = nullptr);

}  // namespace wendrel::test
