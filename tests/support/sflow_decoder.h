// A strict decoder for the datagrams the agent writes, kept apart from the encoder so that
// tests, fuzzers and the soak compare the encoder with a second reading of the wire format.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wendrel::test {

// `sourceId` is the index (with the class in the top byte when read from a peer).
struct DecodedSample {
  uint32_t format = 1;  // 1 compact, 3 expanded
  uint32_t sourceIdIndex = 0, sequence = 0, sourceId = 0, samplingRate = 0;
  uint32_t samplePool = 0, drops = 0, inputInterface = 0, outputInterface = 0;
  uint32_t frameLength = 0, stripped = 0;
  std::vector<uint8_t> header;  // the copied packet bytes, without padding
};

// A counter sample with the generic interface record's 22 words and the port name.
struct DecodedCounters {
  uint32_t format = 2;  // 2 compact, 4 expanded
  uint32_t sourceIdIndex = 0, sequence = 0, sourceId = 0;
  std::array<uint32_t, 22> generic{};
  std::string name;
  uint32_t ifIndex() const { return generic[0]; }
  uint32_t status() const { return generic[5]; }
  uint64_t inOctets() const { return uint64_t{generic[6]} << 32 | generic[7]; }
  uint32_t inPackets() const { return generic[8] + generic[9]; }  // unicast and multicast
};

// A counter sample of the host itself (class 2): its records, each checked against its length.
struct DecodedHost {
  uint32_t sequence = 0, sourceIdType = 0, sourceIdIndex = 0;
  std::vector<std::pair<uint32_t, std::vector<std::array<uint8_t, 6>>>> adapters;
};

struct DecodedDatagram {
  uint32_t agentAddressType = 1;          // 1 IPv4, 2 IPv6
  std::array<uint8_t, 4> agentAddress{};  // as on the wire: 10.0.0.5 is {10, 0, 0, 5}
  std::array<uint8_t, 16> agentAddress6{};
  uint32_t sequence = 0, uptimeMs = 0;
  std::vector<DecodedSample> samples;
  std::vector<DecodedCounters> counters;
  std::vector<DecodedHost> hosts;
};

// Decodes one datagram of the shapes the agent writes (flow samples with one raw packet
// header, counter samples of an interface or of the host), refusing with a reason anything
// else: a length that does not add up, non-zero padding, trailing bytes, over 1300 bytes.
// Not `strict`, it reads any datagram, as a peer agent sends it: records not read are
// skipped, and only lengths that overrun their container are refused.
std::optional<DecodedDatagram> decodeDatagram(const uint8_t* data, size_t size,
                                              std::string* error = nullptr, bool strict = true);
inline std::optional<DecodedDatagram> decodeDatagram(const std::vector<uint8_t>& bytes,
                                                     std::string* error = nullptr) {
  return decodeDatagram(bytes.data(), bytes.size(), error);
}
inline std::optional<DecodedDatagram> decodeAnyDatagram(const uint8_t* data, size_t size,
                                                        std::string* error = nullptr) {
  return decodeDatagram(data, size, error, false);
}

}  // namespace wendrel::test
