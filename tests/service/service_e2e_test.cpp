// The wendrel executable end to end, as an operator runs it: a copy of the binary in a
// scratch directory with its own log4j.properties (logging to stderr), a scratch root prefix,
// a recording systemctl, and, for capture, a network namespace with a veth whose far end
// sends frames and a collector socket on the namespace's own loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <thread>

#include "files.h"
#include "netns.h"
#include "sflow_decoder.h"

extern char** environ;

namespace wendrel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Agent {
 public:
  Agent(const std::string& executable, const std::vector<std::string>& args,
        const std::vector<std::string>& env, const std::string& outputPrefix)
      : stdout_(outputPrefix + ".out"), stderr_(outputPrefix + ".err") {
    std::vector<std::string> argvText{executable};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      if (entry.rfind("WENDREL_", 0) != 0 && entry.rfind("NOTIFY_SOCKET=", 0) != 0) {
        envText.push_back(entry);
      }
    }
    envText.insert(envText.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envText)
      envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, stdout_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, stderr_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    const int err =
        posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0)
      pid_ = -1;
  }
  ~Agent() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool running() const { return pid_ > 0; }
  void signal(int sig) const {
    if (pid_ > 0)
      ::kill(pid_, sig);
  }
  // The exit status, or nothing when the process has not ended within `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (pid_ > 0) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (Clock::now() > deadline)
        return std::nullopt;
      std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
  }
  std::string errText() const {
    std::string text;
    files::readFile(stderr_, text);
    return text;
  }

 private:
  std::string stdout_;
  std::string stderr_;
  pid_t pid_ = -1;
};

class ServiceEndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/wendrel-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    root_ = dir_ + "/root";
    executable_ = dir_ + "/bin/wendrel";
    ASSERT_EQ(files::makeDirectories(dir_ + "/bin"), 0);
    std::string binary;
    ASSERT_EQ(files::readFile(WENDREL_BINARY, binary), 0);
    ASSERT_EQ(files::writeFileAtomic(executable_, binary, 0755), 0);
    ASSERT_EQ(files::writeFileAtomic(dir_ + "/bin/log4j.properties",
                                     "log4cplus.rootLogger=DEBUG, console\n"
                                     "log4cplus.appender.console=log4cplus::ConsoleAppender\n"
                                     "log4cplus.appender.console.logToStdErr=true\n"
                                     "log4cplus.appender.console.layout=log4cplus::PatternLayout\n"
                                     "log4cplus.appender.console.layout.ConversionPattern="
                                     "%p %c - %m%n\n"),
              0);
    files::makeDirectories(root_ + "/run/systemd/system");
    files::makeDirectories(root_ + "/etc/systemd/system");
    files::makeDirectories(root_ + "/etc/wendrel");
    ASSERT_EQ(
        files::writeFileAtomic(dir_ + "/systemctl",
                               "#!/bin/sh\necho \"$*\" >> '" + dir_ + "/systemctl.log'\n", 0755),
        0);
  }
  void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0); }

  void settings(const std::string& text) {
    ASSERT_EQ(files::writeFileAtomic(root_ + "/etc/wendrel/wendrel.conf", text), 0);
  }
  std::vector<std::string> env(const std::string& notifySocket = {}) const {
    std::vector<std::string> e{"WENDREL_ROOT=" + root_, "WENDREL_SYSTEMCTL=" + dir_ + "/systemctl"};
    if (!notifySocket.empty())
      e.push_back("NOTIFY_SOCKET=" + notifySocket);
    return e;
  }
  std::unique_ptr<Agent> start(const std::vector<std::string>& args,
                               const std::string& notifySocket = {}) {
    return std::make_unique<Agent>(executable_, args, env(notifySocket),
                                   dir_ + "/run" + std::to_string(++runs_));
  }
  // Runs a switch to its end; returns the exit status.
  int runSwitch(const std::string& sw) {
    auto agent = start({sw});
    const auto status = agent->wait(10s);
    EXPECT_TRUE(status) << sw;
    return status.value_or(-1);
  }

  std::string dir_;
  std::string root_;
  std::string executable_;
  int runs_ = 0;
};

