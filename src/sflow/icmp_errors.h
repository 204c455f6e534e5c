// The ICMP errors that come back for a UDP socket's datagrams (a collector's host refusing
// the port, a router that cannot reach it). Without them such a loss is invisible: the send
// itself succeeded. The kernel queues one report per ICMP message on the socket's error
// queue once asked to (IP_RECVERR, IPV6_RECVERR).
#pragma once

#include <string>
#include <vector>

namespace wendrel {

struct IcmpError {
  int error = 0;     // the errno it stands for: ECONNREFUSED, EHOSTUNREACH, ...
  std::string from;  // the address that sent the ICMP message
};

// Asks the kernel to queue ICMP errors for socket `fd`; false (errno set) if it refuses.
bool queueIcmpErrors(int fd, bool ipv6);

// Takes the reports queued on `fd`; never blocks. Local errors are left out: the send that
// met one has returned it already.
std::vector<IcmpError> takeIcmpErrors(int fd);

}  // namespace wendrel
