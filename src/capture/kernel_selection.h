// Classic BPF programs that the text filter language cannot express: selection with the
// kernel's random number (no primitive for it exists in libpcap's language), alone or
// beside the IPv4 checksum-bit selection.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <vector>

namespace wendrel {

enum class KernelSelection {
  kRandom,        // every eligible frame passes with probability 1/k
  kChecksumBits,  // IPv4 on its header checksum bits; IPv6, which has none, at random
};

// A program that passes, with probability 1/k (k a power of two, 1 to 32768), IPv4 frames
// and, when `ipv6` is set, IPv6 frames; every other frame is dropped. A passed frame keeps
// `snapLength` bytes. With kChecksumBits, IPv4 frames pass when the low log2(k) bits of the
// header checksum are all set, as the text filter "ip[10:2] & mask = mask" does.
std::vector<bpf_insn> kernelSelectionProgram(KernelSelection how, uint32_t k, bool ipv6,
                                             uint32_t snapLength);

}  // namespace wendrel
