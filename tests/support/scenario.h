// The harness of the namespace tests: NetnsPair makes the network and sends the frames,
// UdpCollector receives and decodes, AgentProcess runs the real agent. Needs root.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sflow_decoder.h"
#include "test_util.h"

namespace wendrel::test {

// Two network namespaces joined by veth links: the "agent" one holds the interfaces under
// test, the "far" one the peers that send raw frames. The destructor removes everything.
class NetnsPair {
 public:
  struct Link {
    std::string agentName, farName;  // the interfaces, in the agent and the far namespace
    std::array<uint8_t, 6> farMac{};
    int farIndex = 0, farSocket = -1;  // AF_PACKET socket in the far namespace
  };

  // Namespaces "wendrel-<tag>a<pid>" and "wendrel-<tag>f<pid>"; throws std::runtime_error.
  explicit NetnsPair(const std::string& tag);
  ~NetnsPair();
  NetnsPair(const NetnsPair&) = delete;
  NetnsPair& operator=(const NetnsPair&) = delete;

  static bool available() { return geteuid() == 0; }  // root, so namespaces can be made

  // A veth link, both ends up and carrying frames, with `agentCidr` (or "") on the agent end.
  // With `agentIndex`, the agent's end has that interface index.
  const Link& addLink(const std::string& agentCidr, int agentIndex = 0);
  const Link& link(size_t i) const { return links_.at(i); }
  size_t linkCount() const { return links_.size(); }
  void removeLink(size_t i);  // deletes both ends, while capture on it may still run
  // After removeLink, or (`renew`) deleting it at the same moment: the same names and far
  // MAC, no address.
  void recreateLink(size_t i, bool renew = false) { create(links_.at(i), "", renew); }
  void bounce(size_t i);  // the agent end down and at once up again

  // Moves the calling (main) thread into the agent namespace for good: libpcap lists devices
  // from /proc/self/net, which follows the main thread. Later pairs can still be entered.
  void enterAgent();
  // Sends one raw frame (with its Ethernet header) from the far end of link i.
  bool send(size_t i, const std::vector<uint8_t>& frame) const;

  const std::string& agentNamespace() const { return agent_; }

 private:
  void drop() noexcept;
  void create(Link& l, const std::string& cidr, bool renew = false, int index = 0);

  std::string tag_, agent_, far_;
  std::vector<Link> links_;
};

// A 60-byte frame from the far end of `link` to a MAC address nobody owns: IPv4/UDP with `id`
// as IP identification and `checksum` as header checksum (nothing checks it), or UDP over IPv6.
std::vector<uint8_t> testFrame(const NetnsPair::Link& link, uint16_t id, uint16_t checksum = 0,
                               bool ipv6 = false);

// A UDP socket bound at `address` ("127.0.0.1", "::1"...; port 0: any) in namespace `ns`
// ("": the caller's); every receive gives up after 100 ms.
class UdpCollector {
 public:
  explicit UdpCollector(const std::string& address, uint16_t port = 0, const std::string& ns = "");
  ~UdpCollector() { ::close(fd_); }
  UdpCollector(const UdpCollector&) = delete;
  UdpCollector& operator=(const UdpCollector&) = delete;

  bool ok() const { return fd_ >= 0; }
  std::string label() const;  // "127.0.0.1:40000", "[::1]:40000"
  // The datagrams waiting, in order; with `wait`, the first one is waited for.
  std::vector<std::string> drain(bool wait = false);
  // The same, strictly decoded: one the decoder refuses fails the test.
  std::vector<DecodedDatagram> decoded(bool wait = false);

 private:
  int fd_ = -1;
};

// A copy of the agent's executable in a scratch directory, logging everything to stderr, with
// a WENDREL_ROOT of its own.
class AgentProcess {
 public:
  explicit AgentProcess(const std::string& executable);
  ~AgentProcess();
  // In a clean environment plus `extra`, after `prefix` (which execs it); stderr to a file.
  void start(const std::string& arg, const std::string& extra = "", const std::string& prefix = "");
  // The exit code, or -1 (after a SIGKILL) once `timeout` has passed.
  int exitCode(Millis timeout = Millis(10000));
  // Runs it to its end: "<exit code> <stderr>".
  std::string run(const std::string& arg);
  std::string output() const { return readFile(dir + "/stderr"); }
  void settings(const std::string& text) const;

  std::string dir, root, env;
  int pid = -1;
};

// Whether a sampled header is a test frame sent from the far end of `link`, and its number.
inline bool fromLink(const DecodedSample& s, const NetnsPair::Link& link) {
  return s.header.size() >= 20 &&
         std::equal(link.farMac.begin(), link.farMac.end(), s.header.begin() + 6);
}
inline uint16_t frameNumber(const DecodedSample& s) {
  return uint16_t(s.header[18] << 8 | s.header[19]);
}

}  // namespace wendrel::test
