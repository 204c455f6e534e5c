// The real wendrel executable as the tests run it: a copy in a scratch directory beside a
// log4j.properties (everything to stderr and to log/wendrel.log), a WENDREL_ROOT prefix for
// its settings and records, the process itself (optionally in a network namespace, under a
// wrapper, or restricted just before exec), a collector that decodes what arrives, and frames.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "netns.h"
#include "sflow_decoder.h"

namespace wendrel::test {

using Millis = std::chrono::milliseconds;

bool shell(const std::string& command);  // true when it exits 0; its output is dropped
std::string readFile(const std::string& path);
// Polls `done` every 20 ms; false when `timeout` passes first.
bool waitUntil(const std::function<bool()>& done, Millis timeout);
// Returns once `count` has not changed for `quiet` (30 s at the most).
void waitUntilSteady(const std::function<size_t()>& count, Millis quiet);

class Agent {
 public:
  enum class Restriction {
    None,
    ReadOnlyLog,  // a read-only tmpfs over the log directory, in a mount namespace of its own
    FullLog,      // a tmpfs of one page over it, which the log soon fills
    NoNetlink,    // seccomp refuses AF_NETLINK sockets: libpcap cannot enumerate devices
  };

  explicit Agent(const std::string& binary);
  ~Agent();  // kills a process still running, removes the directory
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  const std::string& dir() const { return dir_; }
  std::string root() const { return dir_ + "/root"; }
  std::string logDirectory() const { return dir_ + "/log"; }
  void settings(const std::string& text) const;
  void settings(const std::string& collector, uint32_t rate, int performanceMode) const;

  // For the starts that follow: the whole environment, the network namespace ("" for this
  // one), a restriction, and words before the executable (e.g. setpriv ...).
  std::map<std::string, std::string> env;
  std::string ns;
  Restriction restriction = Restriction::None;
  std::vector<std::string> wrapper;

  bool start(const std::string& arg = {});  // stdout and stderr go to files in dir()
  // The exit code, 128 + the signal that ended it, or -1 (and a SIGKILL) when it is still
  // running after `timeout`.
  int exitCode(Millis timeout = Millis(10000));
  std::string run(const std::string& arg = {});  // "<exit code> <stderr>"
  int pid() const { return pid_; }
  void signal(int sig) const;
  bool alive();
  std::string output() const { return readFile(dir_ + "/stderr"); }
  size_t count(const std::string& text) const;
  bool waitForOutput(const std::string& text, Millis timeout, size_t times = 1) const;

 private:
  std::string dir_;
  int pid_ = -1;
  std::optional<int> status_;
};

// Receives datagrams on address:6343 in namespace `ns`, and decodes each one when looked at.
class Collector {
 public:
  Collector(const std::string& ns, const std::string& address);
  ~Collector();
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  const std::vector<DecodedDatagram>& datagrams();  // all so far
  size_t undecodable();
  // Samples of frames whose source MAC address is `source`.
  std::vector<DecodedSample> samplesFrom(const std::array<uint8_t, 6>& source);
  bool waitForSamples(const std::array<uint8_t, 6>& source, size_t count, Millis timeout);

 private:
  int fd_ = -1;
  std::vector<DecodedDatagram> datagrams_;
  size_t undecodable_ = 0;
};

// An IPv4/UDP frame from the far end of `link` to a MAC address no host owns: the agent
// captures it promiscuously and nothing answers it.
std::vector<uint8_t> testFrame(const NetnsPair::Link& link, uint32_t number);
size_t sendFrames(const NetnsPair& net, size_t link, size_t count);  // how many went out

// For a link whose only IPv4 traffic was `sent` test frames at `rate`, performance mode
// off: exactly sent / rate samples, with sequence numbers 1..n and that rate.
::testing::AssertionResult everySampleArrived(const std::vector<DecodedSample>& samples,
                                              size_t sent, uint32_t rate);

#ifdef WENDREL_BINARY
// A namespace pair (loopback up in the agent's) and a registered agent that runs in it.
class AgentInNetns : public ::testing::Test {
 protected:
  static constexpr uint32_t kRate = 10;

  void SetUp() override {
    if (!NetnsPair::available())
      GTEST_SKIP() << "needs root for network namespaces";
    net = std::make_unique<NetnsPair>("f");
    ASSERT_TRUE(shell("ip -n " + net->agentNamespace() + " link set lo up"));
    agent = std::make_unique<Agent>(WENDREL_BINARY);
    ASSERT_EQ(agent->run("-RegServer"), "0 ");
    agent->ns = net->agentNamespace();
  }
  void TearDown() override {
    if (agent && HasFailure())
      std::cerr << "--- agent output\n" << agent->output() << "---\n";
  }

  // Links with these addresses; a collector on the loopback, which the settings name.
  void prepare(const std::vector<std::string>& cidrs) {
    for (const auto& cidr : cidrs)
      net->addLink(cidr);
    collector = std::make_unique<Collector>(net->agentNamespace(), "127.0.0.1");
    agent->settings("127.0.0.1", kRate, 0);
  }
  // Starts the agent; success once it captures on every link.
  ::testing::AssertionResult capturing() {
    if (!agent->start() || !agent->waitForOutput("Starting capture", Millis(10000)))
      return ::testing::AssertionFailure() << "capture did not start";
    for (size_t i = 0; i < net->linkCount(); ++i)
      if (agent->count("Device " + net->link(i).agentName + " initialized successfully") != 1)
        return ::testing::AssertionFailure() << "no capture on " << net->link(i).agentName;
    return ::testing::AssertionSuccess();
  }
  int stop(Millis timeout = Millis(10000)) {
    agent->signal(SIGTERM);
    return agent->exitCode(timeout);
  }
  // Sends `frames` on link 0 and stops the agent once their samples are in: all of them.
  void sampleAndStop(size_t frames) {
    const size_t sent = sendFrames(*net, 0, frames);
    EXPECT_TRUE(collector->waitForSamples(net->link(0).farMac, sent / kRate, Millis(5000)));
    EXPECT_EQ(stop(), 0);
    EXPECT_TRUE(everySampleArrived(collector->samplesFrom(net->link(0).farMac), sent, kRate));
  }

  std::unique_ptr<NetnsPair> net;
  std::unique_ptr<Agent> agent;
  std::unique_ptr<Collector> collector;
};
#endif

}  // namespace wendrel::test
