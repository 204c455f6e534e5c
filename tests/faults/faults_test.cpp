// The real agent under faults of its environment, in network namespaces: interfaces that
// vanish, a collector that becomes unreachable, a log directory it cannot write, a settings
// file of garbage, and stop signals at awkward moments. Each case ends the same way: no
// crash, no hang (every wait is bounded), and every sample taken reached the collector.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <iostream>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "agent_rig.h"
#include "netns.h"

namespace wendrel::test {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kRate = 10;
constexpr auto kStart = 10s;  // start-up, up to capture running
constexpr auto kStop = 10s;   // SIGTERM to exit: about 1 s by design

::testing::AssertionResult exitedCleanly(const std::optional<int>& status) {
  if (!status)
    return ::testing::AssertionFailure() << "the agent hung and was killed";
  if (WIFSIGNALED(*status)) {
    return ::testing::AssertionFailure() << "the agent died of signal " << WTERMSIG(*status);
  }
  if (WEXITSTATUS(*status) != 0) {
    return ::testing::AssertionFailure() << "the agent exited with " << WEXITSTATUS(*status);
  }
  return ::testing::AssertionSuccess();
}

// Returns once `text` has stopped appearing in the agent's output for longer than its
// one-second flush period (at most 30 s): whatever was sampled by then has been sent, or has
// failed to be.
void waitUntilQuiet(const AgentProcess& agent, const std::string& text) {
  size_t last = agent.count(text);
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(1500ms);
    const size_t now = agent.count(text);
    if (now == last)
      return;
    last = now;
  }
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NetnsPair::available())
      GTEST_SKIP() << "needs root for network namespaces";
    net = std::make_unique<NetnsPair>("f");
    ASSERT_TRUE(shell("ip -n " + net->agentNamespace() + " link set lo up"));
    agent = std::make_unique<AgentProcess>(WENDREL_BINARY);
  }
  void TearDown() override {
    if (agent && ::testing::Test::HasFailure()) {
      std::cerr << "--- agent output\n" << agent->output() << "---\n";
    }
    agent.reset();
    collector.reset();
    net.reset();
  }

  // Links, a collector on the agent namespace's loopback, and the agent running on them.
  void startAgent(size_t links) {
    for (size_t i = 0; i < links; ++i)
      net->addLink("10.250." + std::to_string(i) + ".1/24");
    collector = std::make_unique<Collector>(net->agentNamespace(), "127.0.0.1");
    agent->writeSettings("127.0.0.1", kRate, 0);
    ASSERT_TRUE(agent->start(net->agentNamespace()));
    ASSERT_TRUE(agent->waitForOutput("Starting capture", kStart));
    for (size_t i = 0; i < links; ++i) {
      EXPECT_EQ(agent->count("Device " + net->link(i).agentName + " initialized successfully"), 1u);
    }
  }

  std::unique_ptr<NetnsPair> net;
  std::unique_ptr<AgentProcess> agent;
  std::unique_ptr<Collector> collector;
};

TEST_F(Faults, CaptureInterfaceDeletedWhileAnotherIsKept) {
  startAgent(2);
  size_t sent0 = sendFrames(*net, 0, 500);
  const size_t sent1 = sendFrames(*net, 1, 500);
  ASSERT_TRUE(collector->waitForSamples(net->link(1).farMac, sent1 / kRate, 5s));

  const auto mac0 = net->link(0).farMac, mac1 = net->link(1).farMac;
  net->removeLink(1);
  // That interface's thread ends on the read error and closes its device; the other goes on.
  ASSERT_TRUE(agent->waitForOutput("Closing capture device", 5s));
  EXPECT_EQ(agent->count("Error in pcap_loop"), 1u);
  EXPECT_TRUE(agent->alive());
  sent0 += sendFrames(*net, 0, 500);
  EXPECT_TRUE(collector->waitForSamples(mac0, sent0 / kRate, 5s));

  agent->signal(SIGTERM);
  EXPECT_TRUE(exitedCleanly(agent->waitExit(kStop)));
  EXPECT_TRUE(everySampleArrived(collector->samplesFrom(mac0), sent0, kRate));
  EXPECT_TRUE(everySampleArrived(collector->samplesFrom(mac1), sent1, kRate));
  EXPECT_EQ(collector->undecodable(), 0u);
}

