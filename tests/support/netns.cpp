#include "netns.h"

#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace wendrel::test {

namespace {

void run(const std::string& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
    throw std::runtime_error("command failed: " + command);
  }
}

int openNamespace(const std::string& name) {
  const std::string path = "/run/netns/" + name;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  return fd;
}

// Runs `body` with the calling thread in namespace `name`, then returns the thread to
// the namespace it was in. Sockets made meanwhile stay in `name`.
template <typename Body>
void inNamespace(const std::string& name, Body body) {
  const int here = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (here < 0)
    throw std::runtime_error("cannot open own namespace");
  const int there = openNamespace(name);
  if (setns(there, CLONE_NEWNET) != 0) {
    ::close(here);
    ::close(there);
    throw std::runtime_error("setns " + name + ": " + std::strerror(errno));
  }
  ::close(there);
  std::string failure;
  try {
    body();
  } catch (const std::exception& e) {
    failure = e.what();
  }
  const int back = setns(here, CLONE_NEWNET);
  ::close(here);
  if (back != 0)
    std::abort();  // the thread would stay in a namespace about to vanish
  if (!failure.empty())
    throw std::runtime_error(failure);
}

}  // namespace

bool NetnsPair::available() {
  return geteuid() == 0;
}

NetnsPair::NetnsPair(const std::string& tag) : tag_(tag) {
  const std::string pid = std::to_string(getpid());
  agent_ = "wendrel-" + tag + "a" + pid;
  far_ = "wendrel-" + tag + "f" + pid;
  try {
    // Left over from an earlier run with the same pid, if any.
    std::system(("ip netns del " + agent_ + " >/dev/null 2>&1").c_str());
    std::system(("ip netns del " + far_ + " >/dev/null 2>&1").c_str());
    run("ip netns add " + agent_);
    run("ip netns add " + far_);
  } catch (...) {
    cleanUp();
    throw;
  }
}

NetnsPair::~NetnsPair() {
  cleanUp();
}

void NetnsPair::cleanUp() noexcept {
  if (entered_)
    leaveAgent();
  if (originalNs_ >= 0)
    ::close(originalNs_);
  originalNs_ = -1;
  for (Link& l : links_) {
    if (l.farSocket >= 0)
      ::close(l.farSocket);
    l.farSocket = -1;
  }
  // Deleting a namespace removes the veths in it, and with them their peers.
  std::system(("ip netns del " + agent_ + " >/dev/null 2>&1").c_str());
  std::system(("ip netns del " + far_ + " >/dev/null 2>&1").c_str());
}

const NetnsPair::Link& NetnsPair::addLink(const std::string& agentCidr) {
  const std::string pid = std::to_string(getpid());
  const std::string n = std::to_string(links_.size());
  Link l;
  l.agentName = "w" + tag_ + "a" + pid + "l" + n;
  l.farName = "w" + tag_ + "f" + pid + "l" + n;
  if (l.agentName.size() > 15)
    throw std::runtime_error("interface name too long: " + l.agentName);
  run("ip link add " + l.agentName + " netns " + agent_ + " type veth peer name " + l.farName +
      " netns " + far_);
  if (!agentCidr.empty()) {
    run("ip -n " + agent_ + " addr add " + agentCidr + " dev " + l.agentName);
    l.agentAddress = agentCidr.substr(0, agentCidr.find('/'));
  }
  run("ip -n " + agent_ + " link set " + l.agentName + " up");
  run("ip -n " + far_ + " link set " + l.farName + " up");

  inNamespace(far_, [&l] {
    l.farIndex = static_cast<int>(if_nametoindex(l.farName.c_str()));
    if (l.farIndex == 0)
      throw std::runtime_error("no interface " + l.farName);
    // Protocol 0: the socket only sends, it receives nothing.
    l.farSocket = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (l.farSocket < 0)
      throw std::runtime_error(std::string("AF_PACKET: ") + std::strerror(errno));
    ifreq request{};
    std::strncpy(request.ifr_name, l.farName.c_str(), IFNAMSIZ - 1);
    if (ioctl(l.farSocket, SIOCGIFHWADDR, &request) != 0) {
      throw std::runtime_error("SIOCGIFHWADDR " + l.farName);
    }
    std::memcpy(l.farMac.data(), request.ifr_hwaddr.sa_data, 6);
  });
  links_.push_back(l);

  // A veth carries frames once both ends are up; the far end reports it as running.
  bool running = false;
  inNamespace(far_, [&l, &running] {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    for (int i = 0; i < 300 && !running; ++i) {
      ifreq request{};
      std::strncpy(request.ifr_name, l.farName.c_str(), IFNAMSIZ - 1);
      running = ioctl(s, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_RUNNING) != 0;
      if (!running)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::close(s);
  });
  if (!running)
    throw std::runtime_error("link " + l.farName + " does not come up");
  return links_.back();
}

void NetnsPair::removeLink(size_t i) {
  run("ip -n " + agent_ + " link del " + links_.at(i).agentName);
}

void NetnsPair::enterAgent() {
  if (entered_)
    return;
  originalNs_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (originalNs_ < 0)
    throw std::runtime_error("cannot open own namespace");
  const int fd = openNamespace(agent_);
  const int rc = setns(fd, CLONE_NEWNET);
  ::close(fd);
  if (rc != 0)
    throw std::runtime_error("setns " + agent_ + ": " + std::strerror(errno));
  entered_ = true;
}

void NetnsPair::leaveAgent() {
  if (!entered_)
    return;
  if (setns(originalNs_, CLONE_NEWNET) != 0)
    std::abort();
  entered_ = false;
}

bool NetnsPair::send(size_t i, const std::vector<uint8_t>& frame) const {
  const Link& l = links_.at(i);
  if (frame.size() < ETH_HLEN)
    return false;
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_ifindex = l.farIndex;
  to.sll_halen = ETH_ALEN;
  std::memcpy(to.sll_addr, frame.data(), ETH_ALEN);
  const ssize_t sent = ::sendto(l.farSocket, frame.data(), frame.size(), 0,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return sent == static_cast<ssize_t>(frame.size());
}

}  // namespace wendrel::test
