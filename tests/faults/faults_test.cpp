// The real agent under faults of its environment, in network namespaces: interfaces that
// vanish, a collector that becomes unreachable, a log it cannot write, a settings file of
// garbage, and stop signals at awkward moments. Each case ends with no crash, no hang (every
// wait is bounded) and every sample taken at the collector.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <random>
#include <set>

#include "agent_rig.h"

namespace wendrel::test {
namespace {

using namespace std::chrono_literals;
using testing::AllOf, testing::HasSubstr, testing::StartsWith;

const std::string kSendFailed = "Failed to send sFlow packet: ";

using Faults = AgentInNetns;

// Capture goes on where it can: on a link taken down and up again, on the one kept when the
// other is deleted; with every link deleted the agent idles until it is told to stop.
TEST_F(Faults, CaptureInterfacesDeletedOneAfterAnother) {
  prepare({"10.250.0.1/24", "10.250.1.1/24"});
  ASSERT_TRUE(capturing());
  const auto mac0 = net->link(0).farMac, mac1 = net->link(1).farMac;
  size_t sent0 = sendFrames(*net, 0, 300);
  const size_t sent1 = sendFrames(*net, 1, 300);
  ASSERT_TRUE(collector->waitForSamples(mac1, sent1 / kRate, 5s));

  net->removeLink(1);
  ASSERT_TRUE(agent->waitForOutput("Closing capture device", 5s));
  EXPECT_EQ(agent->count("Error in pcap_loop"), 1u);
  sent0 += sendFrames(*net, 0, 300);
  EXPECT_TRUE(collector->waitForSamples(mac0, sent0 / kRate, 5s));

  const std::string link0 =
      "ip -n " + net->agentNamespace() + " link set " + net->link(0).agentName;
  ASSERT_TRUE(shell(link0 + " down"));
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(shell(link0 + " up"));
  std::this_thread::sleep_for(300ms);
  sent0 += sendFrames(*net, 0, 300);
  EXPECT_TRUE(collector->waitForSamples(mac0, sent0 / kRate, 5s));

  const size_t closed = agent->count("Closing capture device");
  net->removeLink(0);
  ASSERT_TRUE(agent->waitForOutput("Closing capture device", 5s, closed + 1));
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(agent->alive());
  EXPECT_EQ(stop(), 0);
  EXPECT_TRUE(everySampleArrived(collector->samplesFrom(mac0), sent0, kRate));
  EXPECT_TRUE(everySampleArrived(collector->samplesFrom(mac1), sent1, kRate));
  EXPECT_EQ(collector->undecodable(), 0u);
}

// A host whose interfaces have no IPv4 address yet (a boot before DHCP has answered): a
// collector given as a dotted address is still taken, and sampling works.
TEST_F(Faults, CollectorLiteralTakenBeforeAnyInterfaceHasAnAddress) {
  prepare({""});
  ASSERT_TRUE(capturing());
  sampleAndStop(300);
}

// The collector sits in the far namespace behind a route over a second link, which goes away
// while samples are sent and comes back; meanwhile the failure lines fill the log's file
// system. Each datagram not sent is logged and uses up its sequence number; logging fails,
// sampling and sending do not.
TEST_F(Faults, CollectorRouteRemovedWhileSendingAndRestored) {
  const std::string far = "ip -n " + net->farNamespace() + " ";
  const std::string route =
      "ip -n " + net->agentNamespace() + " route add 10.250.99.1/32 via 10.250.1.2";
  net->addLink("10.250.0.1/24");
  ASSERT_TRUE(shell(far + "addr add 10.250.1.2/24 dev " + net->addLink("10.250.1.1/24").farName));
  ASSERT_TRUE(shell(far + "link set lo up") && shell(far + "addr add 10.250.99.1/32 dev lo"));
  ASSERT_TRUE(shell(route));
  collector = std::make_unique<Collector>(net->farNamespace(), "10.250.99.1");
  agent->settings("10.250.99.1", kRate, 0);
  agent->restriction = Agent::Restriction::FullLog;
  ASSERT_TRUE(capturing());
  const auto mac = net->link(0).farMac;
  size_t sent = sendFrames(*net, 0, 300);
  ASSERT_TRUE(collector->waitForSamples(mac, sent / kRate, 5s));
  const size_t before = sent / kRate;

  ASSERT_TRUE(shell("ip -n " + net->agentNamespace() + " route del 10.250.99.1/32"));
  // Some 200 datagrams and as many failure lines: far more than the 4 KiB file system holds.
  sent += sendFrames(*net, 0, 20000);
  ASSERT_TRUE(agent->waitForOutput(kSendFailed, 5s, 150));
  // The once-a-second flush sends (and fails) what is still pending.
  waitUntilSteady([&] { return agent->count(kSendFailed); }, 1500ms);
  const size_t outage = sent / kRate;
  ASSERT_TRUE(shell(route));
  struct stat log {};
  ASSERT_EQ(::stat(("/proc/" + std::to_string(agent->pid()) + "/root" + agent->logDirectory() +
                    "/wendrel.log")
                       .c_str(),
                   &log),
            0);
  EXPECT_LE(log.st_size, 4096);

  sent += sendFrames(*net, 0, 300);
  ASSERT_TRUE(collector->waitForSamples(mac, before + sent / kRate - outage, 5s));
  EXPECT_EQ(stop(), 0);
  std::vector<uint32_t> got, want;
  for (const auto& s : collector->samplesFrom(mac))
    got.push_back(s.sequence);
  for (uint32_t i = 1; i <= sent / kRate; ++i)
    if (i <= before || i > outage)
      want.push_back(i);
  EXPECT_EQ(got, want);
  const auto datagrams = collector->datagrams();
  ASSERT_FALSE(datagrams.empty());
  size_t missing = datagrams.front().sequence - 1;
  for (size_t i = 1; i < datagrams.size(); ++i) {
    ASSERT_GT(datagrams[i].sequence, datagrams[i - 1].sequence);
    missing += datagrams[i].sequence - datagrams[i - 1].sequence - 1;
  }
  EXPECT_EQ(missing, agent->count(kSendFailed));
  EXPECT_EQ(collector->undecodable(), 0u);
}

TEST_F(Faults, LogDirectoryUnwritable) {
  prepare({"10.250.0.1/24"});
  agent->restriction = Agent::Restriction::ReadOnlyLog;
  ASSERT_TRUE(capturing());
  // log4cplus says once that it cannot open the file; the agent goes on without it.
  EXPECT_THAT(agent->output(), HasSubstr("log4cplus:ERROR"));
  sampleAndStop(500);
}

TEST_F(Faults, SettingsFileOfBinaryGarbage) {
  std::mt19937 random(1);
  auto garbage = [&random](size_t size) {
    std::string text(size, '\0');
    for (char& c : text)
      c = static_cast<char>(random());
    return text;
  };
  prepare({"10.250.0.1/24"});
  // Garbage alone names no collector: a clear error and a failed start (E_FAIL's low byte).
  agent->settings(garbage(64 * 1024) + std::string(100000, 'x'));
  EXPECT_THAT(agent->run(), AllOf(StartsWith("5 "), HasSubstr("Failed to read collector address"),
                                  HasSubstr("Wendrel: exit status 0x80004005")));
  EXPECT_GE(agent->count("Ignoring malformed line"), 1u);
  // Three good lines among the garbage are read, the rest is skipped.
  agent->settings(garbage(8192) + "\nCollectorAddress = 127.0.0.1\nSamplingRate = " +
                  std::to_string(kRate) + "\nPerformanceMode = 0\n" + garbage(8192));
  ASSERT_TRUE(capturing());
  sampleAndStop(300);
}

// Traffic keeps flowing while two SIGTERMs arrive back to back, after the signals that mean
// nothing in the foreground: one orderly stop, and every sample taken reached the collector
// (sequence numbers from 1 without a gap).
TEST_F(Faults, TwoSigtermsInARowUnderTraffic) {
  prepare({"10.250.0.1/24"});
  ASSERT_TRUE(capturing());
  const size_t before = sendFrames(*net, 0, 1000);
  ASSERT_TRUE(collector->waitForSamples(net->link(0).farMac, before / kRate, 5s));
  for (int sig : {SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE})
    agent->signal(sig);
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(agent->alive());

  std::atomic<bool> stopped{false};
  std::thread sender([&] {
    for (uint32_t i = 0; i < 20000 && !stopped; ++i)
      net->send(0, testFrame(net->link(0), i));
  });
  std::this_thread::sleep_for(50ms);
  agent->signal(SIGTERM);
  const int code = stop();
  stopped = true;
  sender.join();
  EXPECT_EQ(code, 0);
  waitUntilSteady([&] { return collector->datagrams().size(); }, 200ms);
  const auto samples = collector->samplesFrom(net->link(0).farMac);
  ASSERT_GE(samples.size(), before / kRate);
  for (size_t i = 0; i < samples.size(); ++i)
    ASSERT_EQ(samples[i].sequence, i + 1);
  EXPECT_EQ(agent->count("Closing capture device"), 1u);
}

// With netlink refused libpcap cannot enumerate devices, so the supervisor retries every
// 30 s; a stop must not wait for the next attempt.
TEST_F(Faults, SigtermWhileTheSupervisorRetriesEnumeration) {
  prepare({"10.250.0.1/24"});
  agent->restriction = Agent::Restriction::NoNetlink;
  ASSERT_TRUE(agent->start());
  ASSERT_TRUE(
      agent->waitForOutput("Failed to initialize capture engine, waiting for retry...", 10s));
  EXPECT_THAT(agent->output(), HasSubstr("Failed to find devices: "));
  EXPECT_EQ(stop(3s), 0);
}

// The agent ends in order, or before main has set up its signal handling by the signal's
// default action; it never crashes or hangs.
TEST_F(Faults, SigtermInTheFirstMilliseconds) {
  prepare({"10.250.0.1/24"});
  std::set<int> codes;
  for (int us : {0, 100, 300, 1000, 2000, 3000, 5000, 8000, 12000, 20000, 40000, 80000}) {
    ASSERT_TRUE(agent->start());
    std::this_thread::sleep_for(std::chrono::microseconds(us));
    const int code = stop();
    ASSERT_TRUE(code == 0 || code == 128 + SIGTERM) << code << " after SIGTERM at " << us << " us";
    codes.insert(code);
  }
  EXPECT_EQ(codes.count(0), 1u);  // the late ones, at least, stopped in order
}

}  // namespace
}  // namespace wendrel::test
