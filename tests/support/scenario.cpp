#include "scenario.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netdb.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <thread>

namespace wendrel::test {

namespace {

void run(const std::string& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
    throw std::runtime_error("command failed: " + command);
}

bool join(const std::string& name) {
  const int fd = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  const bool joined = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
  return ::close(fd), joined;
}

}  // namespace

NetnsPair::NetnsPair(const std::string& tag) : tag_(tag) {
  const std::string pid = std::to_string(getpid());
  agent_ = "wendrel-" + tag + "a" + pid;
  far_ = "wendrel-" + tag + "f" + pid;
  drop();  // left by an earlier run with this pid
  if (std::system(("ip netns add " + agent_ + " && ip netns add " + far_).c_str()) != 0) {
    drop();
    throw std::runtime_error("cannot create " + agent_ + " and " + far_);
  }
}

NetnsPair::~NetnsPair() {
  for (const Link& l : links_)
    ::close(l.farSocket);
  drop();
}

// Deleting a namespace removes the veths in it, and with them their peers.
void NetnsPair::drop() noexcept {
  shell("{ ip netns del " + agent_ + "; ip netns del " + far_ + "; }");
}

const NetnsPair::Link& NetnsPair::addLink(const std::string& cidr, int index) {
  const std::string id = std::to_string(getpid()) + "l" + std::to_string(links_.size());
  Link l{"w" + tag_ + "a" + id, "w" + tag_ + "f" + id};
  // A MAC address of this link's own, so that tests can tell the links' frames apart.
  const auto n = uint32_t(getpid()) * 16 + uint32_t(links_.size());
  l.farMac = {0x02, 0x77, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
  links_.push_back(l);
  create(links_.back(), cidr, false, index);
  return links_.back();
}

void NetnsPair::bounce(size_t i) {
  run("printf 'link set %s down\\nlink set %s up\\n' " + links_.at(i).agentName + " " +
      links_[i].agentName + " | ip -n " + agent_ + " -batch -");
}

void NetnsPair::create(Link& l, const std::string& cidr, bool renew, int index) {
  char mac[18];
  std::snprintf(mac, sizeof mac, "02:77:%02x:%02x:%02x:%02x", l.farMac[2], l.farMac[3], l.farMac[4],
                l.farMac[5]);
  const std::string in = "ip -n " + agent_ + " ", out = "ip -n " + far_ + " ";
  const std::string add =
      "link add " + l.agentName + (index != 0 ? " index " + std::to_string(index) : "") +
      " type veth peer name " + l.farName + " netns " + far_ + " address " + mac;
  // One command deletes and adds, so that the new device comes while the old one's capture
  // is still ending.
  run(renew ? "printf 'link del " + l.agentName + "\\n" + add + "\\n' | " + in + "-batch -"
            : in + add);
  if (!cidr.empty())
    run(in + "addr add " + cidr + " dev " + l.agentName);
  // The far end reports LOWER_UP once the veth carries frames.
  run(in + "link set " + l.agentName + " up && " + out + "link set " + l.farName +
      " up && for i in $(seq 300); do " + out + "link show " + l.farName +
      " | grep -q LOWER_UP && exit 0; sleep 0.01; done; exit 1");
  // A thread of its own enters the far namespace; the socket stays there when it ends.
  std::thread([&] {
    if (join(far_)) {
      l.farIndex = static_cast<int>(if_nametoindex(l.farName.c_str()));
      if (l.farSocket < 0)
        l.farSocket = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);  // sends, receives nothing
    }
  }).join();
  if (l.farIndex == 0 || l.farSocket < 0)
    throw std::runtime_error("no sending socket on " + l.farName);
}

void NetnsPair::removeLink(size_t i) {
  run("ip -n " + agent_ + " link del " + links_.at(i).agentName);
}

void NetnsPair::enterAgent() {
  if (!join(agent_))
    throw std::runtime_error("cannot enter " + agent_);
}

bool NetnsPair::send(size_t i, const std::vector<uint8_t>& frame) const {
  sockaddr_ll to{AF_PACKET, 0, links_.at(i).farIndex, 0, 0, 0, {}};
  return ::sendto(links_[i].farSocket, frame.data(), frame.size(), 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to) == ssize_t(frame.size());
}

std::vector<uint8_t> testFrame(const NetnsPair::Link& link, uint16_t id, uint16_t checksum,
                               bool ipv6) {
  // IPv4 10.250.0.2 -> 10.250.9.9, UDP 40000 -> 9
  std::vector<uint8_t> f = {2,    0, 0x5e, 0x10, 0, 0x99, 0,    0,    0,  0,  0, 0, 8,  0,
                            0x45, 0, 0,    46,   0, 0,    0,    0,    64, 17, 0, 0, 10, 250,
                            0,    2, 10,   250,  9, 9,    0x9c, 0x40, 0,  9,  0, 26};
  std::copy(link.farMac.begin(), link.farMac.end(), f.begin() + 6);
  f[18] = uint8_t(id >> 8), f[19] = uint8_t(id), f[20] = 0x40;
  f[24] = uint8_t(checksum >> 8), f[25] = uint8_t(checksum);
  if (ipv6)  // version 6, payload 6 bytes, UDP, hop limit 64
    f[12] = 0x86, f[13] = 0xDD, f[14] = 0x60, f[18] = 0, f[19] = 6, f[20] = 17, f[21] = 64;
  f.resize(60);
  return f;
}

UdpCollector::UdpCollector(const std::string& address, uint16_t port, const std::string& ns) {
  sockaddr_storage at{};
  auto& in = reinterpret_cast<sockaddr_in&>(at);
  auto& in6 = reinterpret_cast<sockaddr_in6&>(at);
  const bool v6 = address.find(':') != std::string::npos;
  in.sin_family = v6 ? AF_INET6 : AF_INET;
  in.sin_port = htons(port);
  inet_pton(in.sin_family, address.c_str(), v6 ? static_cast<void*>(&in6.sin6_addr) : &in.sin_addr);
  // A thread of its own enters the namespace; the socket stays there.
  std::thread([&] {
    if (ns.empty() || join(ns))
      fd_ = ::socket(in.sin_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
      ::close(fd_), fd_ = -1;
  }).join();
  const timeval timeout{0, 100000};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

std::string UdpCollector::label() const {
  sockaddr_storage at{};
  socklen_t size = sizeof at;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &size);
  char host[NI_MAXHOST] = "", port[NI_MAXSERV] = "";
  getnameinfo(reinterpret_cast<sockaddr*>(&at), size, host, sizeof host, port, sizeof port,
              NI_NUMERICHOST | NI_NUMERICSERV);
  return (at.ss_family == AF_INET6 ? "[" + std::string(host) + "]" : host) + std::string(":") +
         port;
}

std::vector<std::string> UdpCollector::drain(bool wait) {
  std::vector<std::string> got;
  char buffer[2048];
  for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, wait ? 0 : MSG_DONTWAIT)) > 0;
       wait = false)
    got.emplace_back(buffer, size_t(n));
  return got;
}

