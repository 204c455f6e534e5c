// The agent needs no more privilege than its unit grants: as the user nobody, holding only the
// capabilities of the unit's CapabilityBoundingSet, it captures and exports; without them it
// says why it cannot capture, and still stops in order. The unit it installs stays within a
// committed systemd-analyze exposure ceiling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <sstream>

#include "agent_rig.h"

namespace wendrel::test {
namespace {

using namespace std::chrono_literals;

// "systemd-analyze security" rates a unit from 0 (fully locked down) to 10; below 2.0 it calls
// the exposure "OK". The unit must not slide back above that.
constexpr double kExposureCeiling = 2.0;

// The first word after the first `key` in `text`, or with `line` the rest of that line.
std::string after(const std::string& text, const std::string& key, bool line = false) {
  const size_t at = text.find(key);
  std::string rest = at == std::string::npos ? "" : text.substr(at + key.size());
  rest = rest.substr(0, rest.find('\n'));
  if (line)
    return rest;
  std::istringstream words(rest);
  std::string word;
  words >> word;
  return word;
}

// For setpriv: "CapabilityBoundingSet=CAP_NET_RAW CAP_X" gives "+net_raw,+x".
std::string unitCapabilities() {
  std::string line = after(readFile(WENDREL_UNIT), "CapabilityBoundingSet=", true), caps;
  std::transform(line.begin(), line.end(), line.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::istringstream names(line);
  for (std::string name; names >> name;)
    if (name.rfind("cap_", 0) == 0)
      caps += (caps.empty() ? "+" : ",+") + name.substr(4);
  return caps;
}

class LeastPrivilege : public AgentInNetns {
 protected:
  void SetUp() override {
    AgentInNetns::SetUp();
    if (IsSkipped() || HasFatalFailure())
      return;
    if (!shell("command -v setpriv"))
      GTEST_SKIP() << "setpriv (util-linux) is not installed";
    prepare({"10.250.0.1/24"});
  }
  // The agent starts as nobody with capabilities `caps` ("" for none) and no others.
  void asNobody(const std::string& caps) {
    const std::string also = caps.empty() ? "" : "," + caps;
    agent->wrapper = {"setpriv",        "--reuid=nobody",         "--regid=nogroup",
                      "--clear-groups", "--inh-caps=-all" + also, "--bounding-set=-all" + also};
    if (!caps.empty())
      agent->wrapper.push_back("--ambient-caps=" + caps);
  }
  std::string status(const std::string& field) const {
    return after(readFile("/proc/" + std::to_string(agent->pid()) + "/status"), "\n" + field + ":");
  }
};

TEST_F(LeastPrivilege, CapturesAndExportsAsNobodyWithOnlyTheUnitsCapabilities) {
  const std::string caps = unitCapabilities();
  ASSERT_EQ(caps, "+net_raw") << "the unit grants other capabilities than this test expects";
  asNobody(caps);
  ASSERT_TRUE(capturing());
  // Really unprivileged: nobody, and CAP_NET_RAW (bit 13) is all it holds.
  EXPECT_EQ(status("Uid"), "65534");
  EXPECT_EQ(status("CapEff"), "0000000000002000");
  EXPECT_EQ(status("CapPrm"), "0000000000002000");
  sampleAndStop(500);
}

TEST_F(LeastPrivilege, WithoutCapabilitiesSaysWhyItCannotCapture) {
  asNobody("");
  ASSERT_TRUE(agent->start());
  const std::string device = "Device " + net->link(0).agentName;
  ASSERT_TRUE(agent->waitForOutput(device + " is not supported: ", 10s));
  EXPECT_NE(agent->output().find("Operation not permitted"), std::string::npos);
  EXPECT_EQ(agent->count(device + " initialized successfully"), 0u);
  // It stays up, capturing nothing, and stops in order.
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(agent->alive());
  sendFrames(*net, 0, 100);
  EXPECT_EQ(stop(), 0);
  EXPECT_TRUE(collector->samplesFrom(net->link(0).farMac).empty());
}

// The unit the agent itself installs ("-Service"), rated by systemd-analyze offline.
TEST(UnitExposure, WithinTheCommittedCeiling) {
  if (!shell("systemd-analyze --version"))
    GTEST_SKIP() << "systemd-analyze is not installed";
  Agent agent(WENDREL_BINARY);
  const std::string units = agent.root() + "/etc/systemd/system", report = agent.dir() + "/report";
  ASSERT_TRUE(shell("mkdir -p " + agent.root() + "/run/systemd/system " + units));
  ASSERT_EQ(agent.run("-Service"), "0 ");
  shell("systemd-analyze security --offline=true --no-pager " + units + "/wendrel.service >" +
        report + " 2>&1; true");
  const std::string exposure =
      after(readFile(report), "Overall exposure level for wendrel.service: ");
  ASSERT_FALSE(exposure.empty()) << readFile(report);
  EXPECT_LE(std::stod(exposure), kExposureCeiling) << readFile(report);
  std::cout << "exposure level " << exposure << " (ceiling " << kExposureCeiling << ")\n";
}

}  // namespace
}  // namespace wendrel::test
