// The bench's one datagram receiver and its reading. collect stores each datagram with its
// kernel receive time (8-byte wall-clock ns and 4-byte length, little endian, then the bytes),
// flushed after every drain so that a runner can follow the file, and decodes later so that
// it costs the measured host nothing; with --check (the soak, too long to store) it decodes
// each datagram at once and keeps only the account.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "sflow_decoder.h"

namespace {

using wendrel::test::DecodedDatagram;

void littleEndian(std::FILE* out, uint64_t value, int bytes) {
  for (int b = 0; b < bytes; ++b)
    std::fputc(static_cast<int>(value >> (8 * b) & 0xFF), out);
}

sockaddr_in address(const std::string& host, const std::string& port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(std::stoul(port)));
  if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) {
    std::fprintf(stderr, "wendrel_bench: bad address %s\n", host.c_str());
    std::exit(2);
  }
  return a;
}

// The soak's account: gaps in the datagram sequence and in each source's sample sequence.
struct Check {
  uint64_t datagrams = 0, samples = 0, bad = 0, datagramGaps = 0, sampleGaps = 0;
  uint32_t lastDatagram = 0;
  std::map<uint32_t, uint32_t> lastSample;  // by source

  void add(const uint8_t* data, size_t size) {
    const auto d = wendrel::test::decodeDatagram(data, size);
    if (!d) {
      ++bad;
      return;
    }
    ++datagrams;
    if (lastDatagram != 0 && d->sequence != lastDatagram + 1)
      datagramGaps += d->sequence - lastDatagram - 1;
    lastDatagram = d->sequence;
    for (const auto& sample : d->samples) {
      uint32_t& last = lastSample[sample.sourceId];
      sampleGaps += uint32_t(sample.sequence - last - 1);
      last = sample.sequence, ++samples;
    }
  }
  void print() const {
    std::printf(
        "{\"datagrams\": %llu, \"samples\": %llu, \"bad\": %llu, \"datagram_gaps\": %llu, "
        "\"sample_gaps\": %llu}\n",
        (unsigned long long)datagrams, (unsigned long long)samples, (unsigned long long)bad,
        (unsigned long long)datagramGaps, (unsigned long long)sampleGaps);
  }
};

std::string hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes)
    out += digits[b >> 4], out += digits[b & 15];
  return out;
}

void printDatagram(uint64_t at, size_t size, const DecodedDatagram& d) {
  std::printf("{\"at\": %llu, \"size\": %zu, \"sequence\": %u, \"samples\": [",
              (unsigned long long)at, size, d.sequence);
  for (size_t i = 0; i < d.samples.size(); ++i) {
    const auto& s = d.samples[i];
    std::printf("%s[%u, %u, %u, %u, %u, %u, %u, %u, \"%s\"]", i ? ", " : "", s.sequence, s.sourceId,
                s.samplingRate, s.samplePool, s.drops, s.inputInterface, s.outputInterface,
                s.frameLength, hex(s.header).c_str());
  }
  std::printf("], \"counters\": [");
  for (size_t i = 0; i < d.counters.size(); ++i) {
    const auto& c = d.counters[i];
    std::printf("%s[%u, %u, %u, %u, %u, %llu, %llu, \"%s\"]", i ? ", " : "", c.sequence, c.sourceId,
                c.ifIndex(), c.generic[1], c.status(), (unsigned long long)c.inOctets(),
                (unsigned long long)(uint64_t{c.generic[14]} << 32 | c.generic[15]),
                hex(std::vector<uint8_t>(c.name.begin(), c.name.end())).c_str());
  }
  std::printf("]}\n");
}

}  // namespace

