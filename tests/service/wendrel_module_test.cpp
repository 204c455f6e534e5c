// The service module with every seam it reaches faked: the command line, the settings, the
// run and the life of the service.
#include "wendrel_module.h"

#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>

#include <functional>
#include <future>
#include <thread>

#include "log_capture.h"
#include "service_fakes.h"
#include "status_codes.h"
#include "wendrel_main.h"

namespace wendrel {
namespace {

using namespace std::chrono_literals;
using test::FakePlatform, test::Strings;

// Registration operations that record their calls.
struct FakeRegistration : RegistrationOperations {
  int32_t RegisterAppId(bool service) override {
    return call(service ? "RegisterAppId(service)" : "RegisterAppId");
  }
  int32_t UnregisterAppId() override { return call("UnregisterAppId"); }
  int32_t RegisterServer(bool tlb) override {
    return call(tlb ? "RegisterServer(tlb)" : "RegisterServer");
  }
  int32_t UnregisterServer(bool tlb) override {
    return call(tlb ? "UnregisterServer(tlb)" : "UnregisterServer");
  }
  void SetPerUserRegistration() override { call("PerUser"); }
  int32_t call(const std::string& name) {
    calls += (calls.empty() ? "" : " ") + name;
    return 0;
  }
  std::string calls;
};

constexpr char kSettings[] =
    "CollectorAddress = 192.0.2.10\nSamplingRate = 64\nPerformanceMode = 0";
const std::string kStarting = "STATUS=Starting", kReady = "READY=1\nSTATUS=Running";
const std::string kStoppedOk = "STATUS=Stopped, exit code 0x00000000";
const std::string kStoppedFail = "STATUS=Stopped, exit code 0x80004005";
const std::string kNoAddress = "Failed to read collector address from the registry, cannot start";
const Strings kCreated = {"reporter 192.0.2.10", "collector 128 2097152 64 off", "start"};
// Capture ends before the last datagram goes out; both objects go on Run's thread.
const Strings kTeardown = {"stop", "flush", "delete collector", "delete reporter"};

Strings operator+(Strings a, const Strings& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A run's calls but those of the idle loop, which flushes twice a second.
Strings withoutIdleFlushes(Strings calls) {
  if (calls.size() > 7)
    calls.erase(calls.begin() + 3, calls.end() - 4);
  return calls;
}

// Runs `f` on leaving the scope, so a failed assertion never leaves a run waited for forever.
struct AtExit {
  std::function<void()> f;
  ~AtExit() { f(); }
};

struct Harness {
  explicit Harness(const std::string& settings = kSettings, std::chrono::milliseconds status = 10s)
      : p(settings), period(status) {}
  FakePlatform p;
  FakeRegistration registration;
  std::chrono::milliseconds period;
  CWendrelModule module{
      ModuleSeams{p, p, p, p, p, p, registration, "/opt/wendrel/wendrel", period}};
};

const std::string kRegServer = "RegisterAppId RegisterServer(tlb)";
const std::string kUnregServer = "UnregisterServer(tlb) UnregisterAppId";

TEST(CommandLine, GrammarActsOnTheDecidingSwitchOnly) {
  const std::pair<std::string, std::vector<const char*>> outcomes[] = {
      // No switch: a candidate ends only at a space, a tab or the end of the line, and the
      // program's own path is scanned too.
      {"",
       {"x -RegServerX", "x -Services", "x -Service\"", "x \"-Service\\\"\"", "x Service RegServer",
        "/opt/my-agent/wendrel", "/opt/x-Service/wendrel", "\"/opt/my agent/-Service/wendrel\""}},
      // Case, '-' and '/'; the registration switches are looked for over the whole line before
      // "Service", and the leftmost match decides.
      {kRegServer,
       {"x -regserver", "x /REGSERVER", "x -Service -RegServer", "x -RegServer -UnregServer",
        "/tmp/-RegServer -Service"}},
      {kUnregServer, {"x -UnRegServer", "x -Service /UnregServer", "x -UnregServer -RegServer"}},
      // In "--Service" the first '-' gives "-Service", no switch, the second "Service".
      {"RegisterAppId(service) RegisterServer(tlb)",
       {"x --Service", "x -service\t", "/tmp/-service"}},
      {"PerUser " + kRegServer, {"x /RegServerPerUser"}},
      {"PerUser " + kUnregServer, {"x -unregserverperuser"}}};
  for (const auto& [calls, lines] : outcomes) {
    for (const char* line : lines) {
      Harness h;
      int32_t status = -1;
      EXPECT_EQ(h.module.ParseCommandLine(line, &status), calls.empty()) << line;
      EXPECT_EQ(status, 0) << line;
      EXPECT_EQ(h.registration.calls, calls) << line;
    }
  }
}

TEST(CommandLine, RebuiltFromArgvAsThePlatformQuotes) {
  // Quoted when empty or holding a space, a tab or a quotation mark; backslashes are doubled
  // only before a quotation mark.
  // clang-format off
  const char* argv[] = {"/opt/my agent/wendrel", "-Service\"", "", "a\\b\tc", "a\\\"b", "dir\\ x\\",
                        "/RegServer"};
  // clang-format on
  const std::string line = buildCommandLine(7, argv);
  EXPECT_EQ(line,
            "\"/opt/my agent/wendrel\" \"-Service\\\"\" \"\" \"a\\b\tc\" \"a\\\\\\\"b\" "
            "\"dir\\ x\\\\\" /RegServer");
  // The argument keeps its quotation mark, so it is no "Service" switch.
  Harness h;
  int32_t status = 0;
  EXPECT_TRUE(h.module.ParseCommandLine(buildCommandLine(2, argv), &status));
  EXPECT_FALSE(h.module.ParseCommandLine(line, &status));
  EXPECT_EQ(h.registration.calls, kRegServer);
}

TEST(Run, ReadsTheThreeSettings) {
  std::string c254;  // a list of names filling the capacity to the last byte
  while (c254.size() < 250)
    c254 += "ccccccccc,";
  c254 += "cccc";
  const struct {
    std::string settings;
    Strings created;  // none: Run fails
    Strings warnings;
    std::string error = kNoAddress;  // when Run fails
    std::string inEffect = {};
  } cases[] = {
      {kSettings,
       kCreated,
       {},
       {},
       "CollectorAddress = 192.0.2.10, SamplingRate = 64, PerformanceMode = 0, "
       "SamplingMethod = random, Traffic = ip, SourceId = index, CounterInterval = 30"},
      // A quoted number is text, not a number. Names the agent does not know are pointed out
      // (a mistyped one most likely), whatever their case; those of other versions are not.
      {"CollectorAddress = \"c.example\"\nSamplingRate = \"64\"\nSampleRate = 64\n"
       "trafficc = 1\nsamplingmethod = 1\nCOUNTERINTERVAL = 1\nSourceID = 1\nTraffic = 1",
       {"reporter c.example", "collector 128 2097152 32 on counters 1", "start"},
       {"Unknown setting SampleRate in /etc/wendrel/wendrel.conf is ignored",
        "Unknown setting trafficc in /etc/wendrel/wendrel.conf is ignored",
        "Failed to read sampling rate from the registry, using the default of 32",
        "Failed to read performance mode from the registry, using the default of 1",
        "SamplingMethod 1 is not valid, using the default of \"random\"",
        "Traffic 1 is not valid, using the default of \"ip\"",
        "Setting SourceId = 1 is not valid, using the default \"index\""},
       {},
       "CollectorAddress = c.example, SamplingRate = 32, PerformanceMode = 1, "
       "SamplingMethod = random, Traffic = ip, SourceId = index, CounterInterval = 1"},
      {"CollectorAddress = " + c254 + "\nSamplingRate = 8\nPerformanceMode = 2",
       {"reporter " + c254, "collector 128 2097152 8 off", "start"},
       {}},
      {"CollectorAddress = c\nSamplingRate = 0\nPerformanceMode = 1",
       {"reporter c", "collector 128 2097152 1 on", "start"},
       {"Sampling rate 0 is not valid, using 1 (every packet)"}},
      {"CollectorAddress = " + c254 + "c\nSamplingRate = 8", {}, {}},
      {"CollectorAddress = 7", {}, {}},
      // Resolved as the empty name, the collector would silently be this host.
      {"CollectorAddress = \"  \"", {}, {}, kNoAddress + ": no collector is given"},
      {"CollectorAddress = \"a.example b.example:0\"",
       {},
       {},
       kNoAddress + ": \"b.example:0\" is not a host name or address with an optional port"},
      // The optional SourceId and CounterInterval: valid values, then wrong ones.
      {std::string(kSettings) + "\nSourceId = ifindex\nCounterInterval = 3600",
       {"reporter 192.0.2.10", "collector 128 2097152 64 off ifindex counters 3600", "start"},
       {}},
      {std::string(kSettings) + "\nSourceId = index\nCounterInterval = 0",
       {"reporter 192.0.2.10", "collector 128 2097152 64 off counters 0", "start"},
       {}},
      {std::string(kSettings) + "\nSourceId = 5\nCounterInterval = 3601",
       kCreated,
       {"Setting SourceId = 5 is not valid, using the default \"index\"",
        "Setting CounterInterval = 3601 is not valid, using the default 30"}},
      {std::string(kSettings) + "\nSourceId = IfIndex\nCounterInterval = soon",
       {"reporter 192.0.2.10", "collector 128 2097152 64 off ifindex", "start"},
       {"Setting CounterInterval = \"soon\" is not valid, using the default 30"}},
  };
  for (const auto& c : cases) {
    Harness h(c.settings);
    test::LogCapture log("Wendrel");
    h.module.OnStop();  // Run then configures, starts and returns at its loop
    auto run = std::async(std::launch::async, [&] { return h.module.Run(0); });
    AtExit stop{[&] { h.module.OnStop(); }};
    ASSERT_EQ(run.wait_for(5s), std::future_status::ready) << "the stop was lost";
    EXPECT_EQ(run.get(), c.created.empty() ? E_FAIL : S_OK) << c.settings;
    EXPECT_EQ(h.p.log("agent"), c.created.empty() ? Strings{} : c.created + kTeardown);
    EXPECT_EQ(log.messages(log4cplus::WARN_LOG_LEVEL), c.warnings);
    EXPECT_EQ(log.messages(log4cplus::ERROR_LOG_LEVEL),
              c.created.empty() ? Strings{c.error} : Strings{});
    const Strings info = log.messages(log4cplus::INFO_LOG_LEVEL);
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(info[0],
              "No log configuration file /opt/wendrel/log4j.properties, logging INFO and above "
              "to stderr");
    if (!c.inEffect.empty()) {
      EXPECT_TRUE(log.contains(log4cplus::INFO_LOG_LEVEL,
                               "Settings from /etc/wendrel/wendrel.conf: " + c.inEffect));
    }
  }
}

// The two sampling settings: absent or wrong (a warning then) is the default, case is ignored.
TEST(Run, ReadsTheSamplingSettings) {
  const std::string base = "CollectorAddress = c\nSamplingRate = 8\n";
  const std::string kMethod = "SamplingMethod \"sometimes\" is not valid, using the default of ";
  const struct {
    std::string settings, sampling, info;
    Strings warnings;
  } cases[] = {
      {"", "random ip", "of IPv4 and IPv6 traffic at random, preselected in the kernel", {}},
      {"SamplingMethod = \"Deterministic\"\nTraffic = \"IPv4\"",
       "deterministic ipv4",
       "of IPv4 traffic deterministically, preselected in the kernel on IPv4 header checksums",
       {}},
      {"SamplingMethod = \"RANDOM\"\nTraffic = \"ip\"\nPerformanceMode = 0",
       "random ip",
       "of IPv4 and IPv6 traffic at random",
       {}},
      {"SamplingMethod = \"sometimes\"\nTraffic = 6",
       "random ip",
       "of IPv4 and IPv6 traffic at random, preselected in the kernel",
       {kMethod + "\"random\"", "Traffic 6 is not valid, using the default of \"ip\""}},
  };
  for (const auto& c : cases) {
    Harness h(base + c.settings);
    test::LogCapture log("Wendrel");
    h.module.OnStop();
    ASSERT_EQ(h.module.Run(0), S_OK);
    EXPECT_EQ(h.p.log("sampling"), Strings{c.sampling}) << c.settings;
    Strings warnings = log.messages(log4cplus::WARN_LOG_LEVEL);
    warnings.erase(std::remove(warnings.begin(), warnings.end(),
                               "Failed to read performance mode from the registry, using the "
                               "default of 1"),
                   warnings.end());
    EXPECT_EQ(warnings, c.warnings) << c.settings;
    EXPECT_EQ(log.messages(log4cplus::INFO_LOG_LEVEL).at(2), "Sampling 1 in 8 packets " + c.info);
  }
}

TEST(Service, RunsUntilStoppedFlushingTwiceASecond) {
  Harness h;
  // The user's record is looked at first; an empty name still makes a service.
  h.p.records["AppID"] = "";
  h.p.records["AppID/user"] = "LocalService = \"\"";
  auto result = std::async(std::launch::async, [&] { return h.module.WinMain("wendrel"); });
  AtExit stop{[&] { h.p.post(SERVICE_CONTROL_STOP); }};
  ASSERT_TRUE(h.p.waitFor("sd", kReady));
  for (uint32_t control : {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                           SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_SHUTDOWN, 128u})
    h.p.post(control);
  std::this_thread::sleep_for(1250ms);
  const auto stopAt = std::chrono::steady_clock::now();
  h.p.post(SERVICE_CONTROL_STOP);
  h.p.post(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(h.p.waitFor("sd", kStoppedOk));
  // Idle interfaces or not, the idle loop wakes on the stop itself.
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 900ms);
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(result.get(), S_OK);
  h.module.Handler(SERVICE_CONTROL_STOP);
  EXPECT_EQ(h.p.log("sd"), (Strings{kStarting, kReady, "STOPPING=1", kStoppedOk}));
  EXPECT_EQ(h.p.log("event"),
            (Strings{"Wendrel: Bad service request", "Wendrel: Service stopped"}));
  const Strings calls = h.p.log("agent");
  EXPECT_EQ(withoutIdleFlushes(calls), kCreated + kTeardown);
  EXPECT_GE(calls.size(), 9u);  // 2 or 3 idle flushes
  EXPECT_LE(calls.size(), 10u);
}

TEST(Service, StopWhileConfiguringIsHonouredAtTheLoop) {
  Harness h;
  h.p.holdReporter = true;
  auto service = std::async(std::launch::async, [&] { h.module.ServiceMain(); });
  AtExit stop{[&] {
    h.p.releaseReporter();
    h.module.Handler(SERVICE_CONTROL_STOP);
  }};
  ASSERT_TRUE(h.p.waitFor("agent", "reporter 192.0.2.10"));
  h.module.Handler(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(h.p.waitFor("sd", "STOPPING=1"));
  h.p.releaseReporter();
  ASSERT_EQ(service.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(h.p.log("sd"), (Strings{kStarting, "STOPPING=1", kStoppedOk}));
  EXPECT_EQ(h.p.log("agent"), kCreated + kTeardown);
}

TEST(Service, FailedRunsStopWithEFailAndReleaseWhatTheyMade) {
  for (const std::string failing : {"reporter", "collector"}) {
    Harness h;
    h.p.failing = failing;
    test::LogCapture log("Wendrel");
    h.module.ServiceMain();
    EXPECT_EQ(h.module.win32ExitCode(), static_cast<uint32_t>(E_FAIL));
    EXPECT_EQ(h.p.log("event"), Strings{"Wendrel: Service stopped"});
    if (failing == "reporter") {
      // Run reports the stop while the exit code is still 0; ServiceMain again with its result.
      EXPECT_EQ(h.p.log("sd"), (Strings{kStarting, kStoppedOk, kStoppedFail}));
      EXPECT_EQ(h.p.log("agent"), (Strings{"reporter 192.0.2.10", "delete reporter"}));
    } else {
      EXPECT_EQ(h.p.log("sd"), (Strings{kStarting, kStoppedFail}));
      EXPECT_EQ(h.p.log("agent"),
                kCreated + (Strings{"stop", "delete collector", "delete reporter"}));
      EXPECT_EQ(log.messages(log4cplus::ERROR_LOG_LEVEL),
                Strings{"The agent failed: thread creation failed"});
    }
  }
  Harness h;
  h.module.LogEvent("%s", std::string(300, 'x').c_str());
  EXPECT_EQ(h.p.log("event"), Strings{"Wendrel: " + std::string(255, 'x')});
}

// Signals that can no longer be received would leave an agent nothing can stop.
TEST(Foreground, RunIsStoppedInOrderWhenSignalsAreLost) {
  Harness h;
  h.p.records["AppID"] = "";
  test::LogCapture log("Wendrel");
  h.p.post(SignalSource::kFailed);
  auto result = std::async(std::launch::async, [&] { return h.module.WinMain("wendrel"); });
  AtExit stop{[&] { h.module.OnStop(); }};
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready) << "the run goes on, deaf";
  EXPECT_EQ(result.get(), E_FAIL);
  EXPECT_EQ(h.p.log("agent"), kCreated + kTeardown);
  EXPECT_EQ(log.messages(log4cplus::ERROR_LOG_LEVEL),
            Strings{"Cannot receive signals any more, stopping"});
}

TEST(WendrelMain, ExitStatusAndWhatToDoWhenTheAgentCannotStart) {
  Harness h;  // no records: never registered
  char arg0[] = "/opt/wendrel/wendrel";
  char* argv[] = {arg0, nullptr};
  testing::internal::CaptureStderr();
  EXPECT_EQ(wendrelMain(1, argv, h.module), 2);
  h.p.records["AppID"] = "LocalService = Wendrel";
  h.p.startedByManager = false;
  EXPECT_EQ(wendrelMain(1, argv, h.module), 39);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Wendrel: exit status 0x00000002\nWendrel: not registered; run \"/opt/wendrel/wendrel "
            "-RegServer\" to run it in the foreground or \"/opt/wendrel/wendrel -Service\" to "
            "install the systemd service\nWendrel: exit status 0x00000427\nWendrel: not started "
            "by the service manager (NOTIFY_SOCKET is not set); use \"systemctl start "
            "wendrel.service\"\n");
  // The low byte, but never 0 for a failure.
  EXPECT_EQ(exitStatusFromStatus(static_cast<int32_t>(0x80070100u)), 1);
}

}  // namespace
}  // namespace wendrel
