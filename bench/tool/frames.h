// The bench's one frame builder: seeded, reproducible streams of frames with valid IP and UDP
// checksums, and marked frames that carry a try, a number and their send time, so that a
// sample can be matched to its frame.
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

constexpr size_t kMaxFrame = 1514;  // an IP packet of 1500 bytes
// Source MAC of every frame: the runners tell the bench's frames from other traffic by it.
constexpr uint8_t kSourceMac[6] = {0x02, 0x77, 0x63, 0x00, 0x00, 0x01};
// A unicast address nobody owns: the receiving side sees the frames only promiscuously and
// its IP stack drops them at once.
constexpr uint8_t kDestinationMac[6] = {0x02, 0x77, 0x63, 0x00, 0x00, 0x02};
constexpr uint8_t kMarker[4] = {'W', 'P', 'R', 'B'};

enum class PacketClass : uint8_t { kVariedIpv4 = 0, kConstant = 1, kIpv6 = 2 };

inline void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void put32(uint8_t* p, uint32_t v) {
  put16(p, v >> 16);
  put16(p + 2, v & 0xFFFF);
}

// The one's-complement sum of big-endian 16-bit words, an odd tail padded.
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

// Writes the Ethernet header and an IPv4 header (id, DF flag, addresses) with its checksum
// and a UDP header for `size` bytes of frame; returns the UDP header.
inline uint8_t* ipv4Udp(uint8_t* frame, size_t size, uint16_t id, bool dontFragment,
                        uint32_t source, uint32_t destination, uint16_t sourcePort,
                        uint16_t destinationPort) {
  std::memcpy(frame, kDestinationMac, 6);
  std::memcpy(frame + 6, kSourceMac, 6);
  put16(frame + 12, 0x0800);
  uint8_t* ip = frame + 14;
  std::memset(ip, 0, 28);
  ip[0] = 0x45;
  put16(ip + 2, static_cast<uint32_t>(size - 14));
  put16(ip + 4, id);
  put16(ip + 6, dontFragment ? 0x4000 : 0);
  ip[8] = 64;
  ip[9] = 17;
  put32(ip + 12, source);
  put32(ip + 16, destination);
  put16(ip + 10, foldChecksum(sumWords(ip, 20)));
  put16(ip + 20, sourcePort);
  put16(ip + 22, destinationPort);
  put16(ip + 24, static_cast<uint32_t>(size - 34));
  return ip + 20;
}

// Sets the UDP checksum of a frame whose payload is in place (0 would mean "none").
inline void udpChecksum(uint8_t* udp, size_t udpLength, uint32_t pseudoSum) {
  const uint16_t sum =
      foldChecksum(sumWords(udp, udpLength, pseudoSum + 17 + static_cast<uint32_t>(udpLength)));
  put16(udp + 6, sum == 0 ? 0xFFFF : sum);
}

// A single marked frame of `size` bytes (at least 60): IPv4/UDP to the discard port, its
// payload the marker, the try (16 bits), the number (32) and the send time (64, ns); IP id
// the number's low bits, so the header checksum varies from frame to frame. No UDP checksum.
inline size_t markedFrame(uint8_t* frame, size_t size, uint16_t attempt, uint32_t number,
                          uint64_t sentNs) {
  uint8_t* udp = ipv4Udp(frame, size, static_cast<uint16_t>(number), false, 0xC00002C8u,
                         0xC63364C8u, 40000, 9);  // 192.0.2.200 to 198.51.100.200
  std::memset(udp + 8, 0, size - 42);
  std::memcpy(udp + 8, kMarker, 4);
  put16(udp + 12, attempt);
  put32(udp + 14, number);
  put32(udp + 18, static_cast<uint32_t>(sentNs >> 32));
  put32(udp + 22, static_cast<uint32_t>(sentNs));
  return size;
}

