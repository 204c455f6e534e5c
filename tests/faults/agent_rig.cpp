#include "agent_rig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace wendrel::test {

namespace {

constexpr char kAppIdRecord[] =
    "/var/lib/wendrel/AppID/{6f1e2b7a-3c59-4d84-9a0e-5b7c2d41e8f3}.conf";

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out)
    throw std::runtime_error("cannot write " + path);
  ::chmod(path.c_str(), 0644);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

uint16_t ipChecksum(const uint8_t* header, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2)
    sum += uint32_t(header[i] << 8 | header[i + 1]);
  while (sum >> 16)
    sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// Refuses socket(AF_NETLINK, ...) with EAFNOSUPPORT; everything else is allowed.
bool denyNetlink() {
  static sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EAFNOSUPPORT & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  static sock_fprog filter = {static_cast<unsigned short>(sizeof program / sizeof program[0]),
                              program};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

}  // namespace

void inNetns(const std::string& ns, const std::function<void()>& body) {
  std::string failure;
  std::thread worker([&] {
    const int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
      failure = "cannot enter namespace " + ns;
    } else {
      try {
        body();
      } catch (const std::exception& e) {
        failure = e.what();
      }
    }
    if (fd >= 0)
      ::close(fd);
  });
  worker.join();
  if (!failure.empty())
    throw std::runtime_error(failure);
}

bool shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

AgentProcess::AgentProcess(const std::string& binary) : binary_(binary) {
  char pattern[] = "/tmp/wendrel-fault.XXXXXX";
  if (::mkdtemp(pattern) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  // Readable by everyone: the least-privilege run reads it as nobody.
  ::chmod(root_.c_str(), 0755);
  for (const char* dir : {"/bin", "/etc", "/etc/wendrel", "/var", "/var/lib", "/var/lib/wendrel",
                          "/var/lib/wendrel/AppID", "/log"}) {
    ::mkdir((root_ + dir).c_str(), 0755);
  }
  ::chmod((root_ + "/log").c_str(), 0777);
  if (!shell("cp '" + binary_ + "' '" + root_ + "/bin/wendrel'")) {
    throw std::runtime_error("cannot copy " + binary_);
  }
  // An empty registration record without "LocalService": the agent runs in the foreground.
  writeFile(root_ + kAppIdRecord, "");
  writeFile(root_ + "/bin/log4j.properties",
            "log4cplus.rootLogger=DEBUG, console, file\n"
            "log4cplus.appender.console=log4cplus::ConsoleAppender\n"
            "log4cplus.appender.console.logToStdErr=true\n"
            "log4cplus.appender.console.layout=log4cplus::PatternLayout\n"
            "log4cplus.appender.console.layout.ConversionPattern=%-5p %c - %m%n\n"
            "log4cplus.appender.file=log4cplus::FileAppender\n"
            "log4cplus.appender.file.File=" +
                logDirectory() +
                "/wendrel.log\n"
                "log4cplus.appender.file.layout=log4cplus::PatternLayout\n"
                "log4cplus.appender.file.layout.ConversionPattern=%-5p %c - %m%n\n");
}

AgentProcess::~AgentProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  shell("rm -rf '" + root_ + "'");
}

void AgentProcess::writeSettings(const std::string& text) {
  writeFile(root_ + "/etc/wendrel/wendrel.conf", text);
}

void AgentProcess::writeSettings(const std::string& collector, uint32_t rate, int performanceMode) {
  writeSettings("CollectorAddress = \"" + collector + "\"\nSamplingRate = " + std::to_string(rate) +
                "\nPerformanceMode = " + std::to_string(performanceMode) + "\n");
}

bool AgentProcess::start(const std::string& ns, Restriction restriction,
                         const std::vector<std::string>& wrapper) {
  // Everything the child needs is made before fork: between fork and exec only system calls.
  std::vector<std::string> words = wrapper;
  words.push_back(root_ + "/bin/wendrel");
  std::vector<char*> argv;
  for (auto& w : words)
    argv.push_back(w.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment{"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "HOME=" + root_,
                                       "WENDREL_ROOT=" + root_};
  std::vector<char*> envp;
  for (auto& e : environment)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string program =
      words.front().find('/') == std::string::npos ? "/usr/bin/" + words.front() : words.front();
  const std::string netnsPath = "/run/netns/" + ns;
  const std::string logDir = logDirectory();
  const int netnsFd = ::open(netnsPath.c_str(), O_RDONLY | O_CLOEXEC);
  const int out =
      ::open((root_ + "/agent.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err =
      ::open((root_ + "/agent.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (netnsFd < 0 || out < 0 || err < 0)
    return false;

  pid_ = ::fork();
  if (pid_ == 0) {
    // As `ip netns exec` does: the namespace, and a /sys that shows its interfaces.
    if (setns(netnsFd, CLONE_NEWNET) != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0 ||
        umount2("/sys", MNT_DETACH) != 0 || mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
      _exit(120);
    }
    if (restriction == Restriction::ReadOnlyLogDirectory &&
        mount("tmpfs", logDir.c_str(), "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV, "size=16k") !=
            0) {
      _exit(121);
    }
    if (restriction == Restriction::FullLogDirectory &&
        mount("tmpfs", logDir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=4k,mode=0777") != 0) {
      _exit(123);
    }
    if (restriction == Restriction::NoNetlink && !denyNetlink())
      _exit(122);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  ::close(netnsFd);
  ::close(out);
  ::close(err);
  status_.reset();
  return pid_ > 0;
}

void AgentProcess::signal(int sig) const {
  if (pid_ > 0)
    ::kill(pid_, sig);
}

bool AgentProcess::alive() {
  if (pid_ <= 0 || status_)
    return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = status;
    return false;
  }
  return true;
}

std::optional<int> AgentProcess::waitExit(Millis timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (alive()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
      status_ = status;
      return std::nullopt;
    }
    std::this_thread::sleep_for(Millis(10));
  }
  return status_;
}

std::string AgentProcess::output() const {
  return readFile(root_ + "/agent.err");
}

size_t AgentProcess::count(const std::string& text) const {
  const std::string all = output();
  size_t n = 0;
  for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size()))
    ++n;
  return n;
}

bool AgentProcess::waitForOutput(const std::string& text, Millis timeout, size_t times) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (count(text) < times) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(Millis(20));
  }
  return true;
}

Collector::Collector(const std::string& ns, const std::string& address, uint16_t port) {
  inNetns(ns, [&] {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    const int big = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      throw std::runtime_error("collector cannot bind " + address + ": " + std::strerror(errno));
    }
  });
  thread_ = std::thread([this] { receive(); });
}

Collector::~Collector() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  thread_.join();
  ::close(fd_);
}

