#include "netns.h"

#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

bool NetnsPair::available() {
  return geteuid() == 0;
}

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
  std::system(
      ("ip netns del " + agent_ + " 2>/dev/null; ip netns del " + far_ + " 2>/dev/null").c_str());
}

const NetnsPair::Link& NetnsPair::addLink(const std::string& cidr) {
  const std::string id = std::to_string(getpid()) + "l" + std::to_string(links_.size());
  Link l{"w" + tag_ + "a" + id, "w" + tag_ + "f" + id, cidr.substr(0, cidr.find('/'))};
  // A MAC address of this link's own, so that tests can tell the links' frames apart.
  const auto n = uint32_t(getpid()) * 16 + uint32_t(links_.size());
  l.farMac = {0x02, 0x77, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
  links_.push_back(l);
  create(links_.back(), cidr);
  return links_.back();
}

void NetnsPair::recreateLink(size_t i) {
  create(links_.at(i), "");
}

void NetnsPair::create(Link& l, const std::string& cidr) {
  char mac[18];
  std::snprintf(mac, sizeof mac, "02:77:%02x:%02x:%02x:%02x", l.farMac[2], l.farMac[3], l.farMac[4],
                l.farMac[5]);
  const std::string in = "ip -n " + agent_ + " ", out = "ip -n " + far_ + " ";
  run("ip link add " + l.agentName + " netns " + agent_ + " type veth peer name " + l.farName +
      " netns " + far_ + " address " + mac);
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

}  // namespace wendrel::test
