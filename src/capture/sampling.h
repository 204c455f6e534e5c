// The one-in-N sampling of the capture side, apart from any device: the capture filter with
// the sampling step it implies, and the pcap callback that makes the per-packet decision.
#pragma once

#include <pcap/pcap.h>

#include <array>
#include <cstdint>
#include <string>

namespace wendrel {

class PacketReporter;

// The capture filter text and k, the number of packets that one packet passing it stands for.
struct CaptureFilter {
  std::string text;
  uint16_t step = 1;
};

// In performance mode with a non-zero rate the filter preselects about one packet in k, k the
// largest power of two below the rate (at most 32768); otherwise it passes every IPv4 packet.
CaptureFilter buildFilter(uint32_t samplingRate, bool performanceMode);

// The sampling decision's state for one interface; the user pointer of packetHandler.
struct SamplingState {
  PacketReporter* reporter = nullptr;
  uint32_t samplingRate = 0;
  // Wide enough that counter + step never wraps for any 32-bit rate, so every rate up to
  // 4294967295 is reached.
  uint64_t counter = 0;
  uint16_t step = 1;
  uint16_t sourceIndex = 0;
  // With `direction`, a frame from the interface's own MAC address was sent by this host and
  // any other was received by it: the samples carry that as their input and output.
  bool direction = false;
  uint32_t ifIndex = 0;
  std::array<uint8_t, 6> macAddress{};
};

// The pcap callback: counts the packet by the interface's step and hands every N-th one to the
// reporter (every one when the rate is 0). `user` is the interface's SamplingState. It takes no
// lock and allocates nothing; the reporter takes its own lock.
void packetHandler(u_char* user, const pcap_pkthdr* header, const u_char* packet);

}  // namespace wendrel
