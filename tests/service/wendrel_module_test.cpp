#include "wendrel_module.h"

#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>

#include <algorithm>
#include <future>
#include <thread>

#include "fakes.h"
#include "log_capture.h"
#include "status_codes.h"

namespace wendrel {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

constexpr char kGoodSettings[] =
    "CollectorAddress = 192.0.2.10\nSamplingRate = 64\nPerformanceMode = 0\n";
const std::string kStarting = "STATUS=Starting";
const std::string kReady = "READY=1\nSTATUS=Running";
const std::string kStopping = "STOPPING=1";
const std::string kStoppedOk = "STATUS=Stopped, exit code 0x00000000";
const std::string kStoppedFail = "STATUS=Stopped, exit code 0x80004005";

struct Harness {
  explicit Harness(const std::string& settingsText = kGoodSettings) : settings(settingsText) {}

  test::FakeSettings settings;
  test::FakeNotifier notifier;
  test::FakeEventLog events;
  test::FakeSignals signals;
  test::FakeAgents agents;
  test::FakeRecords records;
  test::FakeRegistration registration;
  CWendrelModule module{
      ModuleSeams{settings, notifier, events, signals, agents, records, registration}};

  // Runs with a stop already requested: Run configures, starts, and returns at its loop.
  int32_t runToCompletion() {
    module.OnStop();
    return module.Run(0);
  }
  size_t flushesBefore(const std::string& call) {
    const Strings calls = agents.log.snapshot();
    const auto end = std::find(calls.begin(), calls.end(), call);
    return static_cast<size_t>(std::count(calls.begin(), end, "flush"));
  }
};

// --- Settings as Run reads them -------------------------------------------------------

TEST(RunSettings, ValuesReachTheCollector) {
  Harness h;
  test::LogCapture log("Wendrel");
  EXPECT_EQ(h.runToCompletion(), S_OK);
  EXPECT_EQ(h.agents.log.snapshot(),
            (Strings{"reporter 192.0.2.10", "collector 128 2097152 64 off", "start", "stop",
                     "flush", "delete collector", "delete reporter"}));
  EXPECT_TRUE(log.messages(log4cplus::WARN_LOG_LEVEL).empty());
  const Strings info = log.messages(log4cplus::INFO_LOG_LEVEL);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0],
            "Configured log using config file " + h.module.exeDirectory() + "log4j.properties");
  EXPECT_EQ(h.module.exeDirectory().back(), '/');
}

TEST(RunSettings, MissingOptionalValuesTakeTheirDefaultsWithWarnings) {
  Harness h("CollectorAddress = \"collector.example.net\"\nSamplingRate = \"64\"\n");
  test::LogCapture log("Wendrel");
  EXPECT_EQ(h.runToCompletion(), S_OK);
  EXPECT_EQ(h.agents.log.snapshot()[1], "collector 128 2097152 32 on");
  EXPECT_EQ(log.messages(log4cplus::WARN_LOG_LEVEL),
            (Strings{"Failed to read sampling rate from the registry, using the default of 32",
                     "Failed to read performance mode from the registry, using the default of 1"}));
}

TEST(RunSettings, PerformanceModeIsOnOnlyForOne) {
  for (const auto& [value, expected] :
       std::vector<std::pair<std::string, std::string>>{{"1", "on"}, {"2", "off"}, {"0", "off"}}) {
    Harness h("CollectorAddress = c\nSamplingRate = 8\nPerformanceMode = " + value + "\n");
    h.runToCompletion();
    EXPECT_EQ(h.agents.log.snapshot()[1], "collector 128 2097152 8 " + expected) << value;
  }
}

TEST(RunSettings, SamplingRateZeroBecomesOne) {
  Harness h("CollectorAddress = c\nSamplingRate = 0\nPerformanceMode = 1\n");
  test::LogCapture log("Wendrel");
  EXPECT_EQ(h.runToCompletion(), S_OK);
  EXPECT_EQ(h.agents.log.snapshot()[1], "collector 128 2097152 1 on");
  EXPECT_EQ(log.messages(log4cplus::WARN_LOG_LEVEL),
            Strings{"Sampling rate 0 is not valid, using 1 (every packet)"});
}

TEST(RunSettings, CollectorAddressMustFit255Bytes) {
  Harness fits("CollectorAddress = " + std::string(254, 'c') + "\n");
  EXPECT_EQ(fits.runToCompletion(), S_OK);
  EXPECT_EQ(fits.agents.log.snapshot()[0], "reporter " + std::string(254, 'c'));

  for (const std::string& settings :
       {"CollectorAddress = " + std::string(255, 'c') + "\n", std::string("CollectorAddress = 7\n"),
        std::string("SamplingRate = 7\n")}) {
    Harness h(settings);
    test::LogCapture log("Wendrel");
    EXPECT_EQ(h.runToCompletion(), E_FAIL);
    EXPECT_TRUE(h.agents.log.snapshot().empty());
    EXPECT_EQ(log.messages(log4cplus::ERROR_LOG_LEVEL),
              Strings{"Failed to read collector address from the registry, cannot start"});
    EXPECT_TRUE(log.messages(log4cplus::WARN_LOG_LEVEL).empty());
  }
}

