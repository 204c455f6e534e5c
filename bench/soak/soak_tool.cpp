// The soak's two helpers, built by bench/soak/run:
//
//   soak_tool send INTERFACE SECONDS
//     Sends IPv4/UDP frames (valid header checksums, every checksum value in turn) out of
//     INTERFACE as fast as sendmmsg allows, for SECONDS. The frames go to a MAC address no
//     host owns, so the receiving side only captures them (promiscuously) and never answers.
//     Prints "sent=N" at the end.
//
//   soak_tool collect ADDRESS PORT
//     Receives the agent's sFlow datagrams on ADDRESS:PORT until SIGTERM/SIGINT, checking
//     every datagram with the tests' strict decoder; prints "ready" once bound and, at the
//     end, key=value lines: datagrams, samples, bad (undecodable datagrams), datagram_gaps
//     (missing datagram sequence numbers), and per source "source.<id>.samples",
//     ".last_sequence" and ".gaps" (missing sample sequence numbers).
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "sflow_decoder.h"

namespace {

volatile sig_atomic_t stopping = 0;
void onSignal(int) {
  stopping = 1;
}

double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

uint16_t ipChecksum(const uint8_t* header, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2)
    sum += uint32_t(header[i] << 8 | header[i + 1]);
  while (sum >> 16)
    sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

constexpr size_t kFrameSize = 60;
constexpr unsigned kBatch = 64;

// A minimal IPv4/UDP frame; the IP id varies so the header checksum takes every value.
void buildFrame(uint8_t* f, const uint8_t* source, uint16_t id) {
  std::memset(f, 0, kFrameSize);
  const uint8_t nobody[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x99};
  std::memcpy(f, nobody, 6);
  std::memcpy(f + 6, source, 6);
  f[12] = 0x08;
  f[13] = 0x00;
  uint8_t* ip = f + 14;
  ip[0] = 0x45;
  ip[2] = 0;
  ip[3] = 46;  // 20 IP + 8 UDP + 18 payload
  ip[4] = static_cast<uint8_t>(id >> 8);
  ip[5] = static_cast<uint8_t>(id);
  ip[8] = 64;
  ip[9] = 17;
  const uint8_t src[4] = {10, 251, 0, 2}, dst[4] = {10, 251, 9, 9};
  std::memcpy(ip + 12, src, 4);
  std::memcpy(ip + 16, dst, 4);
  const uint16_t sum = ipChecksum(ip, 20);
  ip[10] = static_cast<uint8_t>(sum >> 8);
  ip[11] = static_cast<uint8_t>(sum);
  uint8_t* udp = ip + 20;
  udp[0] = 0x9c;  // 40000
  udp[1] = 0x40;
  udp[3] = 9;
  udp[5] = 26;  // length; checksum 0 (none)
}

int send(const char* interfaceName, double seconds) {
  const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    perror("socket");
    return 1;
  }
  ifreq request{};
  std::strncpy(request.ifr_name, interfaceName, IFNAMSIZ - 1);
  if (ioctl(fd, SIOCGIFHWADDR, &request) != 0) {
    perror("SIOCGIFHWADDR");
    return 1;
  }
  uint8_t mac[6];
  std::memcpy(mac, request.ifr_hwaddr.sa_data, 6);
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_ifindex = static_cast<int>(if_nametoindex(interfaceName));
  to.sll_halen = ETH_ALEN;

  static uint8_t frames[kBatch][kFrameSize];
  iovec vectors[kBatch];
  mmsghdr messages[kBatch];
  uint16_t id = 0;
  uint64_t sent = 0;
  const double end = now() + seconds;
  while (!stopping && now() < end) {
    for (unsigned i = 0; i < kBatch; ++i) {
      buildFrame(frames[i], mac, id++);
      vectors[i] = {frames[i], kFrameSize};
      messages[i] = {};
      messages[i].msg_hdr.msg_name = &to;
      messages[i].msg_hdr.msg_namelen = sizeof to;
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = sendmmsg(fd, messages, kBatch, 0);
    if (n < 0) {
      if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR)
        continue;
      perror("sendmmsg");
      break;
    }
    sent += static_cast<unsigned>(n);
    // Frames the call did not take are rebuilt (same ids are fine: only counts matter).
    id = static_cast<uint16_t>(id - (kBatch - static_cast<unsigned>(n)));
  }
  std::printf("sent=%llu\n", static_cast<unsigned long long>(sent));
  close(fd);
  return 0;
}

struct Source {
  uint64_t samples = 0;
  uint32_t lastSequence = 0;
  uint64_t gaps = 0;
};

int collect(const char* address, int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &local.sin_addr);
  const int big = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    perror("bind");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  uint64_t datagrams = 0, samples = 0, bad = 0, datagramGaps = 0;
  uint32_t lastDatagram = 0;
  std::map<uint32_t, Source> sources;
  std::vector<uint8_t> buffer(65536);
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, 200);
    if (ready <= 0) {
      if (stopping)
        break;  // drained: nothing more queued
      continue;
    }
    const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0)
      continue;
    const auto datagram = wendrel::test::decodeDatagram(buffer.data(), static_cast<size_t>(n));
    if (!datagram) {
      ++bad;
      continue;
    }
    ++datagrams;
    const uint32_t sequence = datagram->sequence;
    if (lastDatagram != 0 && sequence != lastDatagram + 1)
      datagramGaps += sequence - lastDatagram - 1;
    lastDatagram = sequence;
    for (const auto& sample : datagram->samples) {
      Source& s = sources[sample.sourceId];
      if (sample.sequence != s.lastSequence + 1)
        s.gaps += sample.sequence - s.lastSequence - 1;
      s.lastSequence = sample.sequence;
      ++s.samples;
      ++samples;
    }
  }
  std::printf("datagrams=%llu\nsamples=%llu\nbad=%llu\ndatagram_gaps=%llu\n",
              static_cast<unsigned long long>(datagrams), static_cast<unsigned long long>(samples),
              static_cast<unsigned long long>(bad), static_cast<unsigned long long>(datagramGaps));
  for (const auto& [id, s] : sources) {
    std::printf("source.%u.samples=%llu\nsource.%u.last_sequence=%u\nsource.%u.gaps=%llu\n", id,
                static_cast<unsigned long long>(s.samples), id, s.lastSequence, id,
                static_cast<unsigned long long>(s.gaps));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  if (argc == 4 && std::strcmp(argv[1], "send") == 0)
    return send(argv[2], std::atof(argv[3]));
  if (argc == 4 && std::strcmp(argv[1], "collect") == 0)
    return collect(argv[2], std::atoi(argv[3]));
  std::fprintf(stderr, "usage: soak_tool send INTERFACE SECONDS | collect ADDRESS PORT\n");
  return 2;
}
