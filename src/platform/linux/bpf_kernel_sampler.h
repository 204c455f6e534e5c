// The in-kernel sampler on Linux: the sampling program loaded with libbpf, attached with tcx
// links that this process owns (the kernel detaches them when the last descriptor closes,
// however the process ends), and its ring buffer read through libbpf.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "kernel_sampler.h"

struct ring_buffer;
struct wendrel_sampler;

namespace wendrel {

class BpfKernelSampler : public KernelSampler {
 public:
  // Loads the program taking one in `samplingRate`, or nothing, with `missing` saying what
  // the process or the kernel lacks: the capabilities, BPF ring buffers or tcx.
  static std::unique_ptr<KernelSampler> open(uint32_t samplingRate, bool ipv6,
                                             std::string& missing);
  ~BpfKernelSampler() override;
  BpfKernelSampler(const BpfKernelSampler&) = delete;
  BpfKernelSampler& operator=(const BpfKernelSampler&) = delete;

  void setSampling(uint32_t samplingRate, bool ipv6) override;
  std::string attach(const std::string& name, uint32_t ifIndex) override;
  void detach(uint32_t ifIndex) override;
  size_t drain(const std::function<void(const KernelSample&)>& take) override;
  int readyDescriptor() const override;
  KernelCounts counts(uint32_t ifIndex) override;

 private:
  BpfKernelSampler() = default;
  static int onSample(void* context, void* data, size_t size);
  // Where the program keeps the interface's per-CPU count: its array slot or the hash.
  int pendingMap(bool inSlot, uint32_t ifIndex, uint32_t& key) const;
  void forget(uint32_t ifIndex, bool inSlot);

  struct Link {
    int in, out;
    bool inSlot;
  };

  wendrel_sampler* skeleton = nullptr;
  ring_buffer* ring = nullptr;
  int cpus = 1;  // the possible ones: the length of a per-CPU map's value
  const std::function<void(const KernelSample&)>* taking = nullptr;
  // The ingress and egress links of each attached interface.
  std::map<uint32_t, Link> links;
};

}  // namespace wendrel