TEST_F(Faults, EveryCaptureInterfaceDeleted) {
  startAgent(2);
  const size_t sent0 = sendFrames(*net, 0, 300);
  const size_t sent1 = sendFrames(*net, 1, 300);
  const auto mac0 = net->link(0).farMac, mac1 = net->link(1).farMac;
  ASSERT_TRUE(collector->waitForSamples(mac0, sent0 / kRate, 5s));
  ASSERT_TRUE(collector->waitForSamples(mac1, sent1 / kRate, 5s));

  net->removeLink(1);
  net->removeLink(0);
  ASSERT_TRUE(agent->waitForOutput("Closing capture device", 5s, 2));
  // Nothing left to capture: the agent idles until it is told to stop.
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(agent->alive());

  agent->signal(SIGTERM);
  EXPECT_TRUE(exitedCleanly(agent->waitExit(kStop)));
  EXPECT_TRUE(everySampleArrived(collector->samplesFrom(mac0), sent0, kRate));
  EXPECT_TRUE(everySampleArrived(collector->samplesFrom(mac1), sent1, kRate));
}

// A host whose interfaces have no IPv4 address yet (a boot before DHCP has answered): a
// collector given as a dotted address is still taken, and sampling works.
TEST_F(Faults, CollectorLiteralTakenBeforeAnyInterfaceHasAnAddress) {
  net->addLink("");
  collector = std::make_unique<Collector>(net->agentNamespace(), "127.0.0.1");
  agent->writeSettings("127.0.0.1", kRate, 0);
  ASSERT_TRUE(agent->start(net->agentNamespace()));
  ASSERT_TRUE(agent->waitForOutput("Starting capture", kStart));
  const size_t sent = sendFrames(*net, 0, 300);
  const auto mac = net->link(0).farMac;
  ASSERT_TRUE(collector->waitForSamples(mac, sent / kRate, 5s));
  agent->signal(SIGTERM);
  EXPECT_TRUE(exitedCleanly(agent->waitExit(kStop)));
  EXPECT_TRUE(everySampleArrived(collector->samplesFrom(mac), sent, kRate));
}

// An interface taken down and brought up again (ifdown/ifup, a reconfiguration): capture on
// it goes on afterwards.
TEST_F(Faults, CaptureInterfaceDownAndUpAgain) {
  startAgent(1);
  const auto mac = net->link(0).farMac;
  size_t sent = sendFrames(*net, 0, 300);
  ASSERT_TRUE(collector->waitForSamples(mac, sent / kRate, 5s));

  const std::string link = "ip -n " + net->agentNamespace() + " link set " + net->link(0).agentName;
  ASSERT_TRUE(shell(link + " down"));
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(shell(link + " up"));
  std::this_thread::sleep_for(300ms);
  sent += sendFrames(*net, 0, 300);
  EXPECT_TRUE(collector->waitForSamples(mac, sent / kRate, 5s));

  agent->signal(SIGTERM);
  EXPECT_TRUE(exitedCleanly(agent->waitExit(kStop)));
  EXPECT_TRUE(everySampleArrived(collector->samplesFrom(mac), sent, kRate));
}