void Collector::receive() {
  std::vector<uint8_t> buffer(65536);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_)
        return;
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0)
      continue;
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n <= 0)
      continue;
    auto datagram = decodeDatagram(buffer.data(), static_cast<size_t>(n));
    std::lock_guard<std::mutex> lock(mutex_);
    if (datagram) {
      datagrams_.push_back(std::move(*datagram));
    } else {
      ++undecodable_;
    }
    changed_.notify_all();
  }
}

std::vector<DecodedDatagram> Collector::datagrams() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return datagrams_;
}

size_t Collector::undecodable() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return undecodable_;
}

std::vector<DecodedSample> Collector::samplesFrom(const std::array<uint8_t, 6>& source) const {
  std::vector<DecodedSample> found;
  for (const DecodedDatagram& d : datagrams()) {
    for (const DecodedSample& s : d.samples) {
      if (s.header.size() >= 12 && std::equal(source.begin(), source.end(), s.header.begin() + 6)) {
        found.push_back(s);
      }
    }
  }
  return found;
}

bool Collector::waitForSamples(const std::array<uint8_t, 6>& source, size_t count,
                               Millis timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (samplesFrom(source).size() < count) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(Millis(20));
  }
  return true;
}

std::vector<uint8_t> testFrame(const NetnsPair::Link& link, uint32_t number) {
  std::vector<uint8_t> f(60, 0);
  const uint8_t nobody[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x99};
  std::memcpy(f.data(), nobody, 6);
  std::memcpy(f.data() + 6, link.farMac.data(), 6);
  f[12] = 0x08;
  uint8_t* ip = f.data() + 14;
  ip[0] = 0x45;
  ip[3] = 46;
  ip[4] = static_cast<uint8_t>(number >> 8);
  ip[5] = static_cast<uint8_t>(number);
  ip[8] = 64;
  ip[9] = 17;
  const uint8_t src[4] = {10, 250, 0, 2}, dst[4] = {10, 250, 9, 9};
  std::memcpy(ip + 12, src, 4);
  std::memcpy(ip + 16, dst, 4);
  const uint16_t sum = ipChecksum(ip, 20);
  ip[10] = static_cast<uint8_t>(sum >> 8);
  ip[11] = static_cast<uint8_t>(sum);
  uint8_t* udp = ip + 20;
  udp[0] = 0x9c;
  udp[1] = 0x40;
  udp[3] = 9;
  udp[5] = 26;
  for (int i = 0; i < 4; ++i)
    udp[8 + i] = static_cast<uint8_t>(number >> (24 - 8 * i));
  return f;
}

size_t sendFrames(const NetnsPair& net, size_t i, size_t count) {
  size_t sent = 0;
  for (size_t n = 0; n < count; ++n) {
    if (net.send(i, testFrame(net.link(i), static_cast<uint32_t>(n))))
      ++sent;
  }
  return sent;
}

::testing::AssertionResult everySampleArrived(const std::vector<DecodedSample>& samples,
                                              size_t sent, uint32_t rate) {
  const size_t expected = sent / rate;
  if (samples.size() != expected) {
    return ::testing::AssertionFailure()
           << samples.size() << " samples arrived, " << expected << " expected (" << sent
           << " frames at rate " << rate << ")";
  }
  for (size_t i = 0; i < samples.size(); ++i) {
    if (samples[i].sequence != i + 1) {
      return ::testing::AssertionFailure()
             << "sample " << i << " has sequence number " << samples[i].sequence;
    }
    if (samples[i].samplingRate != rate) {
      return ::testing::AssertionFailure()
             << "sample " << i << " has rate " << samples[i].samplingRate;
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace wendrel::test
