// The wendrel executable as an operator runs it: a copy beside its own log4j.properties, a
// scratch root prefix and a systemctl that records its calls; for capture, a network namespace
// with a veth whose far end sends frames, and a collector on the namespace's loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "agent_rig.h"
#include "status_codes.h"
#include "unit_file.h"

namespace wendrel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using test::readFile;
using testing::AllOf, testing::EndsWith, testing::HasSubstr, testing::StartsWith;

constexpr char kService[] = "AppID[LocalService = \"Wendrel\"] TypeLib unit";
const std::string kAppIdFile = "/{6f1e2b7a-3c59-4d84-9a0e-5b7c2d41e8f3}.conf";
const std::string kUnit = "/etc/systemd/system/wendrel.service";

std::string failed(const std::string& message) {
  return "5 Wendrel: " + message + "\nWendrel: exit status 0x80004005\n";
}

class EndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"/run/systemd/system", "/etc/systemd/system"})
      fs::create_directories(root_ + d);
    // Exits with the code in systemctl.<verb> when that file exists.
    std::ofstream(dir_ + "/systemctl") << "#!/bin/sh\necho \"$*\" >> \"$0.log\"\n"
                                       << "[ -f \"$0.$1\" ] && exit $(cat \"$0.$1\")\nexit 0\n";
    fs::permissions(dir_ + "/systemctl", fs::perms::owner_all);
    agent.env["WENDREL_SYSTEMCTL"] = dir_ + "/systemctl";
    agent.env["XDG_DATA_HOME"] = root_ + "/home";
  }

  std::string run(const std::string& arg = {}) { return agent.run(arg); }
  // systemctl's calls since the last look.
  std::string calls() {
    const std::string log = readFile(dir_ + "/systemctl.log");
    fs::remove(dir_ + "/systemctl.log");
    return log;
  }
  void systemctlExits(const std::string& verb, int code) {
    std::ofstream(dir_ + "/systemctl." + verb) << code;
  }
  // The files registration left: "unit", the records ("user/" for the user's), AppID with
  // its text.
  std::string state() {
    std::set<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
      std::string path = entry.path().string().substr(root_.size());
      if (!entry.is_regular_file() || path.find("/etc/wendrel/") == 0)
        continue;
      if (path == kUnit)
        path = "unit";
      else if ("/" + entry.path().filename().string() == kAppIdFile)
        path = (path.find("/home/") == 0 ? "user/" : "") +
               entry.path().parent_path().filename().string();
      const std::string content = readFile(entry.path());
      found.insert(path.find("AppID") == std::string::npos
                       ? path
                       : path + "[" + content.substr(0, content.find('\n')) + "]");
    }
    std::string joined;
    for (const auto& f : found)
      joined += (joined.empty() ? "" : " ") + f;
    return joined;
  }

  std::unique_ptr<test::NetnsPair> net;
  std::unique_ptr<test::Collector> collector;
  test::Agent agent{WENDREL_BINARY};  // ended before the namespaces go
  const std::string dir_ = agent.dir(), root_ = agent.root();
};

TEST_F(EndToEnd, NeverRegisteredNoAddressAndStartedByHand) {
  const std::string exe = dir_ + "/bin/wendrel";
  EXPECT_EQ(run(), "2 Wendrel: exit status 0x00000002\nWendrel: not registered; run \"" + exe +
                       " -RegServer\" to run it in the foreground or \"" + exe +
                       " -Service\" to install the systemd service\n");
  ASSERT_EQ(run("-RegServer"), "0 ");
  const std::string noFile = run();  // no settings file: no collector address
  EXPECT_THAT(noFile, AllOf(StartsWith("5 "),
                            HasSubstr("INFO Wendrel - Configured log using config file " + dir_ +
                                      "/bin/log4j.properties\n"),
                            HasSubstr("ERROR Wendrel - Failed to read collector address from the "
                                      "registry, cannot start\n"),
                            EndsWith("Wendrel: exit status 0x80004005\n")));
  agent.settings("SamplingRate = 8\nCollectorAddress 127.0.0.1\n");
  EXPECT_THAT(run(),
              AllOf(StartsWith("5 "), HasSubstr("WARN Wendrel - Ignoring malformed line 2 of " +
                                                root_ + "/etc/wendrel/wendrel.conf\n")));
  // A service name that is a number makes no service: the foreground.
  std::ofstream(root_ + "/var/lib/wendrel/AppID" + kAppIdFile) << "LocalService = 5\n";
  EXPECT_THAT(run(), StartsWith("5 "));
  ASSERT_EQ(run("-Service"), "0 ");
  agent.settings("CollectorAddress = 127.0.0.1\n");
  EXPECT_EQ(run(),
            "39 Wendrel: exit status 0x00000427\nWendrel: not started by the service "
            "manager (NOTIFY_SOCKET is not set); use \"systemctl start wendrel.service\"\n");
}