// collect ADDRESS PORT [FILE] [--check]: prints "ready" once bound; stops at SIGTERM after
// one more drain.
int collectMain(const std::vector<std::string>& a, bool check, volatile sig_atomic_t& stop) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  // Large enough that a burst never overflows it while the receiver sleeps.
  const int buffer = 64 << 20, one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  const sockaddr_in local = address(a.at(0), a.at(1));
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    std::perror("wendrel_bench: bind");
    return 1;
  }
  std::FILE* out = a.size() > 2 ? std::fopen(a[2].c_str(), "wb") : nullptr;
  std::printf("ready\n");
  std::fflush(stdout);
  constexpr unsigned kBatch = 64;
  constexpr size_t kMax = 65536;
  std::vector<uint8_t> data(kBatch * kMax), controls(kBatch * CMSG_SPACE(sizeof(timespec)));
  iovec iov[kBatch];
  mmsghdr messages[kBatch];
  Check account;
  uint64_t datagrams = 0;
  for (bool last = false; !last;) {
    last = stop;  // one more full drain after the stop signal
    for (int n = int(kBatch); n == int(kBatch);) {
      for (unsigned i = 0; i < kBatch; ++i) {
        iov[i] = {data.data() + i * kMax, kMax};
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_control = controls.data() + i * CMSG_SPACE(sizeof(timespec));
        messages[i].msg_hdr.msg_controllen = CMSG_SPACE(sizeof(timespec));
      }
      n = recvmmsg(fd, messages, kBatch, MSG_DONTWAIT, nullptr);
      for (int i = 0; i < n; ++i) {
        msghdr& m = messages[i].msg_hdr;
        const auto* bytes = static_cast<const uint8_t*>(iov[i].iov_base);
        ++datagrams;
        if (check)
          account.add(bytes, messages[i].msg_len);
        if (out == nullptr)
          continue;
        timespec t{};
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c))
          if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS)
            std::memcpy(&t, CMSG_DATA(c), sizeof t);
        littleEndian(out, uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec), 8);
        littleEndian(out, messages[i].msg_len, 4);
        std::fwrite(bytes, 1, messages[i].msg_len, out);
      }
    }
    if (out)
      std::fflush(out);
    // Read on a timer rather than woken per datagram: a sender to this receiver then pays
    // what a send to a remote collector costs, not for waking a local process too.
    const timespec pause{0, 20 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  if (check)
    account.print();
  else
    std::printf("{\"datagrams\": %llu}\n", (unsigned long long)datagrams);
  return out && std::fclose(out) != 0 ? 1 : 0;
}

// decode FILE [--any] [--from OFFSET]: each datagram as {"at", "size", "sequence", "samples":
// [[sequence, source id, rate, pool, drops, input, output, frame length, header hex]], "counters":
// [[sequence, source id, ifIndex, ifType, status, in octets, out octets, name hex]]}, or
// {"at", "size", "malformed": reason}. Strict (the agent's shape) unless --any.
int decodeMain(const std::string& path, bool any, long from) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr || std::fseek(in, from, SEEK_SET) != 0)
    return 1;
  uint8_t head[12];
  std::vector<uint8_t> bytes;
  while (std::fread(head, 1, 12, in) == 12) {
    uint64_t at = 0;
    uint32_t size = 0;
    for (int b = 7; b >= 0; --b)
      at = at << 8 | head[b];
    for (int b = 11; b >= 8; --b)
      size = size << 8 | head[b];
    bytes.resize(size);
    if (std::fread(bytes.data(), 1, size, in) != size)
      break;
    std::string error;
    const auto d = any ? wendrel::test::decodeAnyDatagram(bytes.data(), size, &error)
                       : wendrel::test::decodeDatagram(bytes, &error);
    if (d)
      printDatagram(at, size, *d);
    else
      std::printf("{\"at\": %llu, \"size\": %u, \"malformed\": \"%s\"}\n", (unsigned long long)at,
                  size, error.c_str());
  }
  std::fclose(in);
  return 0;
}

// send-cost ADDRESS PORT COUNT SIZE: CPU per unconnected sendto of SIZE bytes to a listening
// receiver, back to back (hot caches, as the reporter's micro-benchmark measures it).
int sendCostMain(const std::vector<std::string>& a) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in to = address(a.at(0), a.at(1));
  const long count = std::stol(a.at(2));
  const std::vector<uint8_t> datagram(std::stoul(a.at(3)), 0x5A);
  long failed = 0;
  timespec begin{}, end{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &begin);
  for (long i = 0; i < count; ++i)
    failed += sendto(fd, datagram.data(), datagram.size(), 0,
                     reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
  const double seconds =
      double(end.tv_sec - begin.tv_sec) + double(end.tv_nsec - begin.tv_nsec) / 1e9;
  std::printf("{\"sends\": %ld, \"failed\": %ld, \"per_send_us\": %.4f}\n", count, failed,
              seconds * 1e6 / double(count));
  return failed == 0 ? 0 : 1;
}
