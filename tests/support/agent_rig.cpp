#include "agent_rig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace wendrel::test {

namespace {

// Refuses socket(AF_NETLINK, ...) with EAFNOSUPPORT; allows everything else.
bool denyNetlink() {
  static sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EAFNOSUPPORT & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  static sock_fprog filter = {static_cast<unsigned short>(std::size(program)), program};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

}  // namespace

bool shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

bool waitUntil(const std::function<bool()>& done, Millis timeout) {
  for (const auto deadline = std::chrono::steady_clock::now() + timeout; !done();) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(Millis(20));
  }
  return true;
}

void waitUntilSteady(const std::function<size_t()>& count, Millis quiet) {
  size_t last = count();
  for (auto spent = Millis(0); spent < Millis(30000); spent += quiet) {
    std::this_thread::sleep_for(quiet);
    if (count() == last)
      return;
    last = count();
  }
}

Agent::Agent(const std::string& binary) {
  char pattern[] = "/tmp/wendrel-agent.XXXXXX";
  if (::mkdtemp(pattern) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  // Readable by everyone and a log directory anyone may write: a run as nobody needs both.
  ::chmod(dir_.c_str(), 0755);
  if (!shell("mkdir -p " + dir_ + "/bin " + root() + "/etc/wendrel " + logDirectory() +
             " && chmod 777 " + logDirectory() + " && cp '" + binary + "' " + dir_ +
             "/bin/wendrel"))
    throw std::runtime_error("cannot set up " + dir_ + " for " + binary);
  std::string properties =
      "log4cplus.rootLogger=DEBUG, c, f\nlog4cplus.appender.c=log4cplus::ConsoleAppender\n"
      "log4cplus.appender.c.logToStdErr=true\nlog4cplus.appender.f=log4cplus::FileAppender\n"
      "log4cplus.appender.f.File=" +
      logDirectory() + "/wendrel.log\n";
  for (const std::string a : {"c", "f"})
    properties += "log4cplus.appender." + a +
                  ".layout=log4cplus::PatternLayout\nlog4cplus.appender." + a +
                  ".layout.ConversionPattern=%p %c - %m%n\n";
  std::ofstream(dir_ + "/bin/log4j.properties") << properties;
  env = {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"},
         {"HOME", dir_},
         {"WENDREL_ROOT", root()},
         {"WENDREL_SYSTEMCTL", "/bin/true"}};
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
    if (const char* value = std::getenv(name))
      env[name] = value;
}

Agent::~Agent() {
  if (alive()) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  shell("rm -rf '" + dir_ + "'");
}

void Agent::settings(const std::string& text) const {
  std::ofstream(root() + "/etc/wendrel/wendrel.conf", std::ios::binary) << text;
  ::chmod((root() + "/etc/wendrel/wendrel.conf").c_str(), 0644);
}

void Agent::settings(const std::string& collector, uint32_t rate, int performanceMode) const {
  settings("CollectorAddress = \"" + collector + "\"\nSamplingRate = " + std::to_string(rate) +
           "\nPerformanceMode = " + std::to_string(performanceMode) + "\n");
}

bool Agent::start(const std::string& arg) {
  if (alive())
    return false;
  // All the child needs is made before fork: between fork and exec only system calls.
  std::vector<std::string> words = wrapper, environment;
  words.push_back(dir_ + "/bin/wendrel");
  if (!arg.empty())
    words.push_back(arg);
  for (const auto& [name, value] : env)
    environment.push_back(name + "=" + value);
  std::vector<char*> argv, envp;
  for (auto& w : words)
    argv.push_back(w.data());
  for (auto& e : environment)
    envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  const std::string program =
      words[0].find('/') == std::string::npos ? "/usr/bin/" + words[0] : words[0];
  const std::string logDir = logDirectory();
  const int netns = ns.empty() ? -1 : ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  const int out =
      ::open((dir_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err =
      ::open((dir_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  status_.reset();
  pid_ = (netns < 0 && !ns.empty()) || out < 0 || err < 0 ? -1 : ::fork();
  if (pid_ == 0) {
    // As `ip netns exec` does: the namespace, and a /sys that shows its interfaces.
    if (netns >= 0 &&
        (setns(netns, CLONE_NEWNET) != 0 || unshare(CLONE_NEWNS) != 0 ||
         mount("none", "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0 ||
         umount2("/sys", MNT_DETACH) != 0 || mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0))
      _exit(120);
    if ((restriction != Restriction::None && netns < 0) ||  // never a mount on the host
        (restriction == Restriction::ReadOnlyLog &&
         mount("tmpfs", logDir.c_str(), "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV, "size=16k")) ||
        (restriction == Restriction::FullLog &&
         mount("tmpfs", logDir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=4k,mode=0777")) ||
        (restriction == Restriction::NoNetlink && !denyNetlink()))
      _exit(121);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  for (int fd : {netns, out, err})
    if (fd >= 0)
      ::close(fd);
  return pid_ > 0;
}

bool Agent::alive() {
  int status = 0;
  if (pid_ <= 0 || status_ || ::waitpid(pid_, &status, WNOHANG) != pid_)
    return pid_ > 0 && !status_;
  status_ = status;
  return false;
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

size_t Agent::count(const std::string& text) const {
  const std::string all = output();
  size_t n = 0;
  for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size()))
    ++n;
  return n;
}

bool Agent::waitForOutput(const std::string& text, Millis timeout, size_t times) const {
  return waitUntil([&] { return count(text) >= times; }, timeout);
}

Collector::Collector(const std::string& ns, const std::string& address) {
  std::string failure;
  // A socket lives in the namespace of the thread that makes it; this one's is left as it is.
  std::thread([&] {
    const int netns = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    sockaddr_in local{AF_INET, htons(6343), {}, {}};
    const int room = 16 << 20;  // everything a test sends between two looks
    if (netns < 0 || setns(netns, CLONE_NEWNET) != 0 ||
        inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
        (fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) < 0 ||
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
      failure = "no collector on " + address + " in " + ns + ": " + std::strerror(errno);
    if (netns >= 0)
      ::close(netns);
  }).join();
  if (!failure.empty()) {
    if (fd_ >= 0)
      ::close(fd_);
    throw std::runtime_error(failure);
  }
}

Collector::~Collector() {
  ::close(fd_);
}

const std::vector<DecodedDatagram>& Collector::datagrams() {
  uint8_t buffer[65536];
  for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;) {
    if (auto datagram = decodeDatagram(buffer, size_t(n)))
      datagrams_.push_back(std::move(*datagram));
    else
      ++undecodable_;
  }
  return datagrams_;
}

size_t Collector::undecodable() {
  datagrams();
  return undecodable_;
}

std::vector<DecodedSample> Collector::samplesFrom(const std::array<uint8_t, 6>& source) {
  std::vector<DecodedSample> found;
  for (const DecodedDatagram& d : datagrams())
    for (const DecodedSample& s : d.samples)
      if (s.header.size() >= 12 && std::equal(source.begin(), source.end(), s.header.begin() + 6))
        found.push_back(s);
  return found;
}

bool Collector::waitForSamples(const std::array<uint8_t, 6>& source, size_t count, Millis timeout) {
  return waitUntil([&] { return samplesFrom(source).size() >= count; }, timeout);
}

std::vector<uint8_t> testFrame(const NetnsPair::Link& link, uint32_t number) {
  std::vector<uint8_t> f = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x99, 0, 0, 0, 0, 0, 0, 0x08, 0,
                            // IPv4 10.250.0.2 -> 10.250.9.9, id `number`; UDP 40000 -> 9
                            0x45, 0, 0, 46, uint8_t(number >> 8), uint8_t(number), 0, 0, 64, 17, 0,
                            0, 10, 250, 0, 2, 10, 250, 9, 9, 0x9c, 0x40, 0, 9, 0, 26, 0, 0};
  std::copy(link.farMac.begin(), link.farMac.end(), f.begin() + 6);
  uint32_t sum = 0;
  for (size_t i = 14; i < 34; i += 2)
    sum += uint32_t(f[i] << 8 | f[i + 1]);
  while (sum >> 16)
    sum = (sum & 0xFFFF) + (sum >> 16);
  sum = ~sum;
  f[24] = uint8_t(sum >> 8);
  f[25] = uint8_t(sum);
  for (int i = 0; i < 4; ++i)
    f.push_back(uint8_t(number >> (24 - 8 * i)));
  f.resize(60);
  return f;
}

size_t sendFrames(const NetnsPair& net, size_t link, size_t count) {
  size_t sent = 0;
  for (size_t n = 0; n < count; ++n)
    sent += net.send(link, testFrame(net.link(link), uint32_t(n)));
  return sent;
}

::testing::AssertionResult everySampleArrived(const std::vector<DecodedSample>& samples,
                                              size_t sent, uint32_t rate) {
  if (samples.size() != sent / rate)
    return ::testing::AssertionFailure()
           << samples.size() << " samples arrived, " << sent / rate << " expected (" << sent
           << " frames at rate " << rate << ")";
  for (size_t i = 0; i < samples.size(); ++i)
    if (samples[i].sequence != i + 1 || samples[i].samplingRate != rate)
      return ::testing::AssertionFailure()
             << "sample " << i << " has sequence number " << samples[i].sequence << " and rate "
             << samples[i].samplingRate;
  return ::testing::AssertionSuccess();
}

}  // namespace wendrel::test
