#include "icmp_errors.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace wendrel {

namespace {

// More reports than this in one call would mean a socket flooded with them: the rest wait
// for the next call rather than hold up the sender.
constexpr int kMostPerCall = 256;

std::string addressOf(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  else if (address->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
              sizeof text);
  return text;
}

}  // namespace

bool queueIcmpErrors(int fd, bool ipv6) {
  const int on = 1;
  return ipv6 ? setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on) == 0
              : setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) == 0;
}

std::vector<IcmpError> takeIcmpErrors(int fd) {
  std::vector<IcmpError> errors;
  for (int i = 0; i < kMostPerCall; ++i) {
    // The returned datagram is of no use here: a byte of it is enough.
    char byte;
    iovec data{&byte, sizeof byte};
    alignas(cmsghdr) char control[512];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
      break;  // EAGAIN: nothing (more) queued
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      const bool report = (c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVERR) ||
                          (c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_RECVERR);
      const size_t length = c->cmsg_len - CMSG_LEN(0);
      if (!report || length < sizeof(sock_extended_err))
        continue;
      sock_extended_err extended;
      std::memcpy(&extended, CMSG_DATA(c), sizeof extended);
      if (extended.ee_origin != SO_EE_ORIGIN_ICMP && extended.ee_origin != SO_EE_ORIGIN_ICMP6)
        continue;
      // The sender's address follows the report (SO_EE_OFFENDER).
      sockaddr_storage offender{};
      std::memcpy(&offender, CMSG_DATA(c) + sizeof extended,
                  std::min(length - sizeof extended, sizeof offender));
      errors.push_back({static_cast<int>(extended.ee_errno),
                        addressOf(reinterpret_cast<const sockaddr*>(&offender))});
    }
  }
  return errors;
}

}  // namespace wendrel
