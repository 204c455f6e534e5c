// The real agent, once per capability, in a network namespace: in the foreground and as a
// service, and as nobody with only the unit's capabilities.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "agent_rig.h"

namespace wendrel::test {
namespace {

using namespace std::chrono_literals;

class EndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    if (!NetnsPair::available())
      GTEST_SKIP() << "needs root for network namespaces";
    net = std::make_unique<NetnsPair>("e");
    net->addLink("10.250.0.1/24");
    ASSERT_TRUE(shell("ip -n " + net->agentNamespace() + " link set lo up"));
    ASSERT_TRUE(shell("mkdir -p " + agent.root() + "/run/systemd/system " + agent.root() +
                      "/etc/systemd/system"));
    collector = std::make_unique<Collector>(net->agentNamespace(), "127.0.0.1");
    ASSERT_EQ(agent.run("-RegServer"), "0 ");
    agent.ns = net->agentNamespace();
    agent.settings("CollectorAddress = 127.0.0.1\nSamplingRate = 1\nPerformanceMode = 0\n");
  }
  // Sends frames 0..39, waits long enough for capture to hand them on but too short for the
  // idle loop to be sure to have flushed them, and stops: the stop sends what is pending.
  void sampleAndStop(const std::function<void()>& beforeStop = [] {}) {
    ASSERT_TRUE(sendFrames(*net, 40));
    std::this_thread::sleep_for(1200ms);
    beforeStop();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.exitCode(), 0) << agent.output();
    const auto frames = collector->framesFrom(net->link(0));
    for (uint32_t n = 0; n < 40; ++n)
      EXPECT_EQ(frames.count(n), 1u) << "frame " << n << "\n" << agent.output();
    EXPECT_EQ(collector->undecodable(), 0u);
    // At rate 1 with no preselection every packet seen is a sample, and every datagram
    // arrived: the figures at stop say exactly what the collector got.
    std::string log = agent.output();
    log.erase(std::remove(log.begin(), log.end(), ','), log.end());
    const size_t at = log.find("INFO Wendrel - At stop: ");
    ASSERT_NE(at, std::string::npos) << log;
    unsigned interfaces = 0;
    size_t seen = 0, samples = 0, datagrams = 0, drops = 1, errors = 1;
    ASSERT_EQ(std::sscanf(log.c_str() + at,
                          "INFO Wendrel - At stop: %u interface %zu packets seen %zu samples in "
                          "%zu datagrams %zu dropped by the kernel %zu send errors",
                          &interfaces, &seen, &samples, &datagrams, &drops, &errors),
              6)
        << log.substr(at);
    const auto [received, sampled] = collector->received();
    EXPECT_EQ((std::vector<size_t>{interfaces, seen, samples, datagrams, drops, errors}),
              (std::vector<size_t>{1, sampled, sampled, received, 0, 0}));
  }

  std::unique_ptr<NetnsPair> net;
  std::unique_ptr<Collector> collector;
  Agent agent{WENDREL_BINARY};  // ended before the namespaces go
};

TEST_F(EndToEnd, RunsInTheForegroundAndAsAService) {
  ASSERT_TRUE(capturing(agent, *net, *collector));
  sampleAndStop([this] {
    agent.signal(SIGUSR1);  // in the foreground only a stop means anything
    agent.signal(SIGHUP);
  });

  ASSERT_EQ(agent.run("-Service"), "0 ");
  sockaddr_un notify{AF_UNIX, {}};
  std::strncpy(notify.sun_path, (agent.dir() + "/notify").c_str(), sizeof notify.sun_path - 1);
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
  ASSERT_TRUE(agent.start());
  EXPECT_EQ(report(), "STATUS=Starting");
  EXPECT_EQ(report(), "READY=1\nSTATUS=Running") << agent.output();
  agent.signal(SIGUSR1);  // a user-defined control: an event, nothing else
  agent.signal(SIGHUP);
  agent.signal(SIGTERM);
  EXPECT_EQ(report(), "STOPPING=1");
  EXPECT_EQ(report(), "STATUS=Stopped, exit code 0x00000000") << agent.output();
  EXPECT_EQ(agent.exitCode(5s), 0) << agent.output();
  ::close(fd);
}

// Asked what it is, it answers on stdout; without a log configuration it logs to stderr
// (and log4cplus says nothing of its own); an unknown setting is pointed out.
TEST(Binary, AnswersHelpAndVersionAndLogsToStderrWithoutAConfiguration) {
  for (const std::string arg : {"--version", "--help", "-h"}) {
    FILE* out = ::popen((WENDREL_BINARY " " + arg + " 2>&1").c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string text;
    for (int c; (c = std::fgetc(out)) != EOF;)
      text += char(c);
    EXPECT_EQ(::pclose(out), 0) << arg;
    if (arg == "--version")
      EXPECT_EQ(text, "wendrel 1.0.0\n");
    else
      EXPECT_EQ(text.rfind("Usage: wendrel ", 0), 0u) << text;
  }
  Agent agent{WENDREL_BINARY};
  ASSERT_EQ(agent.run("-RegServer"), "0 ");
  std::remove((agent.dir() + "/bin/log4j.properties").c_str());
  agent.settings("CollectorPort = 6343\n");
  EXPECT_EQ(agent.run(), "5 INFO  Wendrel - No log configuration file " + agent.dir() +
                             "/bin/log4j.properties, logging INFO and above to stderr\n"
                             "WARN  Wendrel - Unknown setting CollectorPort in " +
                             agent.root() +
                             "/etc/wendrel/wendrel.conf is ignored\n"
                             "ERROR Wendrel - Failed to read collector address from the "
                             "registry, cannot start\nWendrel: exit status 0x80004005\n");
}

// The agent needs no more privilege than its unit grants.
TEST_F(EndToEnd, CapturesAsNobodyWithOnlyTheUnitsCapabilities) {
  if (!shell("command -v setpriv"))
    GTEST_SKIP() << "setpriv (util-linux) is not installed";
  ASSERT_NE(readFile(WENDREL_UNIT).find("\nCapabilityBoundingSet=CAP_NET_RAW\n"), std::string::npos)
      << "the unit grants other capabilities than this test expects";
  agent.wrapper = {"setpriv",
                   "--reuid=nobody",
                   "--regid=nogroup",
                   "--clear-groups",
                   "--inh-caps=-all,+net_raw",
                   "--bounding-set=-all,+net_raw",
                   "--ambient-caps=+net_raw"};
  ASSERT_TRUE(capturing(agent, *net, *collector));
  const std::string status = readFile("/proc/" + std::to_string(agent.pid()) + "/status");
  EXPECT_NE(status.find("\nUid:\t65534\t"), std::string::npos) << status;
  EXPECT_NE(status.find("\nCapEff:\t0000000000002000\n"), std::string::npos);  // CAP_NET_RAW
  sampleAndStop();
}

}  // namespace
}  // namespace wendrel::test