std::vector<DecodedDatagram> UdpCollector::decoded(bool wait) {
  std::vector<DecodedDatagram> out;
  for (const std::string& bytes : drain(wait)) {
    std::string error;
    out.push_back(
        decodeDatagram(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &error)
            .value_or(DecodedDatagram{}));
    EXPECT_EQ("", error);
  }
  return out;
}

AgentProcess::AgentProcess(const std::string& executable) {
  char pattern[] = "/tmp/wendrel-agent.XXXXXX";
  dir = ::mkdtemp(pattern) ? pattern : "/nonexistent";
  root = dir + "/root";
  // A run as nobody must reach the executable.
  EXPECT_TRUE(shell("chmod 755 " + dir + " && mkdir -p " + dir + "/bin " + root +
                    "/etc/wendrel && cp '" + executable + "' " + dir + "/bin/wendrel"));
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

AgentProcess::~AgentProcess() {
  if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0)
    ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
  shell("rm -rf '" + dir + "'");
}

void AgentProcess::start(const std::string& arg, const std::string& extra,
                         const std::string& prefix) {
  const std::string command = "exec env -i " + env + " " + extra + " " + prefix + " " + dir +
                              "/bin/wendrel 2>" + dir + "/stderr " + arg;
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
    pid = -1;
}

int AgentProcess::exitCode(Millis timeout) {
  int status = 0;
  bool ended = false;
  if (!waitFor([&] { return ended = ended || ::waitpid(pid, &status, WNOHANG) == pid; }, timeout))
    return ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0), pid = -1, -1;
  pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string AgentProcess::run(const std::string& arg) {
  start(arg);
  const int code = exitCode();
  return std::to_string(code) + " " + output();
}

void AgentProcess::settings(const std::string& text) const {
  std::ofstream(root + "/etc/wendrel/wendrel.conf") << text;
}

}  // namespace wendrel::test
