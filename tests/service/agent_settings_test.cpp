// The settings file read at start: its lines, then each setting's default and warning, and
// the lines that tell what is in effect.
#include "agent_settings.h"

#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>

#include "log_capture.h"
#include "service_fakes.h"

namespace wendrel {
namespace {

using test::Strings;

TEST(ValueFile, ReadsTypedValuesAndSkipsMalformedLinesAlone) {
  const struct {
    const char* line;
    std::optional<std::string> text;
    std::optional<uint32_t> number;
  } cases[] = {
      {"A = \"192.0.2.10\"   # a comment", "192.0.2.10", {}},
      {"A = \"a \\\"b\\\" c\\\\d # no comment\"", "a \"b\" c\\d # no comment", {}},
      {"A = collector.example.net  # bare text", "collector.example.net", {}},
      {"A = \"64\"", "64", {}},
      {"A =", "", {}},
      {"A = 9\na = 0032", {}, 32},  // the later line wins
      {"A = 0X20", {}, 32},
      {"A = 4294967295", {}, 0xFFFFFFFFu},
      {"  a\t=\t7\r", {}, 7},
      {"\xEF\xBB\xBF"
       "A = 7",
       {},
       7},  // a byte-order mark
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
         (c.ebpf ? " ebpf" : "");
}

TEST(AgentSettings, DefaultsWarningsAndTheSettingsInEffect) {
  std::string c254;  // a list of names filling the capacity to the last byte
  while (c254.size() < 250)
    c254 += "ccccccccc,";
  c254 += "cccc";
  const std::string file = "/etc/wendrel/wendrel.conf", base = "CollectorAddress = c\n";
  const std::string noAddress =
      "E Failed to read collector address from the registry, cannot start";
  const std::string invalid = " is not valid, using the default ", in8 = "I Sampling 1 in 8 ";
  // Every line logged, in order, its level first; one that ends in "..." is matched by its start.
  const struct {
    std::string settings, result;
    Strings log;
  } cases[] = {
      {"CollectorAddress = 192.0.2.10\nSamplingRate = 64\nPerformanceMode = 0",
       "192.0.2.10 64 off random ip ifindex 30",
       {"I Settings from " + file +
            ": CollectorAddress = 192.0.2.10, SamplingRate = 64, PerformanceMode = 0, "
            "SamplingMethod = random, Traffic = ip, SourceId = ifindex, CounterInterval = 30, "
            "AgentAddress = \"\"",
        "I Sampling 1 in 64 packets of IPv4 and IPv6 traffic at random"}},
      // A quoted number is text. Names the agent does not know are pointed out (a mistyped one
      // most likely), whatever their case.
      {"CollectorAddress = \"c.example\"\nSamplingRate = \"64\"\nSampleRate = 64\n"
       "trafficc = 1\nsamplingmethod = 1\nCOUNTERINTERVAL = 1\nSourceID = 1\nTraffic = 1",
       "c.example 32 on random ip ifindex 1",
       {"W Unknown setting SampleRate in " + file + " is ignored",
        "W Unknown setting trafficc in " + file + " is ignored",
        "W Failed to read sampling rate from the registry, using the default of 32",
        "W Failed to read performance mode from the registry, using the default of 1",
        "W Setting SamplingMethod = 1" + invalid + "\"random\"",
        "W Setting Traffic = 1" + invalid + "\"ip\"",
        "W Setting SourceId = 1" + invalid + "\"ifindex\"",
        "I Settings from " + file +
            ": CollectorAddress = c.example, SamplingRate = 32, PerformanceMode = 1, "
            "SamplingMethod = random, Traffic = ip, SourceId = ifindex, CounterInterval = 1, "
            "AgentAddress = \"\"",
        "I Sampling 1 in 32 packets of IPv4 and IPv6 traffic at random, preselected in the "
        "kernel"}},
      {"CollectorAddress = " + c254 + "\nSamplingRate = 8\nPerformanceMode = 2",
       c254 + " 8 on random ip ifindex 30",
       {"W Setting PerformanceMode = 2" + invalid + "1", "I Settings from ...", in8 + "..."}},
      {base + "SamplingRate = 0\nPerformanceMode = 1\nCounterInterval = 3601",
       "c 1 on random ip ifindex 30",
       {"W Sampling rate 0 is not valid, using 1 (every packet)",
        "W Setting CounterInterval = 3601" + invalid + "30", "I Settings from ...",
        "I Sampling 1 in 1 packets ..."}},
      {"CollectorAddress = " + c254 + "c", "-", {noAddress}},
      {"CollectorAddress = 7", "-", {noAddress}},
      // Resolved as the empty name, the collector would silently be this host.
      {"CollectorAddress = \"  \"", "-", {noAddress + ": no collector is given"}},
      {"CollectorAddress = \"a.example b.example:0\"",
       "-",
       {noAddress + ": \"b.example:0\" is not a host name or address with an optional port"}},
      // The optional settings: in any case, then wrong.
      {base + "SamplingRate = 8\nPerformanceMode = 1\nSamplingMethod = \"Deterministic\"\n"
              "Traffic = \"IPv4\"\nSourceId = IfIndex\nCounterInterval = 3600\nCapture = EBPF",
       "c 8 on determ ipv4 ifindex 3600 ebpf",
       {"I Settings from ...",
        in8 + "packets of IPv4 traffic deterministically, preselected in the kernel on IPv4 "
              "header checksums"}},
      {base + "SamplingRate = 8\nPerformanceMode = 0\nSamplingMethod = RANDOM\nTraffic = iP\n"
              "SourceId = index\nCounterInterval = 0\nagentaddress = 2001:db8::/32",
       "c 8 off random ip index 0 2001:db8::/32",
       {"I Settings from ...", in8 + "packets of IPv4 and IPv6 traffic at random"}},
      {base +
           "SamplingRate = 8\nPerformanceMode = 1\nSamplingMethod = \"sometimes\"\n"
           "Traffic = ipv6\nSourceId = \"1\"\nCounterInterval = soon\nAgentAddress = 10.0.0.256\n"
           "Capture = bpf",
       "c 8 on random ip ifindex 30",
       {"W Setting SamplingMethod = \"sometimes\"" + invalid + "\"random\"",
        "W Setting Traffic = \"ipv6\"" + invalid + "\"ip\"",
        "W Setting SourceId = \"1\"" + invalid + "\"ifindex\"",
        "W Setting CounterInterval = \"soon\"" + invalid + "30",
        "W Setting AgentAddress = \"10.0.0.256\"" + invalid +
            "\"\" (an address of the first captured interface with one)",
        "W Setting Capture = \"bpf\"" + invalid + "\"pcap\"", "I Settings from ...",
        in8 + "packets of IPv4 and IPv6 traffic at random, preselected in the kernel"}},
  };
  for (const auto& c : cases) {
    test::FakeSettings store(c.settings);
    test::LogCapture log("Wendrel");
    log4cplus::Logger logger = log4cplus::Logger::getInstance("Wendrel");
    EXPECT_EQ(inEffect(readAgentSettings(store, logger)), c.result) << c.settings;
    const Strings warnings = log.messages(log4cplus::WARN_LOG_LEVEL);
    const Strings errors = log.messages(log4cplus::ERROR_LOG_LEVEL);
    Strings lines;
    for (const std::string& m : log.messages()) {
      const bool error = std::count(errors.begin(), errors.end(), m) > 0;
      std::string line = (error                                             ? "E "
                          : std::count(warnings.begin(), warnings.end(), m) ? "W "
                                                                            : "I ") +
                         m;
      const std::string& want = lines.size() < c.log.size() ? c.log[lines.size()] : line;
      const size_t start = want.size() - 3;
      if (want.size() > 3 && want.compare(start, 3, "...") == 0 &&
          line.compare(0, start, want, 0, start) == 0)
        line = want;
      lines.push_back(line);
    }
    EXPECT_EQ(lines, c.log) << c.settings;
  }
}

}  // namespace
}  // namespace wendrel