// --- The service's life: ServiceMain, Handler, OnStop ---------------------------------

class ServiceLife : public testing::Test {
 protected:
  void startService() {
    service_ = std::async(std::launch::async, [this] { h.module.ServiceMain(); });
  }
  void waitStopped() { ASSERT_EQ(service_.wait_for(5s), std::future_status::ready); }
  Harness h;
  std::future<void> service_;
};

TEST_F(ServiceLife, StopReportsStopPendingThenStoppedPromptly) {
  startService();
  ASSERT_TRUE(h.notifier.waitFor(kReady, 5s));
  const auto stopAt = std::chrono::steady_clock::now();
  h.module.Handler(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(h.notifier.waitFor(kStoppedOk, 5s));
  // Idle interfaces or not, the idle loop wakes on the stop itself.
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 900ms);
  waitStopped();
  EXPECT_EQ(h.notifier.snapshot(), (Strings{kStarting, kReady, kStopping, kStoppedOk}));
  EXPECT_EQ(h.events.snapshot(), Strings{"Wendrel: Service stopped"});
  EXPECT_EQ(h.module.win32ExitCode(), 0u);
  EXPECT_EQ(h.module.currentState(), SERVICE_STOPPED);
  // Capture ends before the pending datagram goes out, and both go on Run's thread.
  const Strings calls = h.agents.log.snapshot();
  EXPECT_EQ(Strings(calls.end() - 4, calls.end()),
            (Strings{"stop", "flush", "delete collector", "delete reporter"}));
}

TEST_F(ServiceLife, IdleLoopFlushesOnceASecond) {
  startService();
  ASSERT_TRUE(h.notifier.waitFor(kReady, 5s));
  std::this_thread::sleep_for(2500ms);
  h.module.Handler(SERVICE_CONTROL_STOP);
  waitStopped();
  const size_t flushes = h.flushesBefore("stop");
  EXPECT_GE(flushes, 2u);
  EXPECT_LE(flushes, 3u);
}

TEST_F(ServiceLife, StopWhileConfiguringIsHonouredAtTheLoop) {
  h.agents.holdReporter = true;
  startService();
  h.agents.waitUntilResolving();
  h.module.Handler(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(h.notifier.waitFor(kStopping, 5s));
  h.agents.release();
  waitStopped();
  EXPECT_EQ(h.notifier.snapshot(), (Strings{kStarting, kStopping, kStoppedOk}));
  EXPECT_EQ(h.agents.log.snapshot(),
            (Strings{"reporter 192.0.2.10", "collector 128 2097152 64 off", "start", "stop",
                     "flush", "delete collector", "delete reporter"}));
}

TEST_F(ServiceLife, SecondStopAndOtherControlsChangeNothing) {
  startService();
  ASSERT_TRUE(h.notifier.waitFor(kReady, 5s));
  for (uint32_t control : {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                           SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_SHUTDOWN}) {
    h.module.Handler(control);
  }
  h.module.Handler(128);
  EXPECT_EQ(h.notifier.snapshot(), (Strings{kStarting, kReady}));
  EXPECT_EQ(h.events.snapshot(), Strings{"Wendrel: Bad service request"});
  h.module.Handler(SERVICE_CONTROL_STOP);
  h.module.Handler(SERVICE_CONTROL_STOP);
  waitStopped();
  h.module.Handler(SERVICE_CONTROL_STOP);
  EXPECT_EQ(h.notifier.snapshot(), (Strings{kStarting, kReady, kStopping, kStoppedOk}));
}

TEST_F(ServiceLife, ReporterNotReadyStopsWithFailure) {
  h.agents.reporterReady = false;
  startService();
  waitStopped();
  // Run reports the stop while the exit code is still 0; ServiceMain again with its result.
  EXPECT_EQ(h.notifier.snapshot(), (Strings{kStarting, kStoppedOk, kStoppedFail}));
  EXPECT_EQ(h.module.win32ExitCode(), static_cast<uint32_t>(E_FAIL));
  EXPECT_EQ(h.agents.log.snapshot(), (Strings{"reporter 192.0.2.10", "delete reporter"}));
  EXPECT_EQ(h.events.snapshot(), Strings{"Wendrel: Service stopped"});
}

TEST_F(ServiceLife, FailedCaptureStartStopsCaptureAndReleasesBoth) {
  h.agents.failStart = true;
  test::LogCapture log("Wendrel");
  startService();
  waitStopped();
  EXPECT_EQ(h.notifier.snapshot(), (Strings{kStarting, kStoppedFail}));
  EXPECT_EQ(h.agents.log.snapshot(),
            (Strings{"reporter 192.0.2.10", "collector 128 2097152 64 off", "start", "stop",
                     "delete collector", "delete reporter"}));
  EXPECT_EQ(log.messages(log4cplus::ERROR_LOG_LEVEL),
            Strings{"The agent failed: thread creation failed"});
}

TEST(ServiceLifeSettings, MissingAddressStopsWithFailureAndAnError) {
  Harness h("SamplingRate = 8\n");
  test::LogCapture log("Wendrel");
  h.module.ServiceMain();
  EXPECT_EQ(h.notifier.snapshot(), (Strings{kStarting, kStoppedFail}));
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL,
                      "Failed to read collector address from the registry, cannot start"),
            1u);
  EXPECT_TRUE(h.agents.log.snapshot().empty());
  EXPECT_EQ(h.events.snapshot(), Strings{"Wendrel: Service stopped"});
}

