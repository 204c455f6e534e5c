#include "sampling.h"

#include <boost/format.hpp>
#include <cstring>

#include "packet_reporter.h"

namespace wendrel {

namespace {

// The largest sampling step: the step is 16 bits wide and the filter tests the two bytes of
// the IP header checksum.
constexpr uint32_t kMaxStep = 32768;

}  // namespace

CaptureFilter buildFilter(uint32_t samplingRate, bool performanceMode, SamplingMethod method,
                          bool ipv6) {
  const std::string every = ipv6 ? "ip or ip6" : "ip";
  if (!performanceMode || samplingRate == 0)
    return {every, 1, std::nullopt, ipv6};
  // k: the largest power of two below the rate. Each packet the filter passes stands for
  // k packets, and the filter passes those whose lowest log2(k) checksum bits are all set.
  uint32_t k = 1;
  if (samplingRate > 2) {
    while (2 * k < samplingRate && k < kMaxStep)
      k *= 2;
  }
  const unsigned mask = k - 1;
  const uint16_t step = static_cast<uint16_t>(k);
  if (method == SamplingMethod::kRandom)
    return {every, step, KernelSelection::kRandom, ipv6};
  if (ipv6)  // IPv6 has no header checksum: its packets are drawn at random
    return {every, step, KernelSelection::kChecksumBits, ipv6};
  if (k <= 256)
    return {(boost::format("ip[11] & 0x%02X = 0x%02X") % mask % mask).str(), step};
  return {(boost::format("ip[10:2] & 0x%04X = 0x%04X") % mask % mask).str(), step};
}

void chooseAtRandom(SamplingState& state, uint64_t seed) {
  const double probability =
      state.samplingRate == 0 ? 1.0 : static_cast<double>(state.step) / state.samplingRate;
  state.skip.emplace(probability, seed);
  state.skipLeft = state.skip->next();
}

void packetHandler(u_char* user, const pcap_pkthdr* header, const u_char* packet) {
  auto* state = reinterpret_cast<SamplingState*>(user);
  SampleExtra extra;
  if (state->skip) {
    // Every packet here reached the decision. Where the kernel preselects, it passed each
    // eligible packet with probability 1 / step, on its own random draw that knows nothing of
    // the packet; so each one that arrives stands for `step` packets in
    // expectation, and step times the arrivals is an unbiased count of the eligible packets.
    state->packetsSincePick += state->step;
    if (--state->skipLeft != 0)
      return;
    state->skipLeft = state->skip->next();
    extra.packets = state->packetsSincePick;
    state->packetsSincePick = 0;
  } else if (state->samplingRate != 0) {
    state->counter += state->step;
    if (state->counter < state->samplingRate)
      return;
    state->counter -= state->samplingRate;
  }
  extra.drops = state->drops;
  if (state->direction) {
    const bool sent =
        header->caplen >= 12 && std::memcmp(packet + 6, state->macAddress.data(), 6) == 0;
    extra.input = sent ? kInternalInterface : state->ifIndex;
    extra.output = sent ? state->ifIndex : kInternalInterface;
  }
  state->reporter->addSample({packet, header->caplen, header->len}, state->samplingRate,
                             state->sourceIndex, extra);
}

}  // namespace wendrel
