// LinkEvents over an rtnetlink socket (libnl-route-3) subscribed to the link group, with an
// eventfd for wake(). It watches the network namespace of the thread that constructs it.
#pragma once

#include <string>

#include "link_events.h"
#include "netlink_socket.h"

struct nl_msg;

namespace wendrel {

class NetlinkLinkEvents : public LinkEvents {
 public:
  // Never throws: when the subscription cannot be made, error() says why and wait() only
  // waits for its timeout or a wake(), so a stop still ends it promptly.
  NetlinkLinkEvents();
  ~NetlinkLinkEvents() override;
  NetlinkLinkEvents(const NetlinkLinkEvents&) = delete;
  NetlinkLinkEvents& operator=(const NetlinkLinkEvents&) = delete;

  LinkChanges wait(int timeoutMs, int alsoReadable) override;
  void wake() override;

  // Why link changes are not being received ("...: <library text>"); empty while they are.
  const std::string& error() const { return error_; }

 private:
  static int onMessage(nl_msg* msg, void* self);
  void receive(LinkChanges& out);
  void fail(const std::string& what, int nlError);

  NetlinkSocket socket_;
  int wakeFd_ = -1;
  LinkChanges* pending_ = nullptr;  // where onMessage puts changes during receive()
  std::string error_;
};

}  // namespace wendrel
