// agent_cost_collector: receives every UDP datagram sent to ADDRESS:PORT and stores each one,
// as a 4-byte little-endian length followed by its bytes, in OUTPUT; decoding happens after
// the run so that it costs the measured host nothing. Prints "ready" once bound, and on
// SIGTERM/SIGINT drains what is queued and prints a JSON summary. Given STAMPS, it also
// writes there each datagram's kernel receive time (wall clock, ns, 8 bytes little-endian),
// in the same order.
//
// With --send-cost it instead measures what one datagram send costs the sending thread
// (CPU time, kernel delivery to the local receiver included): COUNT unconnected sendto
// calls of SIZE bytes to ADDRESS:PORT, where a collector is listening, back to back (GAP 0)
// or GAP microseconds apart.
//
//   agent_cost_collector ADDRESS PORT OUTPUT [STAMPS]
//   agent_cost_collector --send-cost ADDRESS PORT COUNT SIZE GAP
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

volatile std::sig_atomic_t stopping = 0;

void onSignal(int) {
  stopping = 1;
}

constexpr unsigned kBatch = 64;
constexpr size_t kMaxDatagram = 65536;

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

int measureSendCost(const char* host, const char* port, long count, long size, long gapUs) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(std::atoi(port)));
  if (fd < 0 || inet_pton(AF_INET, host, &to.sin_addr) != 1 || count <= 0 || size <= 0 ||
      size > 65000 || gapUs < 0) {
    std::fprintf(stderr, "agent_cost_collector: bad --send-cost arguments\n");
    return 2;
  }
  std::vector<uint8_t> datagram(static_cast<size_t>(size), 0x5A);
  // What reading the clock twice costs, taken off every paced measurement below.
  const double calibrateBegin = threadCpuSeconds();
  for (int i = 0; i < 1000; ++i)
    threadCpuSeconds();
  const double clockCost = (threadCpuSeconds() - calibrateBegin) / 1000.0;

  long failed = 0;
  double seconds = 0;
  if (gapUs == 0) {
    const double begin = threadCpuSeconds();
    for (long i = 0; i < count; ++i) {
      if (sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to) < 0)
        ++failed;
    }
    seconds = threadCpuSeconds() - begin;
  } else {
    // Paced like an agent's datagrams: the receiver is asleep before each one, so every
    // send also pays for waking it, as the agent's sends do.
    const timespec gap{gapUs / 1000000, (gapUs % 1000000) * 1000};
    for (long i = 0; i < count; ++i) {
      const double begin = threadCpuSeconds();
      if (sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to) < 0)
        ++failed;
      seconds += threadCpuSeconds() - begin - clockCost;
      nanosleep(&gap, nullptr);
    }
  }
  close(fd);
  std::printf(
      "{\"sends\": %ld, \"failed\": %ld, \"size\": %ld, \"gap_us\": %ld, "
      "\"per_send_us\": %.4f}\n",
      count, failed, size, gapUs, seconds * 1e6 / static_cast<double>(count));
  return failed == 0 ? 0 : 1;
}

// 0 when the kernel gave no stamp.
void writeStamp(std::FILE* stamps, msghdr& header) {
  uint64_t ns = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec t{};
      std::memcpy(&t, CMSG_DATA(c), sizeof t);
      ns = static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
    }
  }
  uint8_t bytes[8];
  for (int b = 0; b < 8; ++b)
    bytes[b] = static_cast<uint8_t>(ns >> (8 * b));
  std::fwrite(bytes, 1, 8, stamps);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::strcmp(argv[1], "--send-cost") == 0) {
    return measureSendCost(argv[2], argv[3], std::atol(argv[4]), std::atol(argv[5]),
                           std::atol(argv[6]));
  }
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: agent_cost_collector ADDRESS PORT OUTPUT [STAMPS]\n");
    return 2;
  }
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    std::perror("agent_cost_collector: socket");
    return 1;
  }
  // Large enough that a burst of datagrams never overflows it while the collector sleeps.
  const int receiveBuffer = 64 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof receiveBuffer) < 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
  if (inet_pton(AF_INET, argv[1], &address.sin_addr) != 1) {
    std::fprintf(stderr, "agent_cost_collector: bad address %s\n", argv[1]);
    return 2;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
    std::perror("agent_cost_collector: bind");
    return 1;
  }
  std::FILE* out = std::fopen(argv[3], "wb");
  std::FILE* stamps = argc == 5 ? std::fopen(argv[4], "wb") : nullptr;
  if (out == nullptr || (argc == 5 && stamps == nullptr)) {
    std::perror("agent_cost_collector: output");
    return 1;
  }
  if (stamps != nullptr) {
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  }

  struct sigaction action {};
  action.sa_handler = onSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  std::printf("ready\n");
  std::fflush(stdout);

  std::vector<uint8_t> buffers(kBatch * kMaxDatagram);
  std::vector<iovec> iov(kBatch);
  std::vector<mmsghdr> messages(kBatch);
  std::vector<uint8_t> controls(kBatch * CMSG_SPACE(sizeof(timespec)));
  uint64_t datagrams = 0;
  uint64_t bytes = 0;
  for (;;) {
    const bool last = stopping;  // one more full drain after the stop signal
    for (;;) {
      for (unsigned i = 0; i < kBatch; ++i) {
        iov[i].iov_base = buffers.data() + i * kMaxDatagram;
        iov[i].iov_len = kMaxDatagram;
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        if (stamps != nullptr) {
          messages[i].msg_hdr.msg_control = controls.data() + i * CMSG_SPACE(sizeof(timespec));
          messages[i].msg_hdr.msg_controllen = CMSG_SPACE(sizeof(timespec));
        }
      }
      const int n = recvmmsg(fd, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
      if (n < 0) {
        if (errno == EINTR)
          continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
          std::perror("agent_cost_collector: recvmmsg");
        break;
      }
      for (int i = 0; i < n; ++i) {
        const uint32_t length = messages[static_cast<unsigned>(i)].msg_len;
        const uint8_t prefix[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                                   static_cast<uint8_t>(length >> 16),
                                   static_cast<uint8_t>(length >> 24)};
        std::fwrite(prefix, 1, 4, out);
        std::fwrite(iov[static_cast<unsigned>(i)].iov_base, 1, length, out);
        if (stamps != nullptr)
          writeStamp(stamps, messages[static_cast<unsigned>(i)].msg_hdr);
        ++datagrams;
        bytes += length;
      }
    }
    if (last)
      break;
    // Polled on a timer rather than woken per datagram: a sender to this collector then
    // pays what a send to a remote collector costs, not for waking a local process too.
    const timespec pause{0, 20 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  std::fclose(out);
  if (stamps != nullptr)
    std::fclose(stamps);
  close(fd);
  std::printf("{\"datagrams\": %llu, \"bytes\": %llu}\n",
              static_cast<unsigned long long>(datagrams), static_cast<unsigned long long>(bytes));
  return 0;
}
