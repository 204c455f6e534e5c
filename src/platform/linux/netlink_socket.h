// An owned libnl socket, freed with nl_socket_free.
#pragma once

#include <memory>

struct nl_sock;

namespace wendrel {

struct NetlinkSocketFree {
  void operator()(nl_sock* socket) const;
};
using NetlinkSocket = std::unique_ptr<nl_sock, NetlinkSocketFree>;

}  // namespace wendrel
