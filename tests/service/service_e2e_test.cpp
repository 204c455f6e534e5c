// The wendrel executable as an operator runs it: a copy beside its own log4j.properties
// (logging to stderr), a scratch root prefix and a systemctl that records its calls; for
// capture, a network namespace with a veth whose far end sends frames, and a collector socket
// on the namespace's loopback.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "netns.h"
#include "sflow_decoder.h"
#include "status_codes.h"
#include "unit_file.h"

extern char** environ;

namespace wendrel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using testing::AllOf, testing::EndsWith, testing::HasSubstr, testing::StartsWith;

constexpr char kMarker[] = "wendrel-e2e-marker";
constexpr uint8_t kMarkerSize = sizeof kMarker - 1;
constexpr char kService[] = "AppID[LocalService = \"Wendrel\"] TypeLib unit";
const std::string kAppIdFile = "/{6f1e2b7a-3c59-4d84-9a0e-5b7c2d41e8f3}.conf";
const std::string kUnit = "/etc/systemd/system/wendrel.service";

std::string failed(const std::string& message) {
  return "5 Wendrel: " + message + "\nWendrel: exit status 0x80004005\n";
}

class EndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/wendrel-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    root_ = dir_ + "/root";
    for (const char* d :
         {"/bin", "/root/run/systemd/system", "/root/etc/systemd/system", "/root/etc/wendrel"})
      fs::create_directories(dir_ + d);
    fs::copy_file(WENDREL_BINARY, dir_ + "/bin/wendrel");
    std::ofstream(dir_ + "/bin/log4j.properties")
        << "log4cplus.rootLogger=DEBUG, c\nlog4cplus.appender.c=log4cplus::ConsoleAppender\n"
           "log4cplus.appender.c.logToStdErr=true\nlog4cplus.appender.c.layout="
           "log4cplus::PatternLayout\nlog4cplus.appender.c.layout.ConversionPattern=%p %c - %m%n\n";
    // Exits with the code in systemctl.<verb> when that file exists.
    std::ofstream(dir_ + "/systemctl") << "#!/bin/sh\necho \"$*\" >> \"$0.log\"\n"
                                       << "[ -f \"$0.$1\" ] && exit $(cat \"$0.$1\")\nexit 0\n";
    fs::permissions(dir_ + "/systemctl", fs::perms::owner_all);
    setenv("WENDREL_ROOT", root_.c_str(), 1);
    setenv("WENDREL_SYSTEMCTL", (dir_ + "/systemctl").c_str(), 1);
    setenv("XDG_DATA_HOME", (root_ + "/home").c_str(), 1);
    unsetenv("NOTIFY_SOCKET");
  }
  void TearDown() override {
    if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0)
      ::waitpid(pid_, nullptr, 0);
    if (collector_ >= 0)
      ::close(collector_);
    pair_.reset();
    for (const char* name : {"WENDREL_ROOT", "WENDREL_SYSTEMCTL", "XDG_DATA_HOME"})
      unsetenv(name);
    if (!dir_.empty())
      fs::remove_all(dir_);
  }

  void settings(const std::string& text) {
    std::ofstream(root_ + "/etc/wendrel/wendrel.conf") << text;
  }
  // Starts the agent with its stderr in a file; NOTIFY_SOCKET set only when given.
  void start(const char* arg = nullptr, const std::string& notifySocket = {}) {
    const std::string executable = dir_ + "/bin/wendrel";
    char* argv[] = {const_cast<char*>(executable.c_str()), const_cast<char*>(arg), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ + "/stderr").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!notifySocket.empty())
      setenv("NOTIFY_SOCKET", notifySocket.c_str(), 1);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ) != 0)
      pid_ = -1;
    unsetenv("NOTIFY_SOCKET");
    posix_spawn_file_actions_destroy(&actions);
  }
  // The agent's exit status; -1 when it has not ended within `timeout`.
  int exitStatus(std::chrono::milliseconds timeout = 10s) {
    for (const auto deadline = Clock::now() + timeout; pid_ > 0 && Clock::now() < deadline;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }
  // Runs to the end: the exit status and what was written on stderr.
  std::string run(const char* arg = nullptr) {
    start(arg);
    const int status = exitStatus();
    return std::to_string(status) + " " + text(dir_ + "/stderr");
  }
  void signal(int sig) const {
    if (pid_ > 0)
      ::kill(pid_, sig);
  }
  std::string err() const { return text(dir_ + "/stderr"); }
  static std::string text(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  // systemctl's calls since the last look.
  std::string calls() {
    const std::string log = text(dir_ + "/systemctl.log");
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
      const std::string content = text(entry.path());
      found.insert(path.find("AppID") == std::string::npos
                       ? path
                       : path + "[" + content.substr(0, content.find('\n')) + "]");
    }
    std::string joined;
    for (const auto& f : found)
      joined += (joined.empty() ? "" : " ") + f;
    return joined;
  }

  // One broadcast UDP frame carrying the marker, from the far end.
  void sendMarked() {
    const auto& mac = pair_->link(0).farMac;
    std::vector<uint8_t> frame = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5], 8, 0,
        // IPv4 10.213.0.2 -> 10.213.0.1, then UDP 12345 -> 12345
        0x45, 0, 0, 28 + kMarkerSize, 0, 0, 0, 0, 64, 17, 0, 0, 10, 213, 0, 2, 10, 213, 0, 1, 0x30,
        0x39, 0x30, 0x39, 0, 8 + kMarkerSize, 0, 0};
    frame.reserve(64);  // else GCC 12 warns, wrongly, that the insert writes out of bounds
    frame.insert(frame.end(), kMarker, kMarker + kMarkerSize);
    pair_->send(0, frame);
  }
  // Reads until `quiet` passes without a datagram; each must decode. Returns the samples of
  // marked frames.
  size_t drain(std::chrono::milliseconds quiet) {
    size_t marked = 0;
    pollfd p{collector_, POLLIN, 0};
    uint8_t buffer[2048];
    while (::poll(&p, 1, static_cast<int>(quiet.count())) > 0) {
      const ssize_t n = ::recv(collector_, buffer, sizeof buffer, 0);
      std::string error;
      const auto datagram = test::decodeDatagram(buffer, n > 0 ? size_t(n) : 0, &error);
      EXPECT_TRUE(datagram) << error;
      for (const auto& sample : datagram ? datagram->samples : test::DecodedDatagram().samples)
        marked += std::search(sample.header.begin(), sample.header.end(), kMarker,
                              kMarker + kMarkerSize) != sample.header.end();
    }
    return marked;
  }

  std::string dir_;
  std::string root_;
  pid_t pid_ = -1;
  std::unique_ptr<test::NetnsPair> pair_;
  int collector_ = -1;
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
  settings("SamplingRate = 8\nCollectorAddress 127.0.0.1\n");
  EXPECT_THAT(run(),
              AllOf(StartsWith("5 "), HasSubstr("WARN Wendrel - Ignoring malformed line 2 of " +
                                                root_ + "/etc/wendrel/wendrel.conf\n")));
  // A service name that is a number makes no service: the foreground.
  std::ofstream(root_ + "/var/lib/wendrel/AppID" + kAppIdFile) << "LocalService = 5\n";
  EXPECT_THAT(run(), StartsWith("5 "));
  ASSERT_EQ(run("-Service"), "0 ");
  settings("CollectorAddress = 127.0.0.1\n");
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
  EXPECT_EQ(text(root_ + "/var/lib/wendrel/TypeLib" + kAppIdFile),
            "Name = \"WendrelLib\"\nVersion = \"1.0\"\nLocale = 0x409\nPath = \"" + exe + "\"\n");
  const std::string unit = text(root_ + kUnit);
  EXPECT_NE(unit.find("\nExecStart=\"" + exe + "\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;
  EXPECT_EQ(
      std::system(("systemd-analyze verify " + root_ + kUnit + " >" + dir_ + "/v 2>&1").c_str()), 0)
      << text(dir_ + "/v");
  EXPECT_EQ(text(dir_ + "/v"), "");
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
  unsetenv("XDG_DATA_HOME");
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  unsetenv("HOME");
  EXPECT_EQ(run("-RegServerPerUser"), "3 Wendrel: exit status 0x80070003\n");
  if (!home.empty())
    setenv("HOME", home.c_str(), 1);
}

TEST_F(EndToEnd, RunsInANetworkNamespaceInTheForegroundAndAsAService) {
  if (!test::NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  pair_ = std::make_unique<test::NetnsPair>("s");
  pair_->addLink("10.213.0.1/24");
  ASSERT_EQ(std::system(("ip -n " + pair_->agentNamespace() + " link set lo up").c_str()), 0);
  pair_->enterAgent();
  collector_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in collector{AF_INET, htons(6343), {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_EQ(::bind(collector_, reinterpret_cast<sockaddr*>(&collector), sizeof collector), 0);
  settings("CollectorAddress = \"127.0.0.1\"\nSamplingRate = 1\nPerformanceMode = 1\n");

  ASSERT_EQ(run("-RegServer"), "0 ");
  start();
  // Probes until the first sample comes back: capture runs then.
  bool capturing = false;
  for (int i = 0; i < 100 && !capturing; ++i) {
    sendMarked();
    capturing = drain(100ms) > 0;
  }
  ASSERT_TRUE(capturing) << err();
  signal(SIGUSR1);  // in the foreground only a stop means anything
  signal(SIGHUP);
  drain(1500ms);
  for (int i = 0; i < 40; ++i)
    sendMarked();
  // Long enough for capture to hand the frames on (its reads wait up to a second), too short
  // for the idle loop to be sure to have flushed them.
  std::this_thread::sleep_for(1200ms);
  signal(SIGTERM);
  EXPECT_EQ(exitStatus(5s), 0) << err();
  EXPECT_EQ(drain(500ms), 40u) << err();

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
  start(nullptr, notify.sun_path);
  EXPECT_EQ(report(), "STATUS=Starting");
  EXPECT_EQ(report(), "READY=1\nSTATUS=Running") << err();
  signal(SIGUSR1);  // a user-defined control: an event, nothing else
  signal(SIGHUP);
  const auto stopAt = Clock::now();
  signal(SIGTERM);
  EXPECT_EQ(report(), "STOPPING=1");
  EXPECT_EQ(report(), "STATUS=Stopped, exit code 0x00000000") << err();
  EXPECT_LT(Clock::now() - stopAt, 2s);
  EXPECT_EQ(exitStatus(5s), 0) << err();
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
