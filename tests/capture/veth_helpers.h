// What the veth capture tests share: the traffic classes they send, how a sample's header
// tells them apart, and a sink that stalls the capture side inside the reporter.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "../sflow/sflow_fakes.h"
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

// A sink whose send waits while `closed`, stalling the capture thread inside the reporter.
struct GatedSink : RecordingSink {
  void send(const uint8_t* data, size_t size) override {
    std::unique_lock<std::mutex> lock(gateMutex);
    ++waiting, gate.notify_all();
    gate.wait(lock, [this] { return !closed; });
    lock.unlock();
    RecordingSink::send(data, size);
  }
  std::mutex gateMutex;
  std::condition_variable gate;
  bool closed = true;
  int waiting = 0;
};

}  // namespace wendrel::test
