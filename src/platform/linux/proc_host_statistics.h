// HostStatistics from /proc and /sys (under a root prefix, so tests can give their own files):
// host name, UUID (the firmware's product UUID, else the machine id), machine and kernel
// release, load and CPU times, memory and paging, disks and local file systems, and the
// network interfaces but loopback.
#pragma once

#include <string>

#include "host_statistics.h"

namespace wendrel {

class ProcHostStatistics : public HostStatistics {
 public:
  // `root` is prepended to every path: "" for the host's own.
  explicit ProcHostStatistics(std::string root = "");
  HostCounters read() override;

 private:
  void readDescription(HostDescription& d) const;
  void readCpu(HostCpu& c) const;
  void readMemory(HostMemory& m) const;
  void readDisks(HostDiskIo& d) const;
  void readNet(HostNetIo& n) const;

  std::string root_;
  long ticksPerSecond_;
};

}  // namespace wendrel
