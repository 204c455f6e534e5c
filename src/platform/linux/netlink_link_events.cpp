#include "netlink_link_events.h"

#include <net/if.h>
#include <netlink/msg.h>
#include <netlink/netlink.h>
#include <netlink/route/link.h>
#include <netlink/socket.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace wendrel {
namespace {

// Room for a burst of notifications (hundreds of container veths at once) before the kernel
// has to drop some. Without CAP_NET_ADMIN it grants at most net.core.rmem_max.
constexpr int kReceiveBufferBytes = 16 << 20;

// IFF_LOWER_UP, which <net/if.h> lacks and <linux/if.h> cannot be included beside.
constexpr unsigned kLowerUp = 0x10000;

struct Parsed {
  LinkChange::Kind kind;
  LinkChanges* out;
};

void addLink(nl_object* object, void* arg) {
  auto* parsed = static_cast<Parsed*>(arg);
  auto* link = reinterpret_cast<rtnl_link*>(object);
  // libnl reports a bridge's own messages with family AF_BRIDGE, and the ports' too; a port
  // that leaves its bridge is reported with a delete, but the interface stays.
  const int family = rtnl_link_get_family(link);
  if (family != AF_UNSPEC && family != AF_BRIDGE)
    return;
  const char* name = rtnl_link_get_name(link);
  const unsigned flags = rtnl_link_get_flags(link);
  LinkChange change;
  change.kind = parsed->kind;
  change.name = name ? name : "";
  change.ifIndex = static_cast<uint32_t>(rtnl_link_get_ifindex(link));
  // A port's delete names its bridge as master; the bridge's own does not.
  if (family == AF_BRIDGE && rtnl_link_get_master(link) != 0)
    change.kind = LinkChange::Kind::Present;
  change.up = (flags & IFF_UP) != 0;
  change.running = (flags & IFF_RUNNING) != 0;
  change.carrier = (flags & kLowerUp) != 0;
  change.loopback = (flags & IFF_LOOPBACK) != 0;
  parsed->out->changes.push_back(std::move(change));
}

}  // namespace

void NetlinkSocketFree::operator()(nl_sock* socket) const {
  nl_socket_free(socket);
}

NetlinkLinkEvents::NetlinkLinkEvents() {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    error_ = std::string("Failed to create the wake-up eventfd: ") + std::strerror(errno);
    return;
  }
  socket_.reset(nl_socket_alloc());
  if (!socket_) {
    fail("Failed to allocate a netlink socket", -NLE_NOMEM);
    return;
  }
  // Notifications carry sequence number 0, not the numbers of our own requests.
  nl_socket_disable_seq_check(socket_.get());
  nl_socket_modify_cb(socket_.get(), NL_CB_VALID, NL_CB_CUSTOM, &NetlinkLinkEvents::onMessage,
                      this);
  int err;
  if ((err = nl_connect(socket_.get(), NETLINK_ROUTE)) < 0) {
    fail("Failed to open the rtnetlink socket", err);
  } else if ((err = nl_socket_add_membership(socket_.get(), RTNLGRP_LINK)) < 0) {
    fail("Failed to subscribe to link changes", err);
  } else if ((err = nl_socket_set_nonblocking(socket_.get())) < 0) {
    fail("Failed to make the rtnetlink socket non-blocking", err);
  } else {
    // A smaller buffer only makes overflows (and so re-enumerations) likelier. The forced
    // size needs CAP_NET_ADMIN; without it the kernel caps the plain one.
    const int fd = nl_socket_get_fd(socket_.get());
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes,
                   sizeof kReceiveBufferBytes) != 0)
      nl_socket_set_buffer_size(socket_.get(), kReceiveBufferBytes, 0);
  }
}

NetlinkLinkEvents::~NetlinkLinkEvents() {
  if (wakeFd_ >= 0)
    close(wakeFd_);
}

void NetlinkLinkEvents::fail(const std::string& what, int nlError) {
  error_ = what + ": " + nl_geterror(nlError);
  socket_.reset();
}

LinkChanges NetlinkLinkEvents::wait(int timeoutMs, int alsoReadable) {
  LinkChanges out;
  // poll() passes over negative descriptors: with none, it still sleeps out the timeout, so
  // that a caller's loop does not spin.
  pollfd fds[3] = {{wakeFd_, POLLIN, 0},
                   {socket_ ? nl_socket_get_fd(socket_.get()) : -1, POLLIN, 0},
                   {alsoReadable, POLLIN, 0}};
  if (poll(fds, 3, timeoutMs) <= 0)
    return out;
  if (fds[0].revents & POLLIN) {
    uint64_t count;
    // Consume the wake so that it ends only this wait.
    const ssize_t consumed = read(wakeFd_, &count, sizeof count);
    (void)consumed;
  }
  if (fds[1].revents)
    receive(out);
  return out;
}

void NetlinkLinkEvents::receive(LinkChanges& out) {
  nl_cb* callbacks = nl_socket_get_cb(socket_.get());
  pending_ = &out;
  int n;
  // Each call reads one datagram, until the socket is empty (0 or NLE_AGAIN, depending on
  // the libnl version).
  while ((n = nl_recvmsgs_report(socket_.get(), callbacks)) > 0) {
  }
  pending_ = nullptr;
  nl_cb_put(callbacks);
  if (n == 0 || n == -NLE_AGAIN)
    return;
  out.lost = true;
  // ENOBUFS (reported as NLE_NOMEM): the kernel dropped notifications; the socket goes on.
  if (n != -NLE_NOMEM)
    fail("Failed to receive link changes", n);
}

int NetlinkLinkEvents::onMessage(nl_msg* msg, void* arg) {
  auto* self = static_cast<NetlinkLinkEvents*>(arg);
  const int type = nlmsg_hdr(msg)->nlmsg_type;
  if (self->pending_ && (type == RTM_NEWLINK || type == RTM_DELLINK)) {
    Parsed parsed{type == RTM_NEWLINK ? LinkChange::Kind::Present : LinkChange::Kind::Vanished,
                  self->pending_};
    nl_msg_parse(msg, &addLink, &parsed);
  }
  return NL_OK;
}

void NetlinkLinkEvents::wake() {
  const uint64_t one = 1;
  // Fails only when the counter is full, and then a wake is pending anyway.
  const ssize_t written = write(wakeFd_, &one, sizeof one);
  (void)written;
}

}  // namespace wendrel
