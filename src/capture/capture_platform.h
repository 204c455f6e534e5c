// What capture takes from the host: the pcap calls, the kernel's link events and its
// interface counters. The agent asks for the last two each time it starts capturing, on the
// thread that runs it, so that they watch that thread's network namespace.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host_statistics.h"
#include "interface_statistics.h"
#include "kernel_sampler.h"
#include "link_events.h"
#include "pcap_api.h"

namespace wendrel {

class CapturePlatform {
 public:
  virtual ~CapturePlatform() = default;
  virtual PcapApi& pcap() = 0;
  virtual std::unique_ptr<LinkEvents> linkEvents() = 0;
  virtual std::unique_ptr<InterfaceStatistics> interfaceStatistics() = 0;
  // The in-kernel sampler taking one in `samplingRate` (IPv6 packets too with `ipv6`), or
  // nothing, with `missing` saying what the kernel or the process lacks for it.
  virtual std::unique_ptr<KernelSampler> kernelSampler(uint32_t /*samplingRate*/, bool /*ipv6*/,
                                                       std::string& missing) {
    missing = "no in-kernel sampler on this platform";
    return nullptr;
  }
  // The host's own counters; none where the host is not a data source.
  virtual std::unique_ptr<HostStatistics> hostStatistics() { return nullptr; }
};

}  // namespace wendrel
