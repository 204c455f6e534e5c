// Two network namespaces joined by veth links, for tests that capture real frames: the
// "agent" namespace holds the interfaces under test, the "far" one the peers from which the
// test sends raw Ethernet frames. Everything is removed again by the destructor. Needs root.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace wendrel::test {

class NetnsPair {
 public:
  struct Link {
    std::string agentName;     // interface in the agent namespace
    std::string farName;       // its peer in the far namespace
    std::string agentAddress;  // IPv4 address of the agent end ("" when none)
    std::array<uint8_t, 6> farMac{};
    int farIndex = 0;
    int farSocket = -1;  // AF_PACKET socket bound to the far end
  };

  // Creates the namespaces "wendrel-<tag>a<pid>" and "wendrel-<tag>f<pid>". Throws
  // std::runtime_error (after removing what it made) when a step fails.
  explicit NetnsPair(const std::string& tag = "t");
  ~NetnsPair();
  NetnsPair(const NetnsPair&) = delete;
  NetnsPair& operator=(const NetnsPair&) = delete;

  // True when this process may create namespaces (runs as root).
  static bool available();

  // Adds a veth link, both ends up, with `agentCidr` (e.g. "10.201.0.1/24", or "") on the
  // agent end; returns once the link carries frames. Interface names are <= 15 characters.
  const Link& addLink(const std::string& agentCidr);
  const Link& link(size_t i) const { return links_.at(i); }
  size_t linkCount() const { return links_.size(); }
  // Deletes link i (both ends) while whatever captures on it is still running.
  void removeLink(size_t i);

  // Moves the calling thread into the agent namespace; threads it creates afterwards are
  // there too. Call it from the main thread before anything else that needs the namespace
  // (libpcap reads /proc/net through the main thread). leaveAgent() returns it.
  void enterAgent();
  void leaveAgent();

  // Sends one raw frame (its own Ethernet header included) from the far end of link i.
  bool send(size_t i, const std::vector<uint8_t>& frame) const;

  const std::string& agentNamespace() const { return agent_; }
  const std::string& farNamespace() const { return far_; }

 private:
  void cleanUp() noexcept;

  std::string tag_;
  std::string agent_;
  std::string far_;
  std::vector<Link> links_;
  int originalNs_ = -1;
  bool entered_ = false;
};

}  // namespace wendrel::test
