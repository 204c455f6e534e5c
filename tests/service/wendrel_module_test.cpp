// The service module with every seam it reaches faked: the command line, the run and the
// life of the service, and what the running agent tells.
#include "wendrel_module.h"

#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>

#include <functional>
#include <future>
#include <thread>

#include "agent_monitor.h"
#include "log_capture.h"
#include "service_fakes.h"
#include "status_codes.h"
#include "wendrel_main.h"

namespace wendrel {
namespace {

using namespace std::chrono_literals;
using test::Strings;

// Every setting that reaches capture differs from its default, so none is lost on the way.
constexpr char kSettings[] =
    "CollectorAddress = 192.0.2.10\nSamplingRate = 64\nPerformanceMode = 0\nSourceId = ifindex\n"
    "SamplingMethod = deterministic\nTraffic = ipv4\nCounterInterval = 5";
const std::string kStarting = "STATUS=Starting", kReady = "READY=1\nSTATUS=Running";
const std::string kStoppedOk = "STATUS=Stopped, exit code 0x00000000";
const std::string kStoppedFail = "STATUS=Stopped, exit code 0x80004005";
const Strings kCreated = {"reporter 192.0.2.10",
                          "collector 128 2097152 64 off ifindex deterministic ipv4 counters 5",
                          "start"};
// Capture ends before the last datagram goes out; both objects go on Run's thread.
const Strings kTeardown = {"stop", "flush", "delete collector", "delete reporter"};

Strings operator+(Strings a, const Strings& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Runs `f` on leaving the scope, so a failed assertion never leaves a run waited for forever.
struct AtExit {
  std::function<void()> f;
  ~AtExit() { f(); }
};

struct Harness {
  explicit Harness(std::chrono::milliseconds status = 10s)
      : module({settings, p, p, p, p, p, p, "/opt/wendrel/wendrel", status}) {}
  test::FakeSettings settings{kSettings};
  test::FakePlatform p;
  CWendrelModule module;
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
      EXPECT_EQ(h.p.registered, calls) << line;
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
  EXPECT_EQ(h.p.registered, kRegServer);
}

// With a status period of 0 the status line follows each idle tick's flush.
TEST(Service, RunsUntilStoppedFlushingTwiceASecondAndTellingItsFigures) {
  Harness h(0ms);
  // The user's record is looked at first; an empty name still makes a service.
  h.p.records["AppID"] = "";
  h.p.records["AppID/user"] = "LocalService = \"\"";
  AgentFigures none;
  none.captureTried = true;
  none.noInterfaceReason = "Operation not permitted: the agent needs CAP_NET_RAW";
  h.p.setFigures(none);
  test::LogCapture log("Wendrel");
  auto result = std::async(std::launch::async, [&] { return h.module.WinMain("wendrel"); });
  AtExit stop{[&] { h.p.post(SERVICE_CONTROL_STOP); }};
  ASSERT_TRUE(h.p.waitFor("sd", kReady));
  const auto readyAt = std::chrono::steady_clock::now();
  const std::string idle = "STATUS=Running: no interface captured";
  ASSERT_TRUE(h.p.waitFor("sd", idle));
  for (uint32_t control : {SERVICE_CONTROL_INTERROGATE, 128u})
    h.p.post(control);
  AgentFigures busy{2, 1234567, 38580, 6430, 0, 1000, true, "", 15, "192.0.2.1", {}};
  busy.collectorErrors = {{"c.test:6343", 998}, {"[::1]:9", 2}};
  h.p.setFigures(busy);
  const std::string figures =
      "2 interfaces, 1,234,567 packets seen, 38,580 flow and 15 counter samples in 6,430 "
      "datagrams, 0 dropped by the kernel, 1,000 send errors (998 to c.test:6343, 2 to [::1]:9), "
      "agent address 192.0.2.1";
  ASSERT_TRUE(h.p.waitFor("sd", "STATUS=Running: " + figures));
  std::this_thread::sleep_until(readyAt + 1250ms);
  const auto stopAt = std::chrono::steady_clock::now();
  h.p.post(SERVICE_CONTROL_STOP);
  h.p.post(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(h.p.waitFor("sd", kStoppedOk));
  // Idle interfaces or not, the idle loop wakes on the stop itself.
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 900ms);
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(result.get(), S_OK);
  h.module.Handler(SERVICE_CONTROL_STOP);

  Strings sd = h.p.log("sd"), calls = h.p.log("agent");
  const auto ticks = sd.size() - 4;
  EXPECT_TRUE(ticks == 2 || ticks == 3) << ticks;  // in 1.25 s
  sd.erase(std::unique(sd.begin(), sd.end()), sd.end());
  EXPECT_EQ(sd, (Strings{kStarting, kReady, idle, "STATUS=Running: " + figures, "STOPPING=1",
                         kStoppedOk}));
  EXPECT_EQ(calls, kCreated + Strings(ticks, "flush") + kTeardown);
  EXPECT_EQ(h.p.log("event"),
            (Strings{"Wendrel: Bad service request", "Wendrel: Service stopped"}));
  EXPECT_EQ(log.messages(log4cplus::WARN_LOG_LEVEL),
            Strings{"No interface captured: " + none.noInterfaceReason});
  const Strings info = log.messages(log4cplus::INFO_LOG_LEVEL);
  EXPECT_EQ(info.front(),
            "No log configuration file /opt/wendrel/log4j.properties, logging INFO and above to "
            "stderr");
  EXPECT_EQ(info.back(), "At stop: " + figures);
}

TEST(AgentMonitor, TheWarningComesAgainEveryTenMinutesWhileNothingIsCaptured) {
  test::LogCapture log("Wendrel");
  const auto t0 = AgentMonitor::Clock::now();
  AgentMonitor monitor(log4cplus::Logger::getInstance("Wendrel"), 10s, t0);
  EXPECT_FALSE(monitor.due(t0 + 9s));
  AgentFigures figures;
  monitor.poll(figures, t0);  // no devices looked for yet: nothing to warn of
  EXPECT_TRUE(monitor.due(t0 + 10s));
  figures.captureTried = true;
  for (const auto at : {60s, 600s, 659s, 660s})  // 10 minutes apart: one more
    monitor.poll(figures, t0 + at);
  figures.interfaces = 1;
  EXPECT_EQ(monitor.poll(figures, t0 + 12min).substr(0, 21), "Running: 1 interface,");
  figures.interfaces = 0;  // a new spell warns at once
  monitor.poll(figures, t0 + 12min + 1s);
  EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL, "No interface captured"), 3u);
}

TEST(Service, AStopBeforeTheLoopIsHonouredThere) {
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
  // Even one that came before Run began.
  Harness early;
  early.module.OnStop();
  auto run = std::async(std::launch::async, [&] { return early.module.Run(); });
  AtExit stopRun{[&] { early.module.OnStop(); }};
  ASSERT_EQ(run.wait_for(5s), std::future_status::ready) << "the stop was lost";
  EXPECT_EQ(run.get(), S_OK);
  EXPECT_EQ(early.p.log("agent"), kCreated + kTeardown);
}

TEST(Service, FailedRunsStopWithEFailAndReleaseWhatTheyMade) {
  for (const std::string failing : {"reporter", "collector"}) {
    Harness h;
    h.p.failing = failing;
    test::LogCapture log("Wendrel");
    h.module.ServiceMain();
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
