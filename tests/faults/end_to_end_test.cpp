// The real agent in a network namespace: installed as a service and run as nobody with only
// the unit's capabilities, it reports to the service manager, samples every frame at rate 1
// and delivers all of them though it is stopped at once; and it answers as a command.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

#include "netns.h"
#include "sflow_decoder.h"
#include "test_util.h"

namespace wendrel::test {
namespace {

using namespace std::chrono_literals;

// A copy of the executable in a scratch directory, beside a log4j.properties that logs
// everything to stderr, with a WENDREL_ROOT prefix for its settings and records.
class Agent {
 public:
  Agent() {
    char pattern[] = "/tmp/wendrel-agent.XXXXXX";
    dir = ::mkdtemp(pattern) ? pattern : "/nonexistent";
    root = dir + "/root";
    // A run as nobody must reach the executable.
    EXPECT_TRUE(shell("chmod 755 " + dir + " && mkdir -p " + dir + "/bin " + root +
                      "/etc/wendrel && cp '" WENDREL_BINARY "' " + dir + "/bin/wendrel"));
    std::ofstream(dir + "/bin/log4j.properties")
        << "log4cplus.rootLogger=DEBUG, c\nlog4cplus.appender.c=log4cplus::ConsoleAppender\n"
           "log4cplus.appender.c.logToStdErr=true\n"
           "log4cplus.appender.c.layout=log4cplus::PatternLayout\n"
           "log4cplus.appender.c.layout.ConversionPattern=%p %c - %m%n\n";
    env = "PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=" + dir + " WENDREL_ROOT=" + root +
          " WENDREL_SYSTEMCTL=/bin/true";
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
      if (const char* value = std::getenv(name))
        env += std::string(" ") + name + "='" + value + "'";
  }
  ~Agent() {
    if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0)
      ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
    shell("rm -rf '" + dir + "'");
  }
  // In a clean environment plus `extra`, the process itself after `prefix` (which execs it);
  // its stderr goes to a file, and `arg` may send stdout there too.
  void start(const std::string& arg, const std::string& extra = "",
             const std::string& prefix = "") {
    const std::string command = "exec env -i " + env + " " + extra + " " + prefix + " " + dir +
                                "/bin/wendrel 2>" + dir + "/stderr " + arg;
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
      pid = -1;
  }
  // The exit code, or -1 (and a SIGKILL) after `timeout`.
  int exitCode(Millis timeout = 10s) {
    int status = 0;
    bool ended = false;
    if (!waitFor([&] { return ended = ended || ::waitpid(pid, &status, WNOHANG) == pid; }, timeout))
      return ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0), pid = -1, -1;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string run(const std::string& arg) {
    start(arg);
    const int code = exitCode();
    return std::to_string(code) + " " + output();
  }
  std::string output() const { return readFile(dir + "/stderr"); }