// The collector sits in the far namespace behind a route over a second link; the route goes
// away while samples are being sent and comes back. Each datagram that could not be sent is
// logged and uses up its sequence number; sending resumes with the route.
TEST_F(Faults, CollectorRouteRemovedWhileSendingAndRestored) {
  const std::string agentNs = net->agentNamespace(), farNs = net->farNamespace();
  net->addLink("10.250.0.1/24");  // capture traffic
  const auto& route = net->addLink("10.250.1.1/24");
  ASSERT_TRUE(shell("ip -n " + farNs + " addr add 10.250.1.2/24 dev " + route.farName));
  ASSERT_TRUE(shell("ip -n " + farNs + " link set lo up"));
  ASSERT_TRUE(shell("ip -n " + farNs + " addr add 10.250.99.1/32 dev lo"));
  const std::string routeCommand = "route add 10.250.99.1/32 via 10.250.1.2";
  ASSERT_TRUE(shell("ip -n " + agentNs + " " + routeCommand));
  collector = std::make_unique<Collector>(farNs, "10.250.99.1");
  agent->writeSettings("10.250.99.1", kRate, 0);
  ASSERT_TRUE(agent->start(agentNs));
  ASSERT_TRUE(agent->waitForOutput("Starting capture", kStart));
  const auto mac = net->link(0).farMac;

  size_t sent = sendFrames(*net, 0, 300);
  ASSERT_TRUE(collector->waitForSamples(mac, sent / kRate, 5s));
  const size_t before = sent / kRate;

  ASSERT_TRUE(shell("ip -n " + agentNs + " route del 10.250.99.1/32"));
  sent += sendFrames(*net, 0, 300);
  ASSERT_TRUE(agent->waitForOutput("Failed to send sFlow packet: ", 5s));
  // The once-a-second flush sends (and fails) what is still pending.
  waitUntilQuiet(*agent, "Failed to send sFlow packet: ");
  const size_t outage = sent / kRate;
  ASSERT_TRUE(shell("ip -n " + agentNs + " " + routeCommand));

  sent += sendFrames(*net, 0, 300);
  ASSERT_TRUE(collector->waitForSamples(mac, before + sent / kRate - outage, 5s));
  agent->signal(SIGTERM);
  EXPECT_TRUE(exitedCleanly(agent->waitExit(kStop)));

  // Samples 1..before and outage+1..end arrived; those of the outage were in the datagrams
  // whose sends failed.
  std::vector<uint32_t> got;
  for (const auto& s : collector->samplesFrom(mac))
    got.push_back(s.sequence);
  std::vector<uint32_t> want;
  for (uint32_t i = 1; i <= before; ++i)
    want.push_back(i);
  for (uint32_t i = static_cast<uint32_t>(outage) + 1; i <= sent / kRate; ++i)
    want.push_back(i);
  EXPECT_EQ(got, want);

  // One failure line per lost datagram, and one datagram sequence number used up by each.
  const auto datagrams = collector->datagrams();
  ASSERT_FALSE(datagrams.empty());
  size_t missing = 0;
  for (size_t i = 1; i < datagrams.size(); ++i) {
    ASSERT_GT(datagrams[i].sequence, datagrams[i - 1].sequence);
    missing += datagrams[i].sequence - datagrams[i - 1].sequence - 1;
  }
  missing += datagrams.front().sequence - 1;
  EXPECT_EQ(missing, agent->count("Failed to send sFlow packet: "));
  EXPECT_GE(missing, 1u);
  EXPECT_EQ(collector->undecodable(), 0u);
}

TEST_F(Faults, LogDirectoryUnwritable) {
  net->addLink("10.250.0.1/24");
  collector = std::make_unique<Collector>(net->agentNamespace(), "127.0.0.1");
  agent->writeSettings("127.0.0.1", kRate, 0);
  ASSERT_TRUE(agent->start(net->agentNamespace(), AgentProcess::Restriction::ReadOnlyLogDirectory));
  ASSERT_TRUE(agent->waitForOutput("Starting capture", kStart));
  // log4cplus says once that it cannot open the file; the agent goes on without it.
  EXPECT_NE(agent->output().find("log4cplus:ERROR"), std::string::npos);

  const size_t sent = sendFrames(*net, 0, 500);
  EXPECT_TRUE(collector->waitForSamples(net->link(0).farMac, sent / kRate, 5s));
  agent->signal(SIGTERM);
  EXPECT_TRUE(exitedCleanly(agent->waitExit(kStop)));
  EXPECT_TRUE(everySampleArrived(collector->samplesFrom(net->link(0).farMac), sent, kRate));
}

