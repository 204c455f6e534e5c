#include "scenario.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

namespace wendrel::test {

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
    const int netns = ns.empty() ? -1 : ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns.empty() || (netns >= 0 && setns(netns, CLONE_NEWNET) == 0))
      fd_ = ::socket(in.sin_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
      ::close(fd_), fd_ = -1;
    if (netns >= 0)
      ::close(netns);
  }).join();
  const timeval timeout{0, 100000};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

UdpCollector::~UdpCollector() {
  if (fd_ >= 0)
    ::close(fd_);
}

std::string UdpCollector::label() const {
  sockaddr_storage at{};
  socklen_t size = sizeof at;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &size);
  char text[INET6_ADDRSTRLEN] = "";
  if (at.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(at);
    inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(in6.sin6_port));
  }
  const auto& in = reinterpret_cast<const sockaddr_in&>(at);
  inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(in.sin_port));
}

void UdpCollector::sendTo(const std::string& address, uint16_t port) {
  sockaddr_in to{AF_INET, htons(port), {}, {}};
  inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  ::sendto(fd_, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
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
