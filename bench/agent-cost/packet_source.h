// The benchmark's traffic: a seeded, reproducible stream of Ethernet/IPv4/UDP frames of
// varied sizes and addresses with valid IP and UDP checksums. The sender puts them on the
// wire; the same generator tells the runner what each capture filter and sampler should see.
// MixedSource adds a flow whose headers never change and varied IPv6, to show whether a
// sampler treats every packet alike; probeFrame marks single frames for latency.
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

  // One's-complement sum of the first `length` bytes of the fixed payload.
  uint32_t payloadSum(size_t length) const {
    uint32_t sum = prefixSum_[length / 2];
    if (length & 1)
      sum += static_cast<uint32_t>(payload_[length - 1] << 8);
    return sum;
  }
  const uint8_t* payload() const { return payload_; }

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
    put16(udp + 6, udpChecksumOf(sum + payloadSum(payloadLength)));
    return size;
  }

  static void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
  }
  static void put32(uint8_t* p, uint32_t v) {
    put16(p, static_cast<uint16_t>(v >> 16));
    put16(p + 2, static_cast<uint16_t>(v));
  }
  static uint16_t udpChecksumOf(uint32_t sum) {
    const uint16_t checksum = foldChecksum(sum);
    return checksum == 0 ? 0xFFFF : checksum;  // 0 would mean "no checksum"
  }

 private:
  SplitMix64 random_;
  uint8_t payload_[kMaxPayload];
  uint32_t prefixSum_[kMaxPayload / 2 + 2];
};

enum class PacketClass : uint8_t { kVariedIpv4 = 0, kConstant = 1, kIpv6 = 2 };
constexpr size_t kConstantIpLength = 1252;

// A mix of three classes, drawn independently per packet with a second seeded generator:
// the flow with constant headers (20 %: IP id 0, DF, fixed addresses and ports, 1252-byte IP
// packets, so one header checksum for all), the varied IPv4 of PacketSource (70 %) and varied
// IPv6/UDP (10 %) from 2001:db8::/32.
class MixedSource {
 public:
  MixedSource(uint64_t seed, uint32_t constantSource, uint32_t constantDestination)
      : ipv4_(seed), random_(seed ^ 0x6D69786564ULL) {
    buildConstant(constantSource, constantDestination);
  }

  size_t next(uint8_t* frame, PacketClass* packetClass) {
    const uint64_t draw = random_.next() % 10;
    if (draw < 2) {
      *packetClass = PacketClass::kConstant;
      std::memcpy(frame, constant_, constantSize_);
      return constantSize_;
    }
    if (draw < 9) {
      *packetClass = PacketClass::kVariedIpv4;
      return ipv4_.next(frame);
    }
    *packetClass = PacketClass::kIpv6;
    return nextIpv6(frame);
  }

  const uint8_t* constantFrame() const { return constant_; }

 private:
  static constexpr size_t kIpv6Header = 40;

  void buildConstant(uint32_t source, uint32_t destination) {
    constantSize_ = kEthernetHeader + kConstantIpLength;
    uint8_t* frame = constant_;
    std::memcpy(frame, kDestinationMac, 6);
    std::memcpy(frame + 6, kSourceMac, 6);
    frame[12] = 0x08;
    frame[13] = 0x00;
    uint8_t* ip = frame + kEthernetHeader;
    const size_t udpLength = kConstantIpLength - kIpHeader;
    std::memset(ip, 0, kIpHeader);
    ip[0] = 0x45;
    PacketSource::put16(ip + 2, static_cast<uint16_t>(kConstantIpLength));
    PacketSource::put16(ip + 6, 0x4000);  // DF, id 0: what QUIC and DNS servers send
    ip[8] = 64;
    ip[9] = 17;
    PacketSource::put32(ip + 12, source);
    PacketSource::put32(ip + 16, destination);
    PacketSource::put16(ip + 10, foldChecksum(sumWords(ip, kIpHeader)));
    uint8_t* udp = ip + kIpHeader;
    PacketSource::put16(udp, 443);
    PacketSource::put16(udp + 2, 50443);
    PacketSource::put16(udp + 4, static_cast<uint16_t>(udpLength));
    PacketSource::put16(udp + 6, 0);
    std::memcpy(udp + kUdpHeader, ipv4_.payload(), udpLength - kUdpHeader);
    const uint32_t sum =
        sumWords(ip + 12, 8, 17 + static_cast<uint32_t>(udpLength)) + sumWords(udp, udpLength);
    PacketSource::put16(udp + 6, PacketSource::udpChecksumOf(sum));
  }