// The log's file system fills up while the agent logs a failure line per datagram (the
// collector's route is gone): logging fails, sampling and sending do not.
TEST_F(Faults, LogFileSystemFullWhileLoggingSendFailures) {
  const std::string agentNs = net->agentNamespace(), farNs = net->farNamespace();
  net->addLink("10.250.0.1/24");
  const auto& route = net->addLink("10.250.1.1/24");
  ASSERT_TRUE(shell("ip -n " + farNs + " addr add 10.250.1.2/24 dev " + route.farName));
  ASSERT_TRUE(shell("ip -n " + farNs + " link set lo up"));
  ASSERT_TRUE(shell("ip -n " + farNs + " addr add 10.250.99.1/32 dev lo"));
  const std::string routeCommand = "route add 10.250.99.1/32 via 10.250.1.2";
  ASSERT_TRUE(shell("ip -n " + agentNs + " " + routeCommand));
  collector = std::make_unique<Collector>(farNs, "10.250.99.1");
  agent->writeSettings("10.250.99.1", kRate, 0);
  ASSERT_TRUE(agent->start(agentNs, AgentProcess::Restriction::FullLogDirectory));
  ASSERT_TRUE(agent->waitForOutput("Starting capture", kStart));
  const auto mac = net->link(0).farMac;

  ASSERT_TRUE(shell("ip -n " + agentNs + " route del 10.250.99.1/32"));
  // 2000 samples, some 200 datagrams and as many failure lines: about 20 KiB of log, far
  // more than the 4 KiB file system holds.
  size_t sent = sendFrames(*net, 0, 20000);
  ASSERT_TRUE(agent->waitForOutput("Failed to send sFlow packet: ", 5s, 150));
  waitUntilQuiet(*agent, "Failed to send sFlow packet: ");
  const size_t lost = sent / kRate;
  ASSERT_TRUE(shell("ip -n " + agentNs + " " + routeCommand));
  EXPECT_TRUE(agent->alive());

  // The file, seen through the agent's own mount namespace, holds a page of what was logged.
  struct stat log {};
  ASSERT_EQ(::stat(("/proc/" + std::to_string(agent->pid()) + "/root" + agent->logDirectory() +
                    "/wendrel.log")
                       .c_str(),
                   &log),
            0);
  EXPECT_LE(log.st_size, 4096);
  EXPECT_GT(agent->output().size(), 4u * 4096);

  sent += sendFrames(*net, 0, 500);
  ASSERT_TRUE(collector->waitForSamples(mac, sent / kRate - lost, 5s));
  agent->signal(SIGTERM);
  EXPECT_TRUE(exitedCleanly(agent->waitExit(kStop)));
  const auto samples = collector->samplesFrom(mac);
  ASSERT_EQ(samples.size(), sent / kRate - lost);
  for (size_t i = 0; i < samples.size(); ++i)
    EXPECT_EQ(samples[i].sequence, lost + i + 1);
}

std::string garbage(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string text(size, '\0');
  for (char& c : text)
    c = static_cast<char>(random());
  return text;
}

TEST_F(Faults, SettingsFileOfBinaryGarbage) {
  net->addLink("10.250.0.1/24");
  collector = std::make_unique<Collector>(net->agentNamespace(), "127.0.0.1");
  // Garbage alone: no collector address, a clear error and a failed start.
  agent->writeSettings(garbage(64 * 1024, 1) + std::string(100000, 'x'));
  ASSERT_TRUE(agent->start(net->agentNamespace()));
  const auto status = agent->waitExit(kStart);
  ASSERT_TRUE(status.has_value()) << "hung on a garbage settings file";
  ASSERT_TRUE(WIFEXITED(*status)) << "died of signal " << WTERMSIG(*status);
  EXPECT_EQ(WEXITSTATUS(*status), 0x05);  // E_FAIL's low byte
  EXPECT_NE(agent->output().find("Failed to read collector address"), std::string::npos);
  EXPECT_NE(agent->output().find("Wendrel: exit status 0x80004005"), std::string::npos);
  EXPECT_GE(agent->count("Ignoring malformed line"), 1u);

  // The same garbage around three good lines: they are read, the rest is skipped.
  agent->writeSettings(garbage(8 * 1024, 2) + "\nCollectorAddress = 127.0.0.1\nSamplingRate = " +
                       std::to_string(kRate) + "\nPerformanceMode = 0\n" + garbage(8 * 1024, 3));
  ASSERT_TRUE(agent->start(net->agentNamespace()));
  ASSERT_TRUE(agent->waitForOutput("Starting capture", kStart));
  const size_t sent = sendFrames(*net, 0, 300);
  EXPECT_TRUE(collector->waitForSamples(net->link(0).farMac, sent / kRate, 5s));
  agent->signal(SIGTERM);
  EXPECT_TRUE(exitedCleanly(agent->waitExit(kStop)));
  EXPECT_TRUE(everySampleArrived(collector->samplesFrom(net->link(0).farMac), sent, kRate));
}