  std::string dir, root, env;
  pid_t pid = -1;
};

// A socket bound in namespace `ns`, made by a thread of its own that enters it.
int socketIn(const std::string& ns, int family, int type, const sockaddr* at, socklen_t size) {
  int fd = -1;
  std::thread([&] {
    const int netns = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns.empty() || (netns >= 0 && setns(netns, CLONE_NEWNET) == 0))
      fd = ::socket(family, type | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::bind(fd, at, size) != 0)
      ::close(fd), fd = -1;
    ::close(netns);
  }).join();
  const timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

// The service run as the unit would run it with `capture` in the settings and `caps` only
// (setpriv's names; `capEff` their mask): every frame sampled at rate 1 reaches the collector
// though the stop comes at once, and the figures at stop say exactly what it got. Returns the
// agent's log and the names of its threads while it ran.
std::pair<std::string, std::string> serviceDeliversEverySampleAtStop(const std::string& capture,
                                                                     const std::string& caps,
                                                                     const std::string& capEff) {
  NetnsPair net("e");
  net.addLink("10.250.0.1/24");
  EXPECT_TRUE(shell("ip -n " + net.agentNamespace() + " link set lo up"));
  Agent agent;
  EXPECT_TRUE(shell("mkdir -p " + agent.root + "/run/systemd/system " + agent.root +
                    "/etc/systemd/system"));
  std::ofstream(agent.root + "/etc/wendrel/wendrel.conf")
      << "CollectorAddress = 127.0.0.1\nSamplingRate = 1\nPerformanceMode = 0\n"
      << capture;
  EXPECT_EQ(agent.run("-Service"), "0 ");
  // The unit grants sampling in the kernel what it needs only when the settings ask for it;
  // systemd takes it, at the exposure the README gives.
  const std::string path = agent.root + "/etc/systemd/system/wendrel.service";
  const std::string unit = readFile(path), extra = capture.empty() ? "" : " CAP_BPF CAP_NET_ADMIN";
  EXPECT_NE(unit.find("\nAmbientCapabilities=CAP_NET_RAW" + extra + "\n"), std::string::npos);
  EXPECT_NE(unit.find("\nCapabilityBoundingSet=CAP_NET_RAW" + extra + "\n"), std::string::npos);
  EXPECT_EQ(capture.empty(), unit.find("\nSystemCallFilter=bpf\n") == std::string::npos);
  if (shell("systemd-analyze verify --man=no " + path + " >" + agent.dir +
            "/report 2>&1 && "
            "systemd-analyze security --offline=true " +
            path +
            " 2>&1 | grep -q 'level for "
            "wendrel.service: " +
            (capture.empty() ? "1.6" : "1.9") + " OK'") == false)
    ADD_FAILURE() << readFile(agent.dir + "/report") << unit;
  const sockaddr_in collectorAt{AF_INET, htons(6343), {htonl(INADDR_LOOPBACK)}, {}};
  const int collector =
      socketIn(net.agentNamespace(), AF_INET, SOCK_DGRAM,
               reinterpret_cast<const sockaddr*>(&collectorAt), sizeof collectorAt);
  sockaddr_un notifyAt{AF_UNIX, {}};
  std::strncpy(notifyAt.sun_path, (agent.dir + "/notify").c_str(), sizeof notifyAt.sun_path - 1);
  const int notify =
      socketIn("", AF_UNIX, SOCK_DGRAM, reinterpret_cast<sockaddr*>(&notifyAt), sizeof notifyAt);
  EXPECT_TRUE(collector >= 0 && notify >= 0 && shell("chmod 777 " + agent.dir + "/notify"));
  auto report = [&] {
    char buffer[512];
    const ssize_t n = ::recv(notify, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, size_t(n)) : "nothing";
  };
  agent.start("", std::string("NOTIFY_SOCKET=") + notifyAt.sun_path,
              "ip netns exec " + net.agentNamespace() +
                  " setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all," + caps +
                  " --bounding-set=-all," + caps + " --ambient-caps=" + caps);
  EXPECT_EQ(report(), "STATUS=Starting");
  EXPECT_EQ(report(), "READY=1\nSTATUS=Running") << agent.output();
  const std::string status = readFile("/proc/" + std::to_string(agent.pid) + "/status");
  EXPECT_NE(status.find("\nUid:\t65534\t"), std::string::npos) << status;
  EXPECT_NE(status.find("\nCapEff:\t" + capEff + "\n"), std::string::npos) << status;

  // Frames are numbered in their IP id; the collector keeps those sampled from the link.
  std::multiset<uint32_t> frames;
  size_t datagrams = 0, samples = 0, counters = 0;
  auto receive = [&] {
    uint8_t buffer[2048];
    for (ssize_t n; (n = ::recv(collector, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
      std::string error;
      const auto d = decodeDatagram(buffer, size_t(n), &error);
      ASSERT_TRUE(d) << error;
      EXPECT_EQ((std::array<uint8_t, 4>{10, 250, 0, 1}), d->agentAddress);
      ++datagrams, samples += d->samples.size(), counters += d->counters.size();
      for (const DecodedSample& s : d->samples)
        if (s.header.size() >= 20 && s.header[12] == 8 &&  // IPv4, not the far end's IPv6
            std::equal(net.link(0).farMac.begin(), net.link(0).farMac.end(), s.header.begin() + 6))
          frames.insert(uint32_t(s.header[18] << 8 | s.header[19]));
    }
  };
  // Capture runs once a frame is sampled.
  for (uint16_t i = 1000; i < 1100 && frames.empty(); ++i) {
    net.send(0, testFrame(net.link(0), i));
    waitFor([&] { return receive(), !frames.empty(); }, 100ms);
  }
  EXPECT_FALSE(frames.empty()) << agent.output();
  std::string threads;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(agent.pid) + "/task"))
    threads += readFile(task.path().string() + "/comm");
  for (uint16_t n = 0; n < 40; ++n)
    EXPECT_TRUE(net.send(0, testFrame(net.link(0), n)));
  ::kill(agent.pid, SIGUSR1);  // a user-defined control: an event, nothing else
  ::kill(agent.pid, SIGHUP);
  ::kill(agent.pid, SIGTERM);
  EXPECT_EQ(report(), "STOPPING=1");
  EXPECT_EQ(report(), "STATUS=Stopped, exit code 0x00000000") << agent.output();
  EXPECT_EQ(agent.exitCode(5s), 0) << agent.output();
  receive();
  for (uint32_t n = 0; n < 40; ++n)
    EXPECT_EQ(frames.count(n), 1u) << "frame " << n << "\n" << agent.output();
  // At rate 1 with no preselection every packet seen is a sample, and every datagram
  // arrived: the figures at stop say exactly what the collector got.
  std::string log = agent.output();
  log.erase(std::remove(log.begin(), log.end(), ','), log.end());
  const size_t at = std::min(log.find("INFO Wendrel - At stop: "), log.size());
  size_t interfaces = 0, seen = 0, sampled = 0, counted = 1, sent = 0, drops = 1, errors = 1;
  EXPECT_EQ(
      std::sscanf(log.c_str() + at,
                  "INFO Wendrel - At stop: %zu interface %zu packets seen %zu flow and %zu "
                  "counter samples in %zu datagrams %zu dropped by the kernel %zu send errors",
                  &interfaces, &seen, &sampled, &counted, &sent, &drops, &errors),
      7)
      << log.substr(at);
  EXPECT_EQ((std::vector<size_t>{interfaces, seen, sampled, counted, sent, drops, errors}),
            (std::vector<size_t>{1, samples, samples, counters, datagrams, 0, 0}));
  ::close(collector), ::close(notify);
  return {agent.output(), threads};
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t n = 0, at = 0;
  for (; (at = text.find(part, at)) != std::string::npos; ++at)
    ++n;
  return n;
}

constexpr char kFallback[] = "WARN Wendrel - Capture = \"ebpf\" is not possible here";

// libpcap's path under the unit's one capability; sampling in the kernel under the three the
// unit then grants; without CAP_BPF it falls back to libpcap with one warning naming what is
// missing, and still delivers every sample.
TEST(EndToEnd, ServiceAsNobodyWithTheUnitsCapabilitiesDeliversEverySampleAtStop) {
  if (!NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  const auto pcap = serviceDeliversEverySampleAtStop("", "+net_raw", "0000000000002000");
  EXPECT_EQ(0u, countOf(pcap.first, kFallback));
  EXPECT_EQ(1u, countOf(pcap.second, "wendrel-cap0\n")) << pcap.second;
  const auto ebpf = serviceDeliversEverySampleAtStop("Capture = ebpf\n", "+net_raw,+net_admin,+bpf",
                                                     "0000008000003000");
  EXPECT_EQ(0u, countOf(ebpf.first, kFallback)) << ebpf.first;
  EXPECT_EQ(std::pair(1ul, 0ul),
            std::pair(countOf(ebpf.second, "wendrel-ebpf\n"), countOf(ebpf.second, "-cap")));
  const auto fallback = serviceDeliversEverySampleAtStop("Capture = ebpf\n", "+net_raw,+net_admin",
                                                         "0000000000003000");
  EXPECT_EQ(1u, countOf(fallback.first, kFallback)) << fallback.first;
  EXPECT_EQ(1u, countOf(fallback.first, "missing the capabilities CAP_BPF\n")) << fallback.first;
  EXPECT_EQ(1u, countOf(fallback.second, "wendrel-cap0\n")) << fallback.second;
}

// Asked what it is, it answers on stdout; without a log configuration it logs to stderr
// (and log4cplus says nothing of its own); an unknown setting is pointed out. "--check"
// reads the settings as a start does: 0 when clean (the shipped file), 1 with warnings, 2
// when the agent would not start; a FIFO in their place is refused, not waited on.
TEST(EndToEnd, AnswersHelpAndVersionAndLogsToStderrWithoutAConfiguration) {
  Agent agent;
  for (const std::string arg : {"--version", "--help", "-h"}) {
    const std::string text = agent.run(arg + " >&2");
    if (arg == "--version")
      EXPECT_EQ(text, "0 wendrel 1.0.0\n");
    else
      EXPECT_EQ(text.rfind("0 Usage: wendrel ", 0), 0u) << text;
  }
  ASSERT_EQ(agent.run("-RegServer"), "0 ");
  std::remove((agent.dir + "/bin/log4j.properties").c_str());
  std::ofstream(agent.root + "/etc/wendrel/wendrel.conf") << "CollectorPort = 6343\n";
  EXPECT_EQ(agent.run(""), "5 INFO  Wendrel - No log configuration file " + agent.dir +
                               "/bin/log4j.properties, logging INFO and above to stderr\n"
                               "WARN  Wendrel - Unknown setting CollectorPort in " +
                               agent.root +
                               "/etc/wendrel/wendrel.conf is ignored\n"
                               "ERROR Wendrel - Failed to read collector address from the "
                               "registry, cannot start\nWendrel: exit status 0x80004005\n");

  const std::string conf = agent.root + "/etc/wendrel/wendrel.conf",
                    shipped = readFile(WENDREL_CONF);
  for (const auto& [settings, code] : std::vector<std::pair<std::string, std::string>>{
           {"\xEF\xBB\xBF" + shipped, "0 "},
           {shipped + "SampleRate = 64\n", "1 "},
           {shipped + "PerformanceMode = 2\n", "1 "},
           {std::string(70000, '#') + "\n" + shipped, "1 "},
           {"SamplingRate = 64\n", "2 "}}) {
    std::ofstream(conf) << settings;
    EXPECT_EQ(agent.run("--check >/dev/null"), code) << settings.substr(0, 80);
  }
  std::ofstream(conf) << shipped;
  EXPECT_EQ(agent.run("--check >&2").rfind("0 INFO  Settings from " + conf + ": ", 0), 0u);
  ASSERT_TRUE(shell("rm " + conf + " && mkfifo " + conf));
  const std::string fifo = agent.run("--check >&2");  // one line, naming it, ends the check
  EXPECT_EQ(fifo.substr(0, fifo.find('\n')).rfind("2 ERROR ", 0), 0u) << fifo;
  EXPECT_NE(fifo.substr(0, fifo.find('\n')).find(conf), std::string::npos) << fifo;
}

}  // namespace
}  // namespace wendrel::test
