#include "agent_rig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace wendrel::test {

bool shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

bool waitUntil(const std::function<bool()>& done, Millis timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(Millis(20));
  return done();
}

Agent::Agent(const std::string& binary) {
  char pattern[] = "/tmp/wendrel-agent.XXXXXX";
  dir_ = ::mkdtemp(pattern) ? pattern : "";
  // A run as nobody must reach the executable.
  if (dir_.empty() || !shell("chmod 755 " + dir_ + " && mkdir -p " + dir_ + "/bin " + root() +
                             "/etc/wendrel && cp '" + binary + "' " + dir_ + "/bin/wendrel"))
    throw std::runtime_error("cannot set up " + dir_ + " for " + binary);
  std::ofstream(dir_ + "/bin/log4j.properties")
      << "log4cplus.rootLogger=DEBUG, c\nlog4cplus.appender.c=log4cplus::ConsoleAppender\n"
         "log4cplus.appender.c.logToStdErr=true\n"
         "log4cplus.appender.c.layout=log4cplus::PatternLayout\n"
         "log4cplus.appender.c.layout.ConversionPattern=%p %c - %m%n\n";
  env = {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"},
         {"HOME", dir_},
         {"WENDREL_ROOT", root()},
         {"WENDREL_SYSTEMCTL", "/bin/true"}};
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
    if (const char* value = std::getenv(name))
      env[name] = value;
}

Agent::~Agent() {
  if (alive())
    ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
  shell("rm -rf '" + dir_ + "'");
}

void Agent::settings(const std::string& text) const {
  std::ofstream(root() + "/etc/wendrel/wendrel.conf") << text;
}

// A shell that execs, through env, `ip netns exec` (which enters the namespace and mounts a
// /sys that shows its interfaces) and the wrapper, so the process started is the agent.
bool Agent::start(const std::string& arg) {
  if (alive())
    return false;
  std::string command = "exec env -i";
  for (const auto& [name, value] : env)
    command += " '" + name + "=" + value + "'";
  command += ns.empty() ? "" : " ip netns exec " + ns;
  for (const std::string& word : wrapper)
    command += " " + word;
  command += " " + dir_ + "/bin/wendrel " + arg + " 2>" + dir_ + "/stderr";
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  status_.reset();
  if (posix_spawn(&pid_, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
    pid_ = -1;
  return pid_ > 0;
}

bool Agent::alive() {
  int status = 0;
  if (pid_ > 0 && !status_ && ::waitpid(pid_, &status, WNOHANG) == pid_)
    status_ = status;
  return pid_ > 0 && !status_;
}

int Agent::exitCode(Millis timeout) {
  if (!waitUntil([this] { return !alive(); }, timeout)) {
    ::kill(pid_, SIGKILL);
    waitUntil([this] { return !alive(); }, Millis(10000));
    return -1;
  }
  if (!status_)
    return -1;
  return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : 128 + WTERMSIG(*status_);
}

std::string Agent::run(const std::string& arg) {
  const int code = start(arg) ? exitCode() : -1;
  return std::to_string(code) + " " + output();
}

void Agent::signal(int sig) const {
  if (pid_ > 0 && !status_)
    ::kill(pid_, sig);
}

Collector::Collector(const std::string& ns, const std::string& address) {
  // A socket lives in the namespace of the thread that makes it; this one's is left as it is.
  std::thread([&] {
    const int netns = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    sockaddr_in local{AF_INET, htons(6343), {}, {}};
    if (netns >= 0 && setns(netns, CLONE_NEWNET) == 0 &&
        inet_pton(AF_INET, address.c_str(), &local.sin_addr) == 1)
      fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
      ::close(fd_), fd_ = -1;
    ::close(netns);
  }).join();
  if (fd_ < 0)
    throw std::runtime_error("no collector on " + address + " in " + ns);
}

Collector::~Collector() {
  ::close(fd_);
}

size_t Collector::undecodable() {
  uint8_t buffer[65536];
  for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;) {
    auto datagram = decodeDatagram(buffer, size_t(n));
    datagram ? datagrams_.push_back(std::move(*datagram)) : void(++undecodable_);
  }
  return undecodable_;
}

std::pair<size_t, size_t> Collector::received() {
  undecodable();
  size_t samples = 0;
  for (const DecodedDatagram& d : datagrams_)
    samples += d.samples.size();
  return {datagrams_.size(), samples};
}

std::multiset<uint32_t> Collector::framesFrom(const NetnsPair::Link& link) {
  undecodable();
  std::multiset<uint32_t> numbers;
  for (const DecodedDatagram& d : datagrams_)
    for (const DecodedSample& s : d.samples)
      if (s.header.size() >= 20 && s.header[12] == 8 && s.header[13] == 0 &&  // IPv4
          std::equal(link.farMac.begin(), link.farMac.end(), s.header.begin() + 6))
        numbers.insert(uint32_t(s.header[18] << 8 | s.header[19]));
  return numbers;
}

std::vector<uint8_t> testFrame(const NetnsPair::Link& link, uint16_t number) {
  std::vector<uint8_t> f = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x99, 0, 0, 0, 0, 0, 0, 0x08, 0,
                            // IPv4 10.250.0.2 -> 10.250.9.9, id `number`; UDP 40000 -> 9
                            0x45, 0, 0, 46, uint8_t(number >> 8), uint8_t(number), 0, 0, 64, 17, 0,
                            0, 10, 250, 0, 2, 10, 250, 9, 9, 0x9c, 0x40, 0, 9, 0, 26, 0, 0};
  std::copy(link.farMac.begin(), link.farMac.end(), f.begin() + 6);
  f.resize(60);  // no checksum: nothing on the way reads it
  return f;
}

::testing::AssertionResult capturing(Agent& agent, NetnsPair& net, Collector& collector) {
  if (!agent.start())
    return ::testing::AssertionFailure() << "the agent did not start";
  for (uint16_t i = 1000; i < 1100; ++i) {
    net.send(0, testFrame(net.link(0), i));
    if (waitUntil([&] { return !collector.framesFrom(net.link(0)).empty(); }, Millis(100)))
      return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "nothing sampled\n" << agent.output();
}

bool sendFrames(const NetnsPair& net, uint16_t count) {
  bool sent = true;
  for (uint16_t n = 0; n < count; ++n)
    sent = net.send(0, testFrame(net.link(0), n)) && sent;
  return sent;
}

}  // namespace wendrel::test
