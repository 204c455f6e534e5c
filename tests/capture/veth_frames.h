// The traffic classes that the veth capture tests send, and how a sample's header tells them
// apart.
#pragma once

#include <cstdint>
#include <vector>

#include "netns.h"

namespace wendrel::test {

// kConstant: one flow whose IPv4 headers never change (id 0, checksum 0: checksum-bit
// selection never passes it); kVaried: a new id and checksum each; kIpv6: UDP over IPv6.
enum Kind { kConstant, kVaried, kIpv6, kOther };

inline std::vector<uint8_t> frameOf(const NetnsPair::Link& link, Kind kind, uint16_t n) {
  const auto v = uint16_t(n | 0x8000);
  return kind == kVaried ? testFrame(link, v, v) : testFrame(link, 0, 0, kind == kIpv6);
}

inline Kind kindOf(const std::vector<uint8_t>& h) {
  if (h.size() < 20 || h[0] != 2 || h[5] != 0x99)
    return kOther;  // the kernel's own IPv6 chatter
  return h[12] == 0x86 ? kIpv6 : h[18] == 0 && h[19] == 0 ? kConstant : kVaried;
}

}  // namespace wendrel::test