TEST_F(EndToEnd, ServiceRegServerAndUnregServer) {
  EXPECT_EQ(run("-UnregServer"), "28 Wendrel: exit status 0x8002801C\n");  // nothing registered
  EXPECT_EQ(state(), "");
  ASSERT_EQ(run("-Service"), "0 ");
  EXPECT_EQ(state(), kService);
  const std::string exe = dir_ + "/bin/wendrel";
  EXPECT_EQ(readFile(root_ + "/var/lib/wendrel/TypeLib" + kAppIdFile),
            "Name = \"WendrelLib\"\nVersion = \"1.0\"\nLocale = 0x409\nPath = \"" + exe + "\"\n");
  const std::string unit = readFile(root_ + kUnit);
  EXPECT_NE(unit.find("\nExecStart=\"" + exe + "\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;
  EXPECT_EQ(
      std::system(("systemd-analyze verify " + root_ + kUnit + " >" + dir_ + "/v 2>&1").c_str()), 0)
      << readFile(dir_ + "/v");
  EXPECT_EQ(readFile(dir_ + "/v"), "");
  EXPECT_EQ(calls(), "daemon-reload\n");
  ASSERT_EQ(run("-Service"), "0 ");  // again: stopped and deleted, then created anew
  EXPECT_EQ(state(), kService);
  EXPECT_EQ(calls(), "stop wendrel.service\ndaemon-reload\ndaemon-reload\n");
  ASSERT_EQ(run("/regserver"), "0 ");
  EXPECT_EQ(state(), "AppID[] TypeLib");
  EXPECT_EQ(calls(), "stop wendrel.service\ndaemon-reload\n");
  ASSERT_EQ(run("-UnregServer"), "0 ");  // the AppID record stays
  EXPECT_EQ(state(), "AppID[]");
  ASSERT_EQ(run("-RegServer"), "0 ");
  fs::remove(root_ + "/var/lib/wendrel/AppID" + kAppIdFile);
  EXPECT_EQ(run("-UnregServer"), "2 Wendrel: exit status 0x80070002\n");
  EXPECT_EQ(calls(), "");
}

TEST_F(EndToEnd, NoServiceManagerAndOtherRegistrationFailures) {
  fs::remove(root_ + "/run/systemd/system");
  EXPECT_EQ(run("-Service"), failed("Could not open Service Manager"));
  EXPECT_EQ(state(), "AppID[LocalService = \"Wendrel\"]");
  EXPECT_EQ(run("-RegServer"), "0 ");  // no service to uninstall
  fs::create_directory(root_ + "/run/systemd/system");
  systemctlExits("daemon-reload", 1);
  EXPECT_EQ(run("-Service"), failed("Could not start service"));
  EXPECT_EQ(state(), "AppID[LocalService = \"Wendrel\"] TypeLib");
  systemctlExits("daemon-reload", 0);
  ASSERT_EQ(run("-Service"), "0 ");
  systemctlExits("stop", 5);  // not loaded: nothing to stop
  ASSERT_EQ(run("-Service"), "0 ");
  systemctlExits("stop", 1);  // shown, and the service is deleted all the same
  EXPECT_EQ(run("-RegServer"), "0 Wendrel: Could not stop service\n");
  EXPECT_EQ(state(), "AppID[] TypeLib");
  systemctlExits("stop", 0);
  ASSERT_EQ(run("-Service"), "0 ");
  systemctlExits("daemon-reload", 1);
  EXPECT_EQ(run("-UnregServer"), failed("Could not delete service"));
  fs::create_directory(root_ + kUnit);
  EXPECT_EQ(run("-Service"), failed("Could not open service"));
  fs::remove(root_ + kUnit);
  fs::remove_all(root_ + "/var/lib/wendrel");
  std::ofstream(root_ + "/var/lib/wendrel") << "";  // where the records' directory belongs
  EXPECT_EQ(run("-RegServer"), "3 Wendrel: exit status 0x80070003\n");
}

TEST_F(EndToEnd, PerUserRecordsGoToTheUsersDataDirectory) {
  ASSERT_EQ(run("-RegServerPerUser"), "0 ");
  EXPECT_EQ(state(), "user/AppID[] user/TypeLib");
  ASSERT_EQ(run("-UnregServerPerUser"), "0 ");
  EXPECT_EQ(state(), "user/AppID[]");
  // Without XDG_DATA_HOME the home directory decides; without either there is no location.
  agent.env.erase("XDG_DATA_HOME");
  agent.env.erase("HOME");
  EXPECT_EQ(run("-RegServerPerUser"), "3 Wendrel: exit status 0x80070003\n");
}

TEST_F(EndToEnd, RunsInANetworkNamespaceInTheForegroundAndAsAService) {
  if (!test::NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  net = std::make_unique<test::NetnsPair>("s");
  net->addLink("10.213.0.1/24");
  ASSERT_TRUE(test::shell("ip -n " + net->agentNamespace() + " link set lo up"));
  collector = std::make_unique<test::Collector>(net->agentNamespace(), "127.0.0.1");
  agent.ns = net->agentNamespace();
  agent.settings("127.0.0.1", 1, 1);
  auto samples = [this] { return collector->samplesFrom(net->link(0).farMac).size(); };

  ASSERT_EQ(run("-RegServer"), "0 ");
  agent.start();
  // Probes until the first sample comes back: capture runs then.
  bool capturing = false;
  for (uint32_t i = 0; i < 100 && !capturing; ++i) {
    net->send(0, test::testFrame(net->link(0), i));
    capturing = collector->waitForSamples(net->link(0).farMac, 1, 100ms);
  }
  ASSERT_TRUE(capturing) << agent.output();
  agent.signal(SIGUSR1);  // in the foreground only a stop means anything
  agent.signal(SIGHUP);
  test::waitUntilSteady(samples, 1500ms);
  const size_t probes = samples();
  ASSERT_EQ(test::sendFrames(*net, 0, 40), 40u);
  // Long enough for capture to hand the frames on (its reads wait up to a second), too short
  // for the idle loop to be sure to have flushed them.
  std::this_thread::sleep_for(1200ms);
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.exitCode(5s), 0) << agent.output();
  test::waitUntilSteady(samples, 500ms);
  EXPECT_EQ(samples() - probes, 40u) << agent.output();
  EXPECT_EQ(collector->undecodable(), 0u);

  ASSERT_EQ(run("-Service"), "0 ");
  sockaddr_un notify{AF_UNIX, {}};
  std::strncpy(notify.sun_path, (dir_ + "/notify").c_str(), sizeof notify.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&notify), sizeof notify), 0);
  const timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  auto report = [&] {
    char buffer[512];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, size_t(n)) : "nothing";
  };
  agent.env["NOTIFY_SOCKET"] = notify.sun_path;
  agent.start();
  agent.env.erase("NOTIFY_SOCKET");
  EXPECT_EQ(report(), "STATUS=Starting");
  EXPECT_EQ(report(), "READY=1\nSTATUS=Running") << agent.output();
  agent.signal(SIGUSR1);  // a user-defined control: an event, nothing else
  agent.signal(SIGHUP);
  const auto stopAt = Clock::now();
  agent.signal(SIGTERM);
  EXPECT_EQ(report(), "STOPPING=1");
  EXPECT_EQ(report(), "STATUS=Stopped, exit code 0x00000000") << agent.output();
  EXPECT_LT(Clock::now() - stopAt, 2s);
  EXPECT_EQ(agent.exitCode(5s), 0) << agent.output();
  ::close(fd);
}

// What registration builds on that the runs above do not reach.
TEST(UnitFile, ExecStartIsThePathQuotedForSystemd) {
  EXPECT_EQ(quotedExecStart("/opt/my agent/wendrel"), "\"/opt/my agent/wendrel\"");
  // Nothing of the path may be expanded or unquoted.
  EXPECT_EQ(quotedExecStart("/opt/a\"b\\c%d$e/w"), "\"/opt/a\\\"b\\\\c%%d$$e/w\"");
  EXPECT_FALSE(quotedExecStart("wendrel"));
  EXPECT_FALSE(quotedExecStart("/opt/a\nb/w"));
}

TEST(StatusCodes, ErrnoAndExitStatus) {
  for (const auto& [err, code] : std::vector<std::pair<int, int32_t>>{
           {EACCES, 5}, {EPERM, 5}, {EROFS, 5}, {ENOSPC, 112}, {EIO, 29}})
    EXPECT_EQ(win32FromErrno(err), code) << err;
  // The low byte, but never 0 for a failure.
  EXPECT_EQ(exitStatusFromStatus(static_cast<int32_t>(0x80070100u)), 1);
  EXPECT_EQ(exitStatusFromStatus(-1), 255);
}

}  // namespace
}  // namespace wendrel