// Traffic keeps flowing while two SIGTERMs arrive back to back (after the signals that mean
// nothing in the foreground): the agent stops once, in
// order, and every sample it took reached the collector (the per-source sequence numbers
// run from 1 without a gap to the last one taken).
TEST_F(Faults, TwoSigtermsInARowUnderTraffic) {
  startAgent(1);
  const size_t before = sendFrames(*net, 0, 1000);
  ASSERT_TRUE(collector->waitForSamples(net->link(0).farMac, before / kRate, 5s));
  // The signals that mean nothing in the foreground change nothing.
  for (int sig : {SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE})
    agent->signal(sig);
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(agent->alive());

  std::atomic<bool> stop{false};
  std::thread sender([&] {
    for (int i = 0; i < 20000 && !stop; ++i)
      net->send(0, testFrame(net->link(0), uint32_t(i)));
  });
  std::this_thread::sleep_for(50ms);
  agent->signal(SIGTERM);
  agent->signal(SIGTERM);
  const auto status = agent->waitExit(kStop);
  stop = true;
  sender.join();
  EXPECT_TRUE(exitedCleanly(status));
  // Give the last datagram time to arrive; it was sent before the agent exited.
  std::this_thread::sleep_for(200ms);
  const auto samples = collector->samplesFrom(net->link(0).farMac);
  ASSERT_GE(samples.size(), before / kRate);
  for (size_t i = 0; i < samples.size(); ++i)
    ASSERT_EQ(samples[i].sequence, i + 1);
  EXPECT_EQ(agent->count("Closing capture device"), 1u);
}

// With every netlink socket refused, libpcap cannot enumerate devices, so the supervisor
// keeps retrying (every 30 s). A stop then must not wait for the next attempt.
TEST_F(Faults, SigtermWhileTheSupervisorRetriesEnumeration) {
  net->addLink("10.250.0.1/24");
  agent->writeSettings("127.0.0.1", kRate, 0);
  ASSERT_TRUE(agent->start(net->agentNamespace(), AgentProcess::Restriction::NoNetlink));
  ASSERT_TRUE(
      agent->waitForOutput("Failed to initialize capture engine, waiting for retry...", kStart))
      << agent->output();
  EXPECT_NE(agent->output().find("Failed to find devices: "), std::string::npos);
  const auto start = std::chrono::steady_clock::now();
  agent->signal(SIGTERM);
  EXPECT_TRUE(exitedCleanly(agent->waitExit(kStop)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

// SIGTERM at a range of moments in the first milliseconds of start-up: the agent either
// ends in order (exit 0) or, before main has installed its signal handling, by the signal's
// default action; it never crashes or hangs.
TEST_F(Faults, SigtermInTheFirstMilliseconds) {
  net->addLink("10.250.0.1/24");
  agent->writeSettings("127.0.0.1", kRate, 0);
  std::set<std::string> outcomes;
  for (int delayUs : {0, 100, 300, 1000, 2000, 3000, 5000, 8000, 12000, 20000, 40000, 80000}) {
    ASSERT_TRUE(agent->start(net->agentNamespace()));
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
    agent->signal(SIGTERM);
    const auto status = agent->waitExit(kStop);
    ASSERT_TRUE(status.has_value()) << "hung after SIGTERM at " << delayUs << " us";
    if (WIFSIGNALED(*status)) {
      ASSERT_EQ(WTERMSIG(*status), SIGTERM) << "crashed after SIGTERM at " << delayUs << " us";
      outcomes.insert("signal");
    } else {
      ASSERT_EQ(WEXITSTATUS(*status), 0) << "after SIGTERM at " << delayUs << " us:\n"
                                         << agent->output();
      outcomes.insert("exit 0");
    }
  }
  // The late ones, at least, went through the orderly stop.
  EXPECT_EQ(outcomes.count("exit 0"), 1u);
}

}  // namespace
}  // namespace wendrel::test