TEST(LogEvent, TruncatesAt255Characters) {
  Harness h;
  h.module.LogEvent("%s", std::string(300, 'x').c_str());
  ASSERT_EQ(h.events.snapshot().size(), 1u);
  EXPECT_EQ(h.events.snapshot()[0], "Wendrel: " + std::string(255, 'x'));
}

// --- Start: service or foreground ---------------------------------------------------

TEST(Start, NeverRegisteredRunsNothing) {
  Harness h;
  EXPECT_EQ(h.module.WinMain("wendrel"), 2);
  EXPECT_TRUE(h.agents.log.snapshot().empty());
  EXPECT_TRUE(h.notifier.snapshot().empty());
}

TEST(Start, SwitchesNeverStartTheAgent) {
  Harness h;
  h.registration.results["RegisterServer"] = static_cast<int32_t>(0x80070005u);
  EXPECT_EQ(h.module.WinMain("wendrel -RegServer"), static_cast<int32_t>(0x80070005u));
  EXPECT_TRUE(h.agents.log.snapshot().empty());
}

TEST(Start, ForegroundRunsUntilAStopSignal) {
  Harness h;
  h.records.records["AppID"] = "";
  auto result = std::async(std::launch::async, [&] { return h.module.WinMain("wendrel"); });
  while (h.agents.log.count("start") == 0)
    std::this_thread::sleep_for(5ms);
  // Only a stop means anything in the foreground.
  h.signals.post(128);
  h.signals.post(SERVICE_CONTROL_INTERROGATE);
  h.signals.post(SERVICE_CONTROL_STOP);
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(result.get(), S_OK);
  EXPECT_FALSE(h.module.isService());
  EXPECT_TRUE(h.notifier.snapshot().empty());
  EXPECT_TRUE(h.events.snapshot().empty());
  EXPECT_EQ(h.agents.log.count("delete reporter"), 1u);
}

TEST(Start, ForegroundResultIsRunsResult) {
  Harness h("SamplingRate = 8\n");
  h.records.records["AppID"] = "LocalService = 5\n";  // not a string: no service
  EXPECT_EQ(h.module.WinMain("wendrel"), E_FAIL);
  EXPECT_FALSE(h.module.isService());
}

TEST(Start, ServiceNotStartedByTheServiceManagerFailsWith1063) {
  Harness h;
  h.records.records["AppID"] = "LocalService = \"Wendrel\"\n";
  h.notifier.started = false;
  EXPECT_EQ(h.module.WinMain("wendrel"), 1063);
  EXPECT_TRUE(h.agents.log.snapshot().empty());
}

TEST(Start, ServiceTakesControlsFromTheMainThread) {
  Harness h;
  // The user's record is looked at first.
  h.records.records["AppID"] = "";
  h.records.records["AppID/user"] = "LocalService = \"\"\n";
  auto result = std::async(std::launch::async, [&] { return h.module.WinMain("wendrel"); });
  ASSERT_TRUE(h.notifier.waitFor(kReady, 5s));
  h.signals.post(128);
  h.signals.post(SERVICE_CONTROL_STOP);
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(result.get(), S_OK);
  EXPECT_TRUE(h.module.isService());
  EXPECT_EQ(h.notifier.snapshot(), (Strings{kStarting, kReady, kStopping, kStoppedOk}));
  EXPECT_EQ(h.events.snapshot(),
            (Strings{"Wendrel: Bad service request", "Wendrel: Service stopped"}));
}

}  // namespace
}  // namespace wendrel