// The seeded streams: varied IPv4 alone, or mixed with a flow of constant headers (20 %: IP
// id 0, DF, fixed addresses and ports, 1252-byte IP packets, one header checksum for all)
// and varied IPv6/UDP from 2001:db8::/32 (10 %), drawn per packet from a second generator.
class FrameSource {
 public:
  explicit FrameSource(uint64_t seed, bool mixed = false, uint32_t constantSource = 0,
                       uint32_t constantDestination = 0)
      : random_(seed), mixRandom_(seed ^ 0x6D69786564ULL), mixed_(mixed) {
    for (size_t i = 0; i < sizeof payload_; ++i)
      payload_[i] = static_cast<uint8_t>(i * 7 + 3);
    constantSize_ = 14 + 1252;
    uint8_t* udp =
        ipv4Udp(constant_, constantSize_, 0, true, constantSource, constantDestination, 443, 50443);
    std::memcpy(udp + 8, payload_, constantSize_ - 42);
    udpChecksum(udp, constantSize_ - 34, sumWords(constant_ + 26, 8));
  }

  // Writes the next frame (room for kMaxFrame bytes); returns its length and class.
  size_t next(uint8_t* frame, PacketClass* packetClass) {
    const uint64_t draw = mixed_ ? mixRandom_.next() % 10 : 2;
    *packetClass = draw < 2 ? PacketClass::kConstant
                            : (draw < 9 ? PacketClass::kVariedIpv4 : PacketClass::kIpv6);
    if (draw < 2) {
      std::memcpy(frame, constant_, constantSize_);
      return constantSize_;
    }
    return draw < 9 ? nextIpv4(frame) : nextIpv6(frame);
  }

 private:
  size_t nextIpv4(uint8_t* frame) {
    const uint64_t a = random_.next(), b = random_.next();
    const size_t size = 64 + static_cast<size_t>(a % (kMaxFrame - 64 + 1));
    const uint32_t source = 0x0A000000u | static_cast<uint32_t>((a >> 32) & 0xFFFFFF);  // 10/8
    const uint32_t destination = 0xAC100000u | static_cast<uint32_t>(b & 0xFFFFF);      // 172.16/12
    uint8_t* udp =
        ipv4Udp(frame, size, static_cast<uint16_t>(a >> 16), false, source, destination,
                static_cast<uint16_t>(1024 + ((b >> 20) % 64512)), static_cast<uint16_t>(b >> 40));
    std::memcpy(udp + 8, payload_, size - 42);
    udpChecksum(udp, size - 34, sumWords(frame + 26, 8));
    return size;
  }

  size_t nextIpv6(uint8_t* frame) {
    const uint64_t a = mixRandom_.next(), b = mixRandom_.next(), c = mixRandom_.next();
    const size_t size = 62 + static_cast<size_t>(a % (kMaxFrame - 62 + 1));
    const size_t udpLength = size - 54;
    std::memcpy(frame, kDestinationMac, 6);
    std::memcpy(frame + 6, kSourceMac, 6);
    put16(frame + 12, 0x86DD);
    uint8_t* ip = frame + 14;
    std::memset(ip, 0, 48);
    put32(ip, 0x60000000u | static_cast<uint32_t>((a >> 12) & 0xFFFFF));
    put16(ip + 4, static_cast<uint32_t>(udpLength));
    ip[6] = 17;
    ip[7] = 64;
    // 2001:db8:0:<16 random>::<32 random> to 2001:db8:1:<16 random>::<32 random>
    for (int side = 0; side < 2; ++side) {
      uint8_t* address = ip + 8 + 16 * side;
      const uint64_t bits = side == 0 ? c : b;
      put32(address, 0x20010DB8u);
      put16(address + 4, static_cast<uint32_t>(side));
      put16(address + 6, static_cast<uint32_t>(bits >> 48));
      put32(address + 12, static_cast<uint32_t>(bits));
    }
    uint8_t* udp = ip + 40;
    put16(udp, static_cast<uint32_t>(1024 + ((c >> 32) % 64512)));
    put16(udp + 2, static_cast<uint32_t>((b >> 32) & 0xFFFF));
    put16(udp + 4, static_cast<uint32_t>(udpLength));
    std::memcpy(udp + 8, payload_, udpLength - 8);
    udpChecksum(udp, udpLength, sumWords(ip + 8, 32));  // mandatory in IPv6
    return size;
  }

  SplitMix64 random_, mixRandom_;
  bool mixed_;
  uint8_t payload_[kMaxFrame - 42];
  uint8_t constant_[kMaxFrame];
  size_t constantSize_ = 0;
};

}  // namespace wendrel::bench