TEST_F(ServiceEndToEnd, NeverRegisteredExitsWith2AndAHint) {
  auto agent = start({});
  EXPECT_EQ(agent->wait(10s), 2);
  const std::string err = agent->errText();
  EXPECT_NE(err.find("Wendrel: exit status 0x00000002\n"), std::string::npos) << err;
  EXPECT_NE(err.find("\nWendrel: not registered; run \"" + executable_ + " -RegServer\""),
            std::string::npos)
      << err;
}

TEST_F(ServiceEndToEnd, MissingCollectorAddressExitsWithEFail) {
  ASSERT_EQ(runSwitch("-RegServer"), 0);
  settings("SamplingRate = 8\n");
  auto agent = start({});
  EXPECT_EQ(agent->wait(10s), 5);
  const std::string err = agent->errText();
  EXPECT_NE(err.find("INFO Wendrel - Configured log using config file " + dir_ +
                     "/bin/log4j.properties\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("ERROR Wendrel - Failed to read collector address from the registry, "
                     "cannot start\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Wendrel: exit status 0x80004005\n"), std::string::npos) << err;
}

TEST_F(ServiceEndToEnd, HandStartedServiceFailsLikeTheDispatcher) {
  ASSERT_EQ(runSwitch("-Service"), 0);
  settings("CollectorAddress = 127.0.0.1\n");
  auto agent = start({});
  EXPECT_EQ(agent->wait(10s), 1063 & 0xFF);
  const std::string err = agent->errText();
  EXPECT_NE(err.find("Wendrel: exit status 0x00000427\n"), std::string::npos) << err;
  EXPECT_NE(err.find("not started by the service manager"), std::string::npos) << err;
}

// --- Live runs in a network namespace ----------------------------------------------------

constexpr char kMarker[] = "wendrel-e2e-marker";

std::vector<uint8_t> markedFrame(const test::NetnsPair::Link& link, uint16_t id) {
  std::vector<uint8_t> f(6, 0xFF);  // broadcast
  f.insert(f.end(), link.farMac.begin(), link.farMac.end());
  f.insert(f.end(), {0x08, 0x00});
  const std::string payload = kMarker;
  const uint16_t udpLength = static_cast<uint16_t>(8 + payload.size());
  const uint16_t total = static_cast<uint16_t>(20 + udpLength);
  const uint8_t ip[20] = {0x45,
                          0,
                          static_cast<uint8_t>(total >> 8),
                          static_cast<uint8_t>(total),
                          static_cast<uint8_t>(id >> 8),
                          static_cast<uint8_t>(id),
                          0,
                          0,
                          64,
                          17,
                          0,
                          0,
                          10,
                          213,
                          0,
                          2,
                          10,
                          213,
                          0,
                          1};
  f.insert(f.end(), ip, ip + 20);
  const uint8_t udp[8] = {
      0x30, 0x39, 0x30, 0x39, static_cast<uint8_t>(udpLength >> 8), static_cast<uint8_t>(udpLength),
      0,    0};
  f.insert(f.end(), udp, udp + 8);
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

class Collector {
 public:
  Collector() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(6343);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Collector() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  bool bound() const { return bound_; }
  // Reads what arrives within `timeout`; every datagram must decode.
  void drain(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    while (::poll(&p, 1, static_cast<int>(timeout.count())) > 0) {
      uint8_t buffer[2048];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0)
        break;
      std::string error;
      auto datagram = test::decodeDatagram(buffer, static_cast<size_t>(n), &error);
      EXPECT_TRUE(datagram) << error;
      if (!datagram)
        continue;
      ++datagrams;
      for (const auto& sample : datagram->samples) {
        const std::string header(sample.header.begin(), sample.header.end());
        if (header.find(kMarker) != std::string::npos)
          ++marked;
      }
    }
  }
  size_t datagrams = 0;
  size_t marked = 0;

 private:
  int fd_ = -1;
  bool bound_ = false;
};

