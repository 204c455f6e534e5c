// The real agent: installed as a service in a network namespace and run as nobody with only
// the unit's capabilities, and asked things as a command.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>
#include <set>

#include "scenario.h"

namespace wendrel::test {
namespace {

using namespace std::chrono_literals;

size_t countOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

// The service with `capture` in the settings, as nobody with only `caps` (setpriv's names), reports
// to the service manager, samples every frame at rate 1 and delivers all of them though stopped at
// once, logging `warnings` and capturing on `thread`: libpcap under the unit's one capability, the
// kernel under the three it then grants, libpcap again without CAP_BPF.
TEST(EndToEnd, ServiceAsNobodyWithTheUnitsCapabilitiesDeliversEverySampleAtStop) {
  if (!NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  const std::tuple<std::string, std::string, size_t, std::string> runs[] = {
      {"", "+net_raw", 0, "wendrel-cap0"},
      {"Capture = ebpf\n", "+net_raw,+net_admin,+bpf", 0, "wendrel-ebpf"},
      {"Capture = ebpf\n", "+net_raw,+net_admin", 1, "wendrel-cap0"}};
  for (const auto& [capture, caps, warnings, thread] : runs) {
    SCOPED_TRACE(caps);
    NetnsPair net("e");
    net.addLink("10.250.0.1/24");
    EXPECT_TRUE(shell("ip -n " + net.agentNamespace() + " link set lo up"));
    AgentProcess agent(WENDREL_BINARY);
    EXPECT_TRUE(shell("cd " + agent.root + " && mkdir -p run/systemd/system etc/systemd/system"));
    agent.settings("CollectorAddress = 127.0.0.1\nSamplingRate = 1\nPerformanceMode = 0\n" +
                   capture);
    ASSERT_EQ(agent.run("-Service"), "0 ");
    EXPECT_EQ(agent.run("").substr(0, 3), "39 ");  // 0x427: a service started by hand
    // The unit grants sampling in the kernel what it needs only when the settings ask for it;
    // systemd takes it, at the exposure the README gives.
    const std::string path = agent.root + "/etc/systemd/system/wendrel.service";
    const std::string unit = readFile(path),
                      extra = capture.empty() ? "" : " CAP_BPF CAP_NET_ADMIN";
    for (const std::string key : {"\nAmbientCapabilities=", "\nCapabilityBoundingSet="})
      EXPECT_NE(unit.find(key + "CAP_NET_RAW" + extra + "\n"), std::string::npos) << key;
    EXPECT_EQ(capture.empty(), unit.find("\nSystemCallFilter=bpf\n") == std::string::npos);
    EXPECT_TRUE(shell("systemd-analyze verify --man=no " + path + " >" + agent.dir +
                      "/report 2>&1 && systemd-analyze security --offline=true " + path +
                      " 2>&1 | grep -q 'level for wendrel.service: " +
                      (capture.empty() ? "1.6" : "1.9") + " OK'"))
        << readFile(agent.dir + "/report") << unit;
    UdpCollector collector("127.0.0.1", 6343, net.agentNamespace());
    sockaddr_un notifyAt{AF_UNIX, {}};
    std::strncpy(notifyAt.sun_path, (agent.dir + "/notify").c_str(), sizeof notifyAt.sun_path - 1);
    const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const timeval timeout{10, 0};
    setsockopt(notify, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    EXPECT_EQ(0, ::bind(notify, reinterpret_cast<sockaddr*>(&notifyAt), sizeof notifyAt));
    EXPECT_TRUE(collector.ok() && notify >= 0 && shell("chmod 777 " + agent.dir + "/notify"));
    auto report = [&] {
      char buffer[512];
      const ssize_t n = ::recv(notify, buffer, sizeof buffer, 0);
      return n > 0 ? std::string(buffer, size_t(n)) : "nothing";
    };
    agent.start("", std::string("NOTIFY_SOCKET=") + notifyAt.sun_path,
                "ip netns exec " + net.agentNamespace() +
                    " setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all," +
                    caps + " --bounding-set=-all," + caps + " --ambient-caps=" + caps);
    ASSERT_EQ(report(), "STATUS=Starting") << agent.output();
    EXPECT_EQ(report(), "READY=1\nSTATUS=Running") << agent.output();

    // Frames are numbered in their IP id; the collector keeps those sampled from the link. No
    // datagram is lost (their numbers run on) and the kernel dropped nothing.
    std::multiset<uint32_t> frames;
    uint32_t datagrams = 0;
    auto receive = [&] {
      for (const DecodedDatagram& d : collector.decoded()) {
        EXPECT_EQ((std::array<uint8_t, 4>{10, 250, 0, 1}), d.agentAddress);
        EXPECT_EQ(++datagrams, d.sequence);
        for (const DecodedSample& s : d.samples) {
          EXPECT_EQ(0u, s.drops);
          if (fromLink(s, net.link(0)) && s.header[12] == 8)  // IPv4, not the far end's IPv6
            frames.insert(frameNumber(s));
        }
      }
    };
    // Capture runs once a frame is sampled.
    for (uint16_t i = 1000; i < 1100 && frames.empty(); ++i) {
      net.send(0, testFrame(net.link(0), i));
      waitFor([&] { return receive(), !frames.empty(); }, 100ms);
    }
    std::string threads;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(agent.pid) + "/task"))
      threads += readFile(task.path().string() + "/comm");
    for (uint16_t n = 0; n < 40; ++n)
      EXPECT_TRUE(net.send(0, testFrame(net.link(0), n)));
    for (int signal : {SIGUSR1, SIGHUP, SIGTERM})  // a user-defined control, a reload, the stop
      ::kill(agent.pid, signal);
    EXPECT_EQ(report(), "STOPPING=1");
    EXPECT_EQ(report(), "STATUS=Stopped, exit code 0x00000000") << agent.output();
    EXPECT_EQ(agent.exitCode(5s), 0) << agent.output();
    receive();
    for (uint32_t n = 0; n < 40; ++n)
      EXPECT_EQ(frames.count(n), 1u) << "frame " << n << "\n" << agent.output();
    ::close(notify);
    EXPECT_EQ(warnings, countOf("\n" + agent.output(), "\nWARN ")) << agent.output();
    EXPECT_EQ(1u, countOf(threads, thread + "\n")) << threads;
    EXPECT_TRUE(thread != "wendrel-ebpf" || countOf(threads, "-cap") == 0) << threads;
  }
}

// Asked what it is, it answers on stdout; each start without a switch exits with the low byte of
// its status; without a log configuration it logs to stderr (and log4cplus says nothing of its
// own). "--check" reads the settings as a start does: 0 when clean (the shipped file), 1 with
// warnings, 2 when the agent would not start; a FIFO in their place is refused, not waited on.
TEST(EndToEnd, AnswersHelpAndVersionAndLogsToStderrWithoutAConfiguration) {
  AgentProcess agent(WENDREL_BINARY);
  EXPECT_EQ(agent.run("--version >&2"), "0 wendrel 1.0.0\n");
  EXPECT_EQ(agent.run("").substr(0, 2), "2 ");  // never registered
  for (const std::string arg : {"--help", "-h"})
    EXPECT_EQ(agent.run(arg + " >&2").rfind("0 Usage: wendrel ", 0), 0u) << arg;
  ASSERT_EQ(agent.run("-RegServer"), "0 ");
  std::remove((agent.dir + "/bin/log4j.properties").c_str());
  agent.settings("CollectorPort = 6343\n");
  const std::string said = agent.run("");
  EXPECT_EQ(said.rfind("5 ", 0), 0u) << said;  // E_FAIL's low byte
  EXPECT_NE(said.find("CollectorPort"), std::string::npos) << said;
  EXPECT_EQ(said.find("log4cplus"), std::string::npos) << said;

  const std::string shipped = readFile(WENDREL_CONF);
  agent.settings("\xEF\xBB\xBF" + shipped);
  EXPECT_EQ(agent.run("--check >/dev/null"), "0 ");
  agent.settings(std::string(70000, '#') + "\n" + shipped);  // a line too long
  EXPECT_EQ(agent.run("--check >/dev/null"), "1 ");
  ASSERT_TRUE(shell("cd " + agent.root + "/etc/wendrel && rm wendrel.conf && mkfifo wendrel.conf"));
  EXPECT_EQ(agent.run("--check >/dev/null").substr(0, 2), "2 ");
}

}  // namespace
}  // namespace wendrel::test
