// The scenario harness of the namespace tests (capture on veth links, collectors over real
// sockets, the agent end to end). NetnsPair makes the network and sends the frames; here are
// the collector that receives and decodes, the real agent as a process, and what tells a
// sampled frame's link and number. A scenario says only what differs and what it expects.
#pragma once

#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <vector>

#include "netns.h"
#include "sflow_decoder.h"
#include "test_util.h"

namespace wendrel::test {

// A UDP socket bound at `address` ("127.0.0.1", "::1"...; port 0: any) in namespace `ns`
// ("": the caller's); every receive gives up after 100 ms.
class UdpCollector {
 public:
  explicit UdpCollector(const std::string& address, uint16_t port = 0, const std::string& ns = "");
  ~UdpCollector();
  UdpCollector(const UdpCollector&) = delete;
  UdpCollector& operator=(const UdpCollector&) = delete;

  bool ok() const { return fd_ >= 0; }
  // "127.0.0.1:40000", "[::1]:40000": as the agent's settings name it.
  std::string label() const;
  // The datagrams waiting, in order; with `wait`, the first one is waited for.
  std::vector<std::string> drain(bool wait = false);
  // The same, strictly decoded: one the decoder refuses fails the test.
  std::vector<DecodedDatagram> decoded(bool wait = false);
  // Sends one byte to an IPv4 address and port from this socket.
  void sendTo(const std::string& address, uint16_t port);

 private:
  int fd_ = -1;
};

// A copy of the agent's executable in a scratch directory, beside a log4j.properties that logs
// everything to stderr, with a WENDREL_ROOT of its own for its settings and records.
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
