// The kernel's news about network interfaces, so that the supervisor can open an interface
// that appears while the agent runs and note one that goes away (NetlinkLinkEvents is the
// Linux one).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wendrel {

struct LinkChange {
  enum class Kind {
    Present,   // the interface appeared, or something about it changed (flags, name, ...)
    Vanished,  // the interface no longer exists (deleted, or moved to another namespace)
  };
  Kind kind = Kind::Present;
  std::string name;
  uint32_t ifIndex = 0;   // the kernel's index; a re-created interface usually gets a new one
  bool up = false;        // administratively up (IFF_UP)
  bool running = false;   // operationally up (IFF_RUNNING: up with carrier)
  bool carrier = false;   // the device has carrier (IFF_LOWER_UP), without the link watch's delay
  bool loopback = false;  // IFF_LOOPBACK: never captured
  // Worth opening: up, and with carrier where the kernel reports one.
  bool usable() const { return up && (running || carrier); }
};

struct LinkChanges {
  std::vector<LinkChange> changes;  // in the order the kernel sent them
  // Notifications were lost (the kernel's queue for us overflowed, or the source broke):
  // the caller must enumerate the interfaces again to learn the present state.
  bool lost = false;
};

// A subscription to link changes, live from construction: create it before enumerating the
// interfaces, so that no change falls between the enumeration and the first wait().
// wait() is called by one thread at a time; wake() may be called from any thread.
class LinkEvents {
 public:
  virtual ~LinkEvents() = default;
  // Blocks until link changes arrive, wake() is called, `alsoReadable` (a descriptor, if not
  // negative) becomes readable, or `timeoutMs` passes; returns the changes seen (none but
  // link changes).
  virtual LinkChanges wait(int timeoutMs, int alsoReadable) = 0;
  // Makes the current wait() return at once, or the next one if none is blocked, so that a
  // stop set just before a wait() is not missed. Wakes that no wait() has taken yet count as
  // one.
  virtual void wake() = 0;
};

}  // namespace wendrel
