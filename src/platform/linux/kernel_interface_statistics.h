// InterfaceStatistics from the kernel: the 64-bit link statistics and flags over rtnetlink
// (libnl-route-3), speed and duplex from the driver through the ethtool ioctl. Both go
// through sockets, which belong to the network namespace of the thread that constructs the
// reader, so counters and speed always describe the same interface.
#pragma once

#include <string>

#include "interface_statistics.h"
#include "netlink_socket.h"

namespace wendrel {

class KernelInterfaceStatistics : public InterfaceStatistics {
 public:
  // Never throws: when the sockets cannot be opened, error() says why and read() finds
  // nothing.
  KernelInterfaceStatistics();
  ~KernelInterfaceStatistics() override;
  KernelInterfaceStatistics(const KernelInterfaceStatistics&) = delete;
  KernelInterfaceStatistics& operator=(const KernelInterfaceStatistics&) = delete;

  // One thread at a time: the requests share one socket.
  std::optional<InterfaceCounters> read(const std::string& name) override;

  // Why the construction, or the last read() that found nothing, failed; empty otherwise.
  const std::string& error() const { return error_; }

 private:
  void readSpeed(const std::string& name, InterfaceCounters& out) const;

  NetlinkSocket socket_;
  int ioctlFd_ = -1;
  std::string error_;
};

}  // namespace wendrel
