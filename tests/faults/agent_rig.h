// What the fault tests put around the real wendrel executable: a scratch root with its
// settings and registration record, a copy of the binary beside a log4j.properties, the
// process itself started in a network namespace (optionally under a wrapper or with a
// restriction applied just before exec), a collector socket, and test frames.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "netns.h"
#include "sflow_decoder.h"

namespace wendrel::test {

using Millis = std::chrono::milliseconds;

// Runs `body` on a short-lived thread that has entered network namespace `ns`, so sockets
// it makes live there; the caller's thread never changes namespace.
void inNetns(const std::string& ns, const std::function<void()>& body);

// Runs a shell command; true when it exits 0.
bool shell(const std::string& command);

class AgentProcess {
 public:
  // What happens in the child between fork and exec (only system calls there).
  enum class Restriction {
    None,
    // A read-only tmpfs over the log directory, in a mount namespace of the agent's own.
    ReadOnlyLogDirectory,
    // A tmpfs of one page over the log directory, which the log soon fills.
    FullLogDirectory,
    // A seccomp filter refusing AF_NETLINK sockets, so libpcap cannot enumerate devices.
    NoNetlink,
  };

  // Makes the scratch root (world-readable, so an unprivileged run can read it).
  explicit AgentProcess(const std::string& binary);
  ~AgentProcess();  // kills a process still running, removes the scratch root
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  const std::string& root() const { return root_; }
  std::string logDirectory() const { return root_ + "/log"; }
  void writeSettings(const std::string& text);
  void writeSettings(const std::string& collector, uint32_t rate, int performanceMode);

  // Starts the agent in the foreground in `ns` (with `wrapper` words before the binary, e.g.
  // setpriv ...). Its stdout and stderr go to files in the scratch root.
  bool start(const std::string& ns, Restriction restriction = Restriction::None,
             const std::vector<std::string>& wrapper = {});
  int pid() const { return pid_; }
  void signal(int sig) const;
  bool alive();
  // The wait status once the process has ended within `timeout`; nullopt (and a SIGKILL)
  // when it hangs.
  std::optional<int> waitExit(Millis timeout);

  // The agent's log (the file the properties name) followed by its stderr.
  std::string output() const;
  size_t count(const std::string& text) const;
  bool waitForOutput(const std::string& text, Millis timeout, size_t times = 1) const;

 private:
  std::string binary_;
  std::string root_;
  int pid_ = -1;
  std::optional<int> status_;
};

// Receives datagrams on ADDRESS:6343 in a namespace and decodes each one.
class Collector {
 public:
  Collector(const std::string& ns, const std::string& address, uint16_t port = 6343);
  ~Collector();
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  std::vector<DecodedDatagram> datagrams() const;
  size_t undecodable() const;
  // Samples whose packet came from the sender with MAC `source`.
  std::vector<DecodedSample> samplesFrom(const std::array<uint8_t, 6>& source) const;
  bool waitForSamples(const std::array<uint8_t, 6>& source, size_t count, Millis timeout) const;

 private:
  void receive();

  int fd_ = -1;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<DecodedDatagram> datagrams_;
  size_t undecodable_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

// An IPv4/UDP frame with a valid header checksum from the far end of `link`, addressed to a
// MAC address no host owns: the agent captures it promiscuously and nothing answers it.
std::vector<uint8_t> testFrame(const NetnsPair::Link& link, uint32_t number);
// Sends `count` test frames on link `i`; returns how many went out.
size_t sendFrames(const NetnsPair& net, size_t i, size_t count);

// The checks every fault test ends with for one link whose only IPv4 traffic was `sent`
// test frames at rate `rate`, performance mode off: exactly floor(sent / rate) samples,
// sequence numbers 1..n without a gap, each with the configured rate.
::testing::AssertionResult everySampleArrived(const std::vector<DecodedSample>& samples,
                                              size_t sent, uint32_t rate);

}  // namespace wendrel::test
