// Two network namespaces joined by veth links, for tests that capture real frames: the
// "agent" namespace holds the interfaces under test, the "far" one the peers from which the
// test sends raw Ethernet frames. The destructor removes everything. Needs root.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace wendrel::test {

class NetnsPair {
 public:
  struct Link {
    std::string agentName, farName;  // the interfaces, in the agent and the far namespace
    std::string agentAddress;        // IPv4 address of the agent end ("" when none)
    std::array<uint8_t, 6> farMac{};
    int farIndex = 0, farSocket = -1;  // AF_PACKET socket in the far namespace
  };

  // Namespaces "wendrel-<tag>a<pid>" and "wendrel-<tag>f<pid>"; throws std::runtime_error.
  explicit NetnsPair(const std::string& tag = "t");
  ~NetnsPair();
  NetnsPair(const NetnsPair&) = delete;
  NetnsPair& operator=(const NetnsPair&) = delete;

  static bool available();  // root, so namespaces can be made

  // A veth link, both ends up and carrying frames, with `agentCidr` (or "") on the agent end.
  const Link& addLink(const std::string& agentCidr);
  const Link& link(size_t i) const { return links_.at(i); }
  size_t linkCount() const { return links_.size(); }
  void removeLink(size_t i);    // deletes both ends, while capture on it may still run
  void recreateLink(size_t i);  // after removeLink: the same names and far MAC, no address

  // Moves the calling (main) thread into the agent namespace for good: libpcap lists devices
  // from /proc/self/net, which follows the main thread. Later pairs can still be entered.
  void enterAgent();
  // Sends one raw frame (with its Ethernet header) from the far end of link i.
  bool send(size_t i, const std::vector<uint8_t>& frame) const;

  const std::string& agentNamespace() const { return agent_; }
  const std::string& farNamespace() const { return far_; }

 private:
  void drop() noexcept;
  void create(Link& l, const std::string& cidr);

  std::string tag_, agent_, far_;
  std::vector<Link> links_;
};

// A 60-byte frame from the far end of `link` to a MAC address no host owns, so nothing
// answers it: IPv4/UDP (DF set) with `id` as IP identification and `checksum` as header
// checksum (nothing on the way checks it), or with `ipv6` UDP over IPv6.
std::vector<uint8_t> testFrame(const NetnsPair::Link& link, uint16_t id, uint16_t checksum = 0,
                               bool ipv6 = false);

}  // namespace wendrel::test
