// The settings file read at start: its lines, then each setting's value, default or warning.
#include "agent_settings.h"

#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>
#include <unistd.h>

#include <fstream>

#include "file_settings_store.h"
#include "log_capture.h"

namespace wendrel {
namespace {

TEST(ValueFile, ReadsTypedValuesAndSkipsMalformedLinesAlone) {
  const struct {
    const char* line;
    std::optional<std::string> text;
    std::optional<uint32_t> number;
  } cases[] = {
      {"A = \"192.0.2.10\"   # a comment", "192.0.2.10", {}},
      {"A = \"a \\\"b\\\" c\\\\d # no comment\"", "a \"b\" c\\d # no comment", {}},
      {"A = collector.example.net  # bare text", "collector.example.net", {}},
      {"A =", "", {}},
      {"A = 9\na = 0032", {}, 32},  // the later line wins
      {"A = 0X20", {}, 32},
      {"A = 4294967295", {}, 0xFFFFFFFFu},
      {"  a\t=\t7\r", {}, 7},
  };
  for (const auto& c : cases) {
    const Record file = valueFile::parse(c.line);
    EXPECT_EQ(file.readString("a", 255), c.text) << c.line;
    EXPECT_EQ(file.readUInt32("A"), c.number) << c.line;
  }
  std::vector<int> malformed;
  const std::string longest(valueFile::kMaxLineLength - 4, 'x');
  const Record file = valueFile::parse(
      "# comment\n\nA 5\n= 5\nA B = 5\nA-B = 5\nA = \"never closed\nA = \"x\" y\nA = 4294967296\n"
      "A = 0x100000000\n\xEF\xBB\xBF\nC = " +
          longest + "\nD = " + longest + "x\nB = 2\n",
      &malformed);
  EXPECT_EQ(malformed, (std::vector<int>{3, 4, 5, 6, 7, 8, 9, 10, 11, 13}));
  EXPECT_EQ(file.readString("C", longest.size() + 1), longest);
  EXPECT_FALSE(file.readUInt32("A"));
  EXPECT_EQ(file.readUInt32("B"), 2u);
}

// What the agent goes on with, "-" when it cannot start.
std::string inEffect(const std::optional<AgentSettings>& s) {
  if (!s)
    return "-";
  const CollectorSettings& c = s->collector;
  return s->collectorAddress + " " + std::to_string(s->samplingRate) +
         (s->performanceMode ? " on " : " off ") + (c.sampling.random ? "random " : "determ ") +
         (c.sampling.ipv6 ? "ip " : "ipv4 ") + (c.sourceIdIsIfIndex ? "ifindex " : "index ") +
         std::to_string(c.counterIntervalS) + (c.agentAddress.empty() ? "" : " " + c.agentAddress) +
         (c.ebpf ? " ebpf" : "") + (c.interfaces.empty() ? "" : " [" + c.interfaces + "]");
}

// What each file gives and how many warnings it draws; one that cannot start logs one error.
TEST(AgentSettings, DefaultsWarningsAndTheSettingsInEffect) {
  std::string c254;  // a list of names filling the capacity to the last byte
  while (c254.size() < 250)
    c254 += "ccccccccc,";
  c254 += "cccc";
  const std::string base = "CollectorAddress = c\nSamplingRate = 8\n";
  const std::tuple<std::string, std::string, size_t> cases[] = {
      {"CollectorAddress = 192.0.2.10\nSamplingRate = 64\nPerformanceMode = 0",
       "192.0.2.10 64 off random ip ifindex 30", 0},
      // A quoted number is text (two warnings). Names the agent does not know are pointed out
      // (a mistyped one most likely), whatever their case.
      {"CollectorAddress = \"c.example\"\nSamplingRate = \"64\"\nSampleRate = 64\n"
       "trafficc = 1\nsamplingmethod = 1\nCOUNTERINTERVAL = 1\nSourceID = 1\nTraffic = 1",
       "c.example 32 on random ip ifindex 1", 7},
      {"CollectorAddress = " + c254 + "\nSamplingRate = 8\nPerformanceMode = 2",
       c254 + " 8 on random ip ifindex 30", 1},
      {"CollectorAddress = c\nSamplingRate = 0\nPerformanceMode = 1\nCounterInterval = 3601",
       "c 1 on random ip ifindex 30", 2},
      {"CollectorAddress = " + c254 + "c", "-", 0},
      {"CollectorAddress = 7", "-", 0},
      // Resolved as the empty name, the collector would silently be this host.
      {"CollectorAddress = \"  \"", "-", 0},
      {"CollectorAddress = \"a.example b.example:0\"", "-", 0},
      // The optional settings: in any case, then wrong.
      {base + "PerformanceMode = 1\nSamplingMethod = \"Deterministic\"\nTraffic = \"IPv4\"\n"
              "SourceId = IfIndex\nCounterInterval = 3600\nCapture = EBPF",
       "c 8 on determ ipv4 ifindex 3600 ebpf", 0},
      {base + "PerformanceMode = 0\nSamplingMethod = RANDOM\nTraffic = iP\nSourceId = index\n"
              "CounterInterval = 0\nagentaddress = 2001:db8::/32\ninterfaces = \"eth* !eth9\"",
       "c 8 off random ip index 0 2001:db8::/32 [eth* !eth9]", 0},
      {base + "PerformanceMode = 1\nSamplingMethod = \"sometimes\"\nTraffic = ipv6\n"
              "SourceId = \"1\"\nCounterInterval = soon\nAgentAddress = 10.0.0.256\n"
              "Capture = bpf\nInterfaces = \"eth0 !\"",
       "c 8 on random ip ifindex 30", 7},
  };
  log4cplus::Logger logger = log4cplus::Logger::getInstance("Wendrel");
  const std::string path = "/tmp/wendrel-settings-" + std::to_string(::getpid());
  for (const auto& [settings, result, warnings] : cases) {
    std::ofstream(path) << settings;
    FileSettingsStore store(path);
    test::LogCapture log;
    EXPECT_EQ(inEffect(readAgentSettings(store, logger)), result) << settings;
    EXPECT_EQ(log.messages(log4cplus::WARN_LOG_LEVEL).size(), warnings) << settings;
    EXPECT_EQ(log.messages(log4cplus::ERROR_LOG_LEVEL).size(), result == "-") << settings;
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace wendrel
