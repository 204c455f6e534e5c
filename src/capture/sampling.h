// The one-in-N sampling of the capture side, apart from any device: the capture filter with
// the sampling step it implies, and the pcap callback that makes the per-packet decision.
#pragma once

#include <pcap/pcap.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "kernel_selection.h"
#include "random_skip.h"

namespace wendrel {

class PacketReporter;

// How packets are chosen: every N-th one counted (the documented behaviour), or each with the
// same probability whatever the traffic looks like.
enum class SamplingMethod { kDeterministic, kRandom };

// The capture filter text and k, the number of packets that one packet passing it stands for.
// When `kernel` is set the device gets that hand-built program instead of the text (which
// then passes every eligible packet, for a device whose kernel refuses the program).
struct CaptureFilter {
  std::string text;
  uint16_t step = 1;
  std::optional<KernelSelection> kernel = std::nullopt;
  bool ipv6 = false;
};

// In performance mode with a non-zero rate the filter preselects about one packet in k, k the
// largest power of two below the rate (at most 32768); otherwise it passes every IPv4 packet
// (and every IPv6 one with `ipv6`). Deterministic IPv4-only preselection is the checksum-bit
// text filter; every other choice needs a kernel program.
CaptureFilter buildFilter(uint32_t samplingRate, bool performanceMode,
                          SamplingMethod method = SamplingMethod::kDeterministic,
                          bool ipv6 = false);

// The sampling decision's state for one interface; the user pointer of packetHandler.
struct SamplingState {
  PacketReporter* reporter = nullptr;
  uint32_t samplingRate = 0;
  // Wide enough that counter + step never wraps for any 32-bit rate, so every rate up to
  // 4294967295 is reached.
  uint64_t counter = 0;
  uint16_t step = 1;
  uint16_t sourceIndex = 0;
  // Random sampling: packets left until the next one taken, and where the next distance comes
  // from. Empty for every-N-th counting.
  uint32_t skipLeft = 0;
  std::optional<RandomSkip> skip = std::nullopt;
  // Random sampling: the packets that reached the decision since the last one taken (each
  // counted as the `step` packets it stands for); the sample pool grows by them.
  uint32_t packetsSincePick = 0;
  // Cumulative kernel drops on the interface, as its last statistics said.
  uint32_t drops = 0;
  // With `direction`, a frame from the interface's own MAC address was sent by this host and
  // any other was received by it: the samples carry that as their input and output.
  bool direction = false;
  uint32_t ifIndex = 0;
  std::array<uint8_t, 6> macAddress{};
};

// Makes `state` choose at random: each counted packet, standing for `state.step` packets, is
// taken with probability step / rate (every one when that is 1 or more, or the rate is 0).
void chooseAtRandom(SamplingState& state, uint64_t seed);

// The pcap callback: counts the packet by the interface's step and hands every N-th one (or,
// choosing at random, one after each random skip) to the reporter (every one when the rate is
// 0). `user` is the interface's SamplingState. It takes no lock and allocates nothing; the
// reporter takes its own lock.
void packetHandler(u_char* user, const pcap_pkthdr* header, const u_char* packet);

}  // namespace wendrel
