// The agent needs no more privilege than its unit grants: as the unprivileged user nobody,
// holding only the capabilities of the unit's CapabilityBoundingSet, it captures and exports;
// without them it says clearly why it cannot capture, and still stops in order. The unit it
// installs stays within a committed systemd-analyze exposure ceiling.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "agent_rig.h"
#include "netns.h"

namespace wendrel::test {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kRate = 10;
// "systemd-analyze security" rates the unit from 0 (fully locked down) to 10; below 2.0 it
// calls the exposure "OK". The unit must not slide back above that.
constexpr double kExposureCeiling = 2.0;

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The capabilities the unit grants, for setpriv: "CAP_NET_RAW CAP_X" becomes "+net_raw,+x".
std::string unitCapabilities() {
  std::istringstream unit(readAll(WENDREL_UNIT));
  std::string line, caps;
  while (std::getline(unit, line)) {
    if (line.rfind("CapabilityBoundingSet=", 0) != 0)
      continue;
    std::istringstream names(line.substr(line.find('=') + 1));
    std::string name;
    while (names >> name) {
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      if (name.rfind("cap_", 0) == 0)
        caps += (caps.empty() ? "+" : ",+") + name.substr(4);
    }
  }
  return caps;
}

std::string statusField(int pid, const std::string& field) {
  std::istringstream status(readAll("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      std::istringstream value(line.substr(field.size() + 1));
      std::string first;
      value >> first;
      return first;
    }
  }
  return {};
}

class LeastPrivilege : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NetnsPair::available())
      GTEST_SKIP() << "needs root for network namespaces";
    if (!shell("command -v setpriv"))
      GTEST_SKIP() << "setpriv (util-linux) is not installed";
    net = std::make_unique<NetnsPair>("p");
    ASSERT_TRUE(shell("ip -n " + net->agentNamespace() + " link set lo up"));
    net->addLink("10.250.0.1/24");
    collector = std::make_unique<Collector>(net->agentNamespace(), "127.0.0.1");
    agent = std::make_unique<AgentProcess>(WENDREL_BINARY);
    agent->writeSettings("127.0.0.1", kRate, 0);
  }
  void TearDown() override {
    if (agent && ::testing::Test::HasFailure()) {
      std::cerr << "--- agent output\n" << agent->output() << "---\n";
    }
    agent.reset();
    collector.reset();
    net.reset();
  }

  std::vector<std::string> asNobody(const std::string& caps) const {
    std::vector<std::string> words{"setpriv", "--reuid=nobody", "--regid=nogroup",
                                   "--clear-groups"};
    if (caps.empty()) {
      words.insert(words.end(), {"--inh-caps=-all", "--bounding-set=-all"});
    } else {
      words.insert(words.end(), {"--inh-caps=-all," + caps, "--ambient-caps=" + caps,
                                 "--bounding-set=-all," + caps});
    }
    return words;
  }

  std::unique_ptr<NetnsPair> net;
  std::unique_ptr<Collector> collector;
  std::unique_ptr<AgentProcess> agent;
};

TEST_F(LeastPrivilege, CapturesAndExportsAsNobodyWithOnlyTheUnitsCapabilities) {
  const std::string caps = unitCapabilities();
  ASSERT_EQ(caps, "+net_raw") << "the unit grants other capabilities than this test expects";
  ASSERT_TRUE(agent->start(net->agentNamespace(), AgentProcess::Restriction::None, asNobody(caps)));
  ASSERT_TRUE(agent->waitForOutput("Starting capture", 10s));
  EXPECT_EQ(agent->count("Device " + net->link(0).agentName + " initialized successfully"), 1u);
  // Really unprivileged: nobody, and CAP_NET_RAW (bit 13) is all it holds.
  EXPECT_EQ(statusField(agent->pid(), "Uid"), "65534");
  EXPECT_EQ(statusField(agent->pid(), "CapEff"), "0000000000002000");
  EXPECT_EQ(statusField(agent->pid(), "CapPrm"), "0000000000002000");

  const size_t sent = sendFrames(*net, 0, 500);
  EXPECT_TRUE(collector->waitForSamples(net->link(0).farMac, sent / kRate, 5s));
  agent->signal(SIGTERM);
  const auto status = agent->waitExit(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  EXPECT_TRUE(everySampleArrived(collector->samplesFrom(net->link(0).farMac), sent, kRate));
}

TEST_F(LeastPrivilege, WithoutCapabilitiesSaysWhyItCannotCapture) {
  ASSERT_TRUE(agent->start(net->agentNamespace(), AgentProcess::Restriction::None, asNobody("")));
  const std::string device = net->link(0).agentName;
  ASSERT_TRUE(agent->waitForOutput("Device " + device + " is not supported: ", 10s));
  EXPECT_NE(agent->output().find("Operation not permitted"), std::string::npos);
  EXPECT_EQ(agent->count("Device " + device + " initialized successfully"), 0u);

  // It stays up, capturing nothing, and stops in order.
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(agent->alive());
  sendFrames(*net, 0, 100);
  agent->signal(SIGTERM);
  const auto status = agent->waitExit(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  EXPECT_TRUE(collector->samplesFrom(net->link(0).farMac).empty());
}

// The unit the agent itself installs ("-Service"), rated by systemd-analyze offline.
TEST(UnitExposure, WithinTheCommittedCeiling) {
  if (!shell("systemd-analyze --version"))
    GTEST_SKIP() << "systemd-analyze is not installed";
  AgentProcess scratch(WENDREL_BINARY);
  const std::string root = scratch.root();
  ASSERT_TRUE(shell("mkdir -p " + root + "/run/systemd/system " + root + "/etc/systemd/system"));
  ASSERT_TRUE(shell("env -i PATH=/usr/bin:/bin HOME=" + root + " WENDREL_ROOT=" + root +
                    " WENDREL_SYSTEMCTL=/bin/true " + root + "/bin/wendrel -Service"));
  const std::string unit = root + "/etc/systemd/system/wendrel.service";
  ASSERT_FALSE(readAll(unit).empty());

  FILE* analysis = ::popen(
      ("systemd-analyze security --offline=true --no-pager " + unit + " 2>&1").c_str(), "r");
  ASSERT_NE(analysis, nullptr);
  std::string report;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, analysis) != nullptr)
    report += buffer;
  ::pclose(analysis);

  const std::string marker = "Overall exposure level for wendrel.service: ";
  const size_t at = report.find(marker);
  ASSERT_NE(at, std::string::npos) << report;
  const double exposure = std::stod(report.substr(at + marker.size()));
  EXPECT_LE(exposure, kExposureCeiling) << report;
  std::cout << "exposure level " << exposure << " (ceiling " << kExposureCeiling << ")\n";
}

}  // namespace
}  // namespace wendrel::test