  size_t nextIpv6(uint8_t* frame) {
    const uint64_t a = random_.next();
    const uint64_t b = random_.next();
    const size_t minimum = kEthernetHeader + kIpv6Header + kUdpHeader;
    const size_t size = minimum + static_cast<size_t>(a % (kMaxFrame - minimum + 1));
    const size_t udpLength = size - kEthernetHeader - kIpv6Header;
    std::memcpy(frame, kDestinationMac, 6);
    std::memcpy(frame + 6, kSourceMac, 6);
    frame[12] = 0x86;
    frame[13] = 0xDD;
    uint8_t* ip = frame + kEthernetHeader;
    PacketSource::put32(ip, 0x60000000u | static_cast<uint32_t>((a >> 12) & 0xFFFFF));
    PacketSource::put16(ip + 4, static_cast<uint16_t>(udpLength));
    ip[6] = 17;
    ip[7] = 64;
    // 2001:db8:0:<16 random>::<32 random> to 2001:db8:1:<16 random>::<32 random>
    const uint64_t c = random_.next();
    for (int side = 0; side < 2; ++side) {
      uint8_t* address = ip + 8 + 16 * side;
      const uint64_t bits = side == 0 ? c : b;
      std::memset(address, 0, 16);
      PacketSource::put32(address, 0x20010DB8u);
      PacketSource::put16(address + 4, static_cast<uint16_t>(side));
      PacketSource::put16(address + 6, static_cast<uint16_t>(bits >> 48));
      PacketSource::put32(address + 12, static_cast<uint32_t>(bits));
    }
    uint8_t* udp = ip + kIpv6Header;
    PacketSource::put16(udp, static_cast<uint16_t>(1024 + ((c >> 32) % 64512)));
    PacketSource::put16(udp + 2, static_cast<uint16_t>(b >> 32));
    PacketSource::put16(udp + 4, static_cast<uint16_t>(udpLength));
    PacketSource::put16(udp + 6, 0);
    const size_t payloadLength = udpLength - kUdpHeader;
    std::memcpy(udp + kUdpHeader, ipv4_.payload(), payloadLength);
    uint32_t sum = sumWords(ip + 8, 32, 17 + static_cast<uint32_t>(udpLength));
    sum = sumWords(udp, kUdpHeader, sum) + ipv4_.payloadSum(payloadLength);
    PacketSource::put16(udp + 6, PacketSource::udpChecksumOf(sum));  // mandatory in IPv6
    return size;
  }

  PacketSource ipv4_;
  SplitMix64 random_;
  uint8_t constant_[kMaxFrame];
  size_t constantSize_ = 0;
};

// A single marked frame: 128 bytes of IPv4/UDP to the discard port whose payload starts
// with "WPRB" and the frame's number, so its sample can be matched to its send time.
constexpr uint8_t kProbeMarker[4] = {'W', 'P', 'R', 'B'};
constexpr size_t kProbeFrame = 128;

inline size_t probeFrame(uint8_t* frame, uint32_t number) {
  std::memset(frame, 0, kProbeFrame);
  std::memcpy(frame, kDestinationMac, 6);
  std::memcpy(frame + 6, kSourceMac, 6);
  frame[12] = 0x08;
  uint8_t* ip = frame + kEthernetHeader;
  const size_t ipLength = kProbeFrame - kEthernetHeader;
  ip[0] = 0x45;
  PacketSource::put16(ip + 2, static_cast<uint16_t>(ipLength));
  PacketSource::put16(ip + 4, static_cast<uint16_t>(number));
  ip[8] = 64;
  ip[9] = 17;
  PacketSource::put32(ip + 12, 0xC00002C8u);  // 192.0.2.200
  PacketSource::put32(ip + 16, 0xC63364C8u);  // 198.51.100.200
  PacketSource::put16(ip + 10, foldChecksum(sumWords(ip, kIpHeader)));
  uint8_t* udp = ip + kIpHeader;
  PacketSource::put16(udp, 40000);
  PacketSource::put16(udp + 2, 9);
  PacketSource::put16(udp + 4, static_cast<uint16_t>(ipLength - kIpHeader));
  std::memcpy(udp + kUdpHeader, kProbeMarker, 4);
  PacketSource::put32(udp + kUdpHeader + 4, number);  // the UDP checksum stays 0: none
  return kProbeFrame;
}

}  // namespace wendrel::bench
