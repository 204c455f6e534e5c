// What the running agent tells: its figures on the service's status line and at stop, and a
// warning while it captures on no interface.
#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>

#include <future>

#include "agent_monitor.h"
#include "log_capture.h"
#include "service_fakes.h"
#include "wendrel_module.h"

namespace wendrel {
namespace {

using namespace std::chrono_literals;
using test::Strings;

TEST(AgentStatus, FiguresOnTheStatusLineAndAtStopAndAWarningWhileNothingIsCaptured) {
  test::FakePlatform p("CollectorAddress = 192.0.2.10");
  p.records["AppID"] = "LocalService = Wendrel";
  struct : RegistrationOperations {
    int32_t RegisterAppId(bool) override { return 0; }
    int32_t UnregisterAppId() override { return 0; }
    int32_t RegisterServer(bool) override { return 0; }
    int32_t UnregisterServer(bool) override { return 0; }
    void SetPerUserRegistration() override {}
  } registration;
  // A status at every idle tick.
  CWendrelModule module(ModuleSeams{p, p, p, p, p, p, registration, "/opt/wendrel/wendrel", 0ms});
  AgentFigures none;
  none.captureTried = true;
  none.noInterfaceReason = "Operation not permitted: the agent needs CAP_NET_RAW";
  p.setFigures(none);
  test::LogCapture log("Wendrel");
  auto result = std::async(std::launch::async, [&] { return module.WinMain("wendrel"); });
  struct Stop {
    test::FakePlatform& p;
    ~Stop() { p.post(SERVICE_CONTROL_STOP); }
  } stop{p};

  const std::string idle = "STATUS=Running: no interface captured";
  ASSERT_TRUE(p.waitFor("sd", idle));
  const AgentFigures busy{2, 1234567, 38580, 6430, 0, 1000, true, ""};
  p.setFigures(busy);
  const std::string figures =
      "2 interfaces, 1,234,567 packets seen, 38,580 samples in 6,430 datagrams, 0 dropped by "
      "the kernel, 1,000 send errors";
  ASSERT_TRUE(p.waitFor("sd", "STATUS=Running: " + figures));
  p.post(SERVICE_CONTROL_STOP);
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);

  // The first report after READY=1 is plain; the figures follow.
  const Strings sd = p.log("sd");
  ASSERT_GE(sd.size(), 4u);
  EXPECT_EQ(Strings(sd.begin(), sd.begin() + 3),
            (Strings{"STATUS=Starting", "READY=1\nSTATUS=Running", idle}));
  EXPECT_EQ(sd.back(), "STATUS=Stopped, exit code 0x00000000");
  EXPECT_EQ(log.messages(log4cplus::WARN_LOG_LEVEL),
            (Strings{"Failed to read sampling rate from the registry, using the default of 32",
                     "Failed to read performance mode from the registry, using the default of 1",
                     "No interface captured: " + none.noInterfaceReason}));
  EXPECT_TRUE(log.contains(log4cplus::INFO_LOG_LEVEL, "At stop: " + figures));
}

TEST(AgentStatus, TheWarningComesAgainEveryTenMinutesWhileNothingIsCaptured) {
  test::LogCapture log("Wendrel");
  const auto t0 = AgentMonitor::Clock::now();
  AgentMonitor monitor(log4cplus::Logger::getInstance("Wendrel"), 10s, t0);
  EXPECT_FALSE(monitor.due(t0 + 9s));
  AgentFigures figures;  // no devices looked for yet: nothing to warn of
  EXPECT_EQ(monitor.poll(figures, t0),
            "Running: 0 interfaces, 0 packets seen, 0 samples in 0 "
            "datagrams, 0 dropped by the kernel, 0 send errors");
  EXPECT_TRUE(monitor.due(t0 + 10s));
  figures.captureTried = true;
  for (const auto at : {60s, 600s, 659s, 660s})  // 10 minutes apart: one more
    EXPECT_EQ(monitor.poll(figures, t0 + at), "Running: no interface captured");
  figures.interfaces = 1;
  EXPECT_EQ(monitor.poll(figures, t0 + 12min).substr(0, 20), "Running: 1 interface");
  figures.interfaces = 0;  // a new spell warns at once
  monitor.poll(figures, t0 + 12min + 1s);
  EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL, "No interface captured"), 3u);
}

}  // namespace
}  // namespace wendrel
