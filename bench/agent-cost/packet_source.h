// The benchmark's traffic: a seeded, reproducible stream of Ethernet/IPv4/UDP frames of
// varied sizes and addresses with valid IP and UDP checksums. The sender puts them on the
// wire; the same generator tells the runner what each capture filter and sampler should see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace wendrel::bench {

// splitmix64: small, fast, and the whole stream follows from the seed.
class SplitMix64 {
 public:
  explicit SplitMix64(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

 private:
  uint64_t state_;
};

constexpr size_t kEthernetHeader = 14;
constexpr size_t kIpHeader = 20;
constexpr size_t kUdpHeader = 8;
constexpr size_t kMinFrame = 64;
constexpr size_t kMaxFrame = 1514;  // an IP packet of 1500 bytes
constexpr size_t kMaxPayload = kMaxFrame - kEthernetHeader - kIpHeader - kUdpHeader;

// Source MAC of every generated frame: the runner tells the sender's frames from the
// agent's own traffic in the samples by it.
constexpr uint8_t kSourceMac[6] = {0x02, 0x77, 0x63, 0x00, 0x00, 0x01};
// A unicast address nobody owns: the receiving side only sees the frames in promiscuous
// mode and its IP stack drops them at once.
constexpr uint8_t kDestinationMac[6] = {0x02, 0x77, 0x63, 0x00, 0x00, 0x02};

inline uint32_t sumWords(const uint8_t* data, size_t size, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < size; i += 2)
    sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (size & 1)
    sum += static_cast<uint32_t>(data[size - 1] << 8);
  return sum;
}

inline uint16_t foldChecksum(uint32_t sum) {
  while (sum >> 16)
    sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

class PacketSource {
 public:
  explicit PacketSource(uint64_t seed) : random_(seed) {
    // One fixed payload pattern; its running one's-complement sums make each UDP checksum
    // a few additions instead of a pass over up to 1472 bytes.
    for (size_t i = 0; i < kMaxPayload; ++i)
      payload_[i] = static_cast<uint8_t>(i * 7 + 3);
    prefixSum_[0] = 0;
    for (size_t i = 0; i < kMaxPayload; i += 2) {
      const uint32_t word =
          static_cast<uint32_t>(payload_[i] << 8 | (i + 1 < kMaxPayload ? payload_[i + 1] : 0));
      prefixSum_[i / 2 + 1] = prefixSum_[i / 2] + word;
    }
  }

  // Writes the next frame into `frame` (room for kMaxFrame bytes); returns its length.
  size_t next(uint8_t* frame) {
    const uint64_t a = random_.next();
    const uint64_t b = random_.next();
    const size_t size = kMinFrame + static_cast<size_t>(a % (kMaxFrame - kMinFrame + 1));
    const size_t ipLength = size - kEthernetHeader;
    const size_t udpLength = ipLength - kIpHeader;
    const size_t payloadLength = udpLength - kUdpHeader;
    const uint16_t id = static_cast<uint16_t>(a >> 16);
    const uint32_t source = 0x0A000000u | static_cast<uint32_t>((a >> 32) & 0x00FFFFFFu);  // 10/8
    const uint32_t destination = 0xAC100000u | static_cast<uint32_t>(b & 0x000FFFFFu);  // 172.16/12
    const uint16_t sourcePort = static_cast<uint16_t>(1024 + ((b >> 20) % 64512));
    const uint16_t destinationPort = static_cast<uint16_t>(b >> 40);

    std::memcpy(frame, kDestinationMac, 6);
    std::memcpy(frame + 6, kSourceMac, 6);
    frame[12] = 0x08;
    frame[13] = 0x00;

    uint8_t* ip = frame + kEthernetHeader;
    ip[0] = 0x45;
    ip[1] = 0;
    put16(ip + 2, static_cast<uint16_t>(ipLength));
    put16(ip + 4, id);
    put16(ip + 6, 0);
    ip[8] = 64;
    ip[9] = 17;
    put16(ip + 10, 0);
    put32(ip + 12, source);
    put32(ip + 16, destination);
    put16(ip + 10, foldChecksum(sumWords(ip, kIpHeader)));

    uint8_t* udp = ip + kIpHeader;
    put16(udp, sourcePort);
    put16(udp + 2, destinationPort);
    put16(udp + 4, static_cast<uint16_t>(udpLength));
    put16(udp + 6, 0);
    std::memcpy(udp + kUdpHeader, payload_, payloadLength);
    // Pseudo header, UDP header, payload (the header is word-aligned, so the payload's
    // prefix sums line up; an odd tail is added as its own padded word).
    uint32_t sum = (source >> 16) + (source & 0xFFFF) + (destination >> 16) +
                   (destination & 0xFFFF) + 17 + static_cast<uint32_t>(udpLength);
    sum = sumWords(udp, kUdpHeader, sum);
    sum += prefixSum_[payloadLength / 2];
    if (payloadLength & 1)
      sum += static_cast<uint32_t>(payload_[payloadLength - 1] << 8);
    uint16_t udpChecksum = foldChecksum(sum);
    if (udpChecksum == 0)
      udpChecksum = 0xFFFF;  // 0 would mean "no checksum"
    put16(udp + 6, udpChecksum);
    return size;
  }

 private:
  static void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
  }
  static void put32(uint8_t* p, uint32_t v) {
    put16(p, static_cast<uint16_t>(v >> 16));
    put16(p + 2, static_cast<uint16_t>(v));
  }

  SplitMix64 random_;
  uint8_t payload_[kMaxPayload];
  uint32_t prefixSum_[kMaxPayload / 2 + 2];
};

}  // namespace wendrel::bench
