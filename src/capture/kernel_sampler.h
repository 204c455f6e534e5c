// The kernel's side of Capture = "ebpf": a program on every captured interface's ingress and
// egress that counts each packet and puts one in N, at random, in a ring buffer, which the
// reader drains (BpfKernelSampler is the Linux one).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace wendrel {

// One sampled packet as the ring holds it; `bytes` is valid during the drain's callback only.
struct KernelSample {
  uint32_t ifIndex = 0;
  bool egress = false;
  uint32_t frameLength = 0;
  uint32_t capturedLength = 0;
  uint32_t rate = 0;  // the sampling rate it was taken at
  const uint8_t* bytes = nullptr;
  uint64_t pool = 0;   // the interface's packets counted up to this one, both directions
  uint64_t drops = 0;  // the interface's samples lost to a full ring so far
};

// What the kernel has counted on one interface.
struct KernelCounts {
  uint64_t packets = 0;
  uint64_t drops = 0;
};

class KernelSampler {
 public:
  virtual ~KernelSampler() = default;
  // Takes one in `samplingRate` from now on; IPv6 packets count and are sampled with `ipv6`.
  virtual void setSampling(uint32_t samplingRate, bool ipv6) = 0;
  // Starts sampling both directions of the interface; empty on success, else why not.
  virtual std::string attach(const std::string& name, uint32_t ifIndex) = 0;
  // Stops sampling it (nothing when it is not attached).
  virtual void detach(uint32_t ifIndex) = 0;
  // Hands every sample waiting in the ring to `take`, in ring order; returns how many.
  virtual size_t drain(const std::function<void(const KernelSample&)>& take) = 0;
  // A descriptor that is readable while samples wait in the ring.
  virtual int readyDescriptor() const = 0;
  virtual KernelCounts counts(uint32_t ifIndex) = 0;
};

}  // namespace wendrel
