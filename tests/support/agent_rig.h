// The real wendrel executable as the end-to-end tests run it: a copy in a scratch directory
// beside a log4j.properties that logs everything to stderr, a WENDREL_ROOT prefix for its
// settings and records, the process itself (optionally in a network namespace or under a
// wrapper such as setpriv), a collector that decodes what arrives, and frames to send.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "netns.h"
#include "sflow_decoder.h"

namespace wendrel::test {

using Millis = std::chrono::milliseconds;

bool shell(const std::string& command);  // true when it exits 0; its output is dropped
std::string readFile(const std::string& path);
// Polls `done` every 20 ms; false when `timeout` passes first.
bool waitUntil(const std::function<bool()>& done, Millis timeout);

class Agent {
 public:
  explicit Agent(const std::string& binary);
  ~Agent();  // kills a process still running, removes the directory
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  const std::string& dir() const { return dir_; }
  std::string root() const { return dir_ + "/root"; }
  void settings(const std::string& text) const;

  // For the starts that follow: the whole environment, the network namespace ("" for this
  // one) and words before the executable.
  std::map<std::string, std::string> env;
  std::string ns;
  std::vector<std::string> wrapper;

  bool start(const std::string& arg = {});  // stdout and stderr go to files in dir()
  // The exit code, 128 + the signal that ended it, or -1 (and a SIGKILL) after `timeout`.
  int exitCode(Millis timeout = Millis(10000));
  std::string run(const std::string& arg = {});  // "<exit code> <stderr>"
  int pid() const { return pid_; }
  void signal(int sig) const;
  std::string output() const { return readFile(dir_ + "/stderr"); }

 private:
  bool alive();
  std::string dir_;
  int pid_ = -1;
  std::optional<int> status_;
};

// Receives datagrams on address:6343 in namespace `ns` and decodes them when looked at.
class Collector {
 public:
  Collector(const std::string& ns, const std::string& address);
  ~Collector();
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  size_t undecodable();
  // The datagrams decoded so far, and the flow samples in them.
  std::pair<size_t, size_t> received();
  // The numbers (see testFrame) of the sampled frames that came from `link`.
  std::multiset<uint32_t> framesFrom(const NetnsPair::Link& link);

 private:
  int fd_ = -1;
  std::vector<DecodedDatagram> datagrams_;
  size_t undecodable_ = 0;
};

// An IPv4/UDP frame from the far end of `link`, to a MAC address no host owns, carrying
// `number` in its IP identification field.
std::vector<uint8_t> testFrame(const NetnsPair::Link& link, uint16_t number);

// Starts `agent` (registered, in the namespace of `net`, collector on its loopback) and sends
// frames numbered from 1000 on link 0 until one is sampled: capture runs then.
::testing::AssertionResult capturing(Agent& agent, NetnsPair& net, Collector& collector);
// Sends frames 0..count-1 on link 0; true when every one went out.
bool sendFrames(const NetnsPair& net, uint16_t count);

}  // namespace wendrel::test