class LiveEndToEnd : public ServiceEndToEnd {
 protected:
  void SetUp() override {
    if (!test::NetnsPair::available())
      GTEST_SKIP() << "needs root for network namespaces";
    ServiceEndToEnd::SetUp();
    pair_ = std::make_unique<test::NetnsPair>("s");
    pair_->addLink("10.213.0.1/24");
    ASSERT_EQ(std::system(("ip -n " + pair_->agentNamespace() + " link set lo up").c_str()), 0);
    pair_->enterAgent();
    collector_ = std::make_unique<Collector>();
    ASSERT_TRUE(collector_->bound());
    settings("CollectorAddress = \"127.0.0.1\"\nSamplingRate = 1\nPerformanceMode = 1\n");
  }
  void TearDown() override {
    collector_.reset();
    if (pair_)
      pair_->leaveAgent();
    pair_.reset();
    if (!dir_.empty())
      ServiceEndToEnd::TearDown();
  }
  // Sends probe frames until the first sample comes back: capture is running then.
  bool waitForCapture() {
    for (uint16_t i = 0; i < 100; ++i) {
      pair_->send(0, markedFrame(pair_->link(0), i));
      collector_->drain(100ms);
      if (collector_->marked > 0)
        return true;
    }
    return false;
  }

  std::unique_ptr<test::NetnsPair> pair_;
  std::unique_ptr<Collector> collector_;
};

TEST_F(LiveEndToEnd, ForegroundDeliversEverySampleAndStopsOnSigterm) {
  ASSERT_EQ(runSwitch("-RegServer"), 0);
  auto agent = start({});
  ASSERT_TRUE(waitForCapture()) << agent->errText();
  // Let the flushes of the probes pass, then count afresh.
  collector_->drain(1500ms);
  collector_->marked = 0;
  constexpr uint16_t kFrames = 40;
  for (uint16_t i = 0; i < kFrames; ++i)
    pair_->send(0, markedFrame(pair_->link(0), i));
  // Long enough for capture to hand the frames on (its reads wait up to a second), not for
  // the idle loop to be sure to have flushed them all.
  std::this_thread::sleep_for(1200ms);
  agent->signal(SIGTERM);
  EXPECT_EQ(agent->wait(5s), 0) << agent->errText();
  collector_->drain(500ms);
  EXPECT_EQ(collector_->marked, kFrames) << agent->errText();
}

TEST_F(LiveEndToEnd, ServiceReportsItsStatesToTheServiceManager) {
  ASSERT_EQ(runSwitch("-Service"), 0);
  const std::string socketPath = dir_ + "/notify";
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  std::vector<std::string> reports;
  auto receive = [&](const std::string& until, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0)
        continue;
      char buffer[512];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0)
        continue;
      reports.emplace_back(buffer, static_cast<size_t>(n));
      if (reports.back() == until)
        return true;
    }
    return false;
  };

  auto agent = start({}, socketPath);
  EXPECT_TRUE(receive("READY=1\nSTATUS=Running", 10s)) << agent->errText();
  agent->signal(SIGUSR1);  // a user-defined control: logged, nothing else
  agent->signal(SIGHUP);   // ignored
  std::this_thread::sleep_for(200ms);
  const auto stopAt = Clock::now();
  agent->signal(SIGTERM);
  EXPECT_TRUE(receive("STATUS=Stopped, exit code 0x00000000", 5s)) << agent->errText();
  EXPECT_LT(Clock::now() - stopAt, 2s);
  EXPECT_EQ(agent->wait(5s), 0) << agent->errText();
  EXPECT_EQ(reports,
            (std::vector<std::string>{"STATUS=Starting", "READY=1\nSTATUS=Running", "STOPPING=1",
                                      "STATUS=Stopped, exit code 0x00000000"}));
  ::close(fd);
}

}  // namespace
}  // namespace wendrel
