#include "kernel_interface_statistics.h"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netlink/addr.h>
#include <netlink/netlink.h>
#include <netlink/route/link.h>
#include <netlink/socket.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace wendrel {
namespace {

// SNMP-style 32-bit counter: the low bits of the kernel's 64-bit one, wrapping.
uint32_t counter32(uint64_t value) {
  return static_cast<uint32_t>(value);
}

struct LinkPut {
  void operator()(rtnl_link* link) const { rtnl_link_put(link); }
};

}  // namespace

KernelInterfaceStatistics::KernelInterfaceStatistics() {
  ioctlFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (ioctlFd_ < 0) {
    error_ =
        std::string("Failed to open a socket for the ethtool requests: ") + std::strerror(errno);
    return;
  }
  socket_.reset(nl_socket_alloc());
  int err = socket_ ? nl_connect(socket_.get(), NETLINK_ROUTE) : -NLE_NOMEM;
  if (err < 0) {
    error_ = std::string("Failed to open the rtnetlink socket: ") + nl_geterror(err);
    socket_.reset();
  }
}

KernelInterfaceStatistics::~KernelInterfaceStatistics() {
  if (ioctlFd_ >= 0)
    close(ioctlFd_);
}

std::optional<InterfaceCounters> KernelInterfaceStatistics::read(const std::string& name) {
  if (!socket_)
    return std::nullopt;
  rtnl_link* raw = nullptr;
  const int err = rtnl_link_get_kernel(socket_.get(), 0, name.c_str(), &raw);
  std::unique_ptr<rtnl_link, LinkPut> link(raw);
  if (err < 0 || !link) {
    error_ = "Failed to read the statistics of " + name + ": " + nl_geterror(err);
    return std::nullopt;
  }
  error_.clear();

  auto stat = [&](rtnl_link_stat_id_t id) { return rtnl_link_get_stat(link.get(), id); };
  InterfaceCounters c;
  const char* kernelName = rtnl_link_get_name(link.get());
  c.portName = kernelName ? kernelName : name;
  c.ifIndex = static_cast<uint32_t>(rtnl_link_get_ifindex(link.get()));
  const unsigned flags = rtnl_link_get_flags(link.get());
  // IFF_RUNNING is the kernel's operational state (up, with carrier), as SNMP agents use it.
  c.status = ((flags & IFF_UP) ? 1u : 0u) | ((flags & IFF_RUNNING) ? 2u : 0u);
  // A packet socket (libpcap's) holds the port promiscuous without the flag the link shows:
  // the kernel's count of promiscuous holders says it.
  c.promiscuous = ((flags & IFF_PROMISC) || rtnl_link_get_promiscuity(link.get()) > 0) ? 1 : 0;
  nl_addr* address = rtnl_link_get_addr(link.get());
  if (address != nullptr && nl_addr_get_len(address) == c.macAddress.size())
    std::memcpy(c.macAddress.data(), nl_addr_get_binary_addr(address), c.macAddress.size());

  // The kernel counts received packets and, of them, multicast ones; broadcasts are in
  // neither count of their own, so inBroadcast stays unknown. Unknown protocols are counted
  // in rx_dropped (rx_nohandler is for inactive bond ports), so inUnknownProtos is too.
  const uint64_t rxPackets = stat(RTNL_LINK_RX_PACKETS);
  const uint64_t multicast = stat(RTNL_LINK_MULTICAST);
  c.inOctets = stat(RTNL_LINK_RX_BYTES);
  c.inUnicast = counter32(rxPackets >= multicast ? rxPackets - multicast : 0);
  c.inMulticast = counter32(multicast);
  c.inDiscards = counter32(stat(RTNL_LINK_RX_DROPPED));
  c.inErrors = counter32(stat(RTNL_LINK_RX_ERRORS));
  // Sent packets are not split by kind: all of them count as unicast.
  c.outOctets = stat(RTNL_LINK_TX_BYTES);
  c.outUnicast = counter32(stat(RTNL_LINK_TX_PACKETS));
  c.outDiscards = counter32(stat(RTNL_LINK_TX_DROPPED));
  c.outErrors = counter32(stat(RTNL_LINK_TX_ERRORS));
  readSpeed(c.portName, c);
  return c;
}

void KernelInterfaceStatistics::readSpeed(const std::string& name, InterfaceCounters& out) const {
  // ETHTOOL_GSET gives the same speed and duplex as the newer link-settings request without
  // its two-step size negotiation. Drivers without link settings (and down links of many
  // drivers) report nothing or "unknown", which leaves speed and direction 0.
  ethtool_cmd cmd{};
  cmd.cmd = ETHTOOL_GSET;
  ifreq request{};
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  request.ifr_data = reinterpret_cast<char*>(&cmd);
  if (ioctl(ioctlFd_, SIOCETHTOOL, &request) < 0)
    return;
  const uint32_t mbps = ethtool_cmd_speed(&cmd);
  if (mbps != 0 && mbps != static_cast<uint32_t>(SPEED_UNKNOWN))
    out.speed = uint64_t{mbps} * 1000000;
  if (cmd.duplex == DUPLEX_FULL)
    out.direction = 1;
  else if (cmd.duplex == DUPLEX_HALF)
    out.direction = 2;
}

}  // namespace wendrel
