// agent_cost_sender: puts the benchmark's seeded frames on one interface as fast as the
// machine allows (AF_PACKET, sendmmsg in batches), bounded in count and time; or, with
// --describe, prints what each sampling configuration of the agent must see of them.
//
//   agent_cost_sender --interface IF [--count N] [--seed S] [--batch B] [--max-seconds T]
//   agent_cost_sender --describe RATE:PERF[,RATE:PERF...] [--count N] [--seed S]
//   agent_cost_sender --pcap FILE [--count N] [--seed S]
//
// --pcap writes the frames to a capture file instead (for checks and other tools). Each
// mode prints one JSON object on stdout.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "packet_source.h"

namespace {

using wendrel::bench::kMaxFrame;
using wendrel::bench::PacketSource;

struct Options {
  std::string interface;
  std::string describe;
  std::string pcapFile;
  uint64_t count = 1000000;
  uint64_t seed = 1;
  unsigned batch = 256;
  double maxSeconds = 60.0;
};

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr,
               "agent_cost_sender: %s\n"
               "usage: agent_cost_sender --interface IF [--count N] [--seed S] [--batch B] "
               "[--max-seconds T]\n"
               "       agent_cost_sender --describe RATE:PERF[,...] [--count N] [--seed S]\n"
               "       agent_cost_sender --pcap FILE [--count N] [--seed S]\n",
               why);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc)
        usage(("missing value for " + arg).c_str());
      return argv[++i];
    };
    if (arg == "--interface")
      o.interface = value();
    else if (arg == "--describe")
      o.describe = value();
    else if (arg == "--pcap")
      o.pcapFile = value();
    else if (arg == "--count")
      o.count = std::strtoull(value().c_str(), nullptr, 0);
    else if (arg == "--seed")
      o.seed = std::strtoull(value().c_str(), nullptr, 0);
    else if (arg == "--batch")
      o.batch = static_cast<unsigned>(std::strtoul(value().c_str(), nullptr, 0));
    else if (arg == "--max-seconds")
      o.maxSeconds = std::strtod(value().c_str(), nullptr);
    else
      usage(("unknown argument " + arg).c_str());
  }
  if (o.batch == 0 || o.batch > 1024)
    usage("--batch must be 1..1024");
  if (!o.interface.empty() + !o.describe.empty() + !o.pcapFile.empty() != 1)
    usage("give exactly one of --interface, --describe, --pcap");
  return o;
}

// The agent's sampler, replayed: the kernel filter keeps packets whose IP checksum low
// byte has all bits of k-1 set (performance mode), and a 16-bit counter advanced by k per
// kept packet takes one each time it reaches the rate.
struct Config {
  uint32_t rate = 0;
  bool performance = false;
  uint16_t step = 1;
  uint16_t mask = 0;
  uint64_t passed = 0;
  uint64_t sampled = 0;
  uint16_t counter = 0;
};

int describe(const Options& o) {
  std::vector<Config> configs;
  size_t start = 0;
  while (start < o.describe.size()) {
    size_t end = o.describe.find(',', start);
    if (end == std::string::npos)
      end = o.describe.size();
    const std::string item = o.describe.substr(start, end - start);
    const size_t colon = item.find(':');
    if (colon == std::string::npos)
      usage("--describe items are RATE:PERF");
    Config c;
    c.rate = static_cast<uint32_t>(std::strtoul(item.substr(0, colon).c_str(), nullptr, 0));
    c.performance = item.substr(colon + 1) == "1";
    if (c.performance && c.rate != 0) {
      uint16_t k = 1;
      if (c.rate > 2) {
        while (static_cast<uint32_t>(k) * 2 < c.rate)
          k = static_cast<uint16_t>(k * 2);
      }
      c.step = k;
      c.mask = static_cast<uint16_t>(k - 1);
    }
    configs.push_back(c);
    start = end + 1;
  }

  PacketSource source(o.seed);
  std::vector<uint8_t> frame(kMaxFrame);
  uint64_t bytes = 0;
  for (uint64_t n = 0; n < o.count; ++n) {
    bytes += source.next(frame.data());
    const uint8_t checksumLow = frame[14 + 11];
    for (Config& c : configs) {
      if ((checksumLow & c.mask) != c.mask)
        continue;
      ++c.passed;
      if (c.rate == 0) {
        ++c.sampled;
        continue;
      }
      c.counter = static_cast<uint16_t>(c.counter + c.step);
      if (c.counter < c.rate)
        continue;
      c.counter = static_cast<uint16_t>(c.counter - c.rate);
      ++c.sampled;
    }
  }
  std::printf("{\"count\": %llu, \"seed\": %llu, \"bytes\": %llu, \"configs\": [",
              static_cast<unsigned long long>(o.count), static_cast<unsigned long long>(o.seed),
              static_cast<unsigned long long>(bytes));
  for (size_t i = 0; i < configs.size(); ++i) {
    const Config& c = configs[i];
    std::printf(
        "%s{\"rate\": %u, \"performance\": %s, \"step\": %u, \"mask\": %u, "
        "\"passed\": %llu, \"sampled\": %llu}",
        i ? ", " : "", c.rate, c.performance ? "true" : "false", c.step, c.mask,
        static_cast<unsigned long long>(c.passed), static_cast<unsigned long long>(c.sampled));
  }
  std::printf("]}\n");
  return 0;
}

// Classic pcap file, Ethernet link type, microsecond stamps all zero.
int writePcap(const Options& o) {
  std::FILE* out = std::fopen(o.pcapFile.c_str(), "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "agent_cost_sender: %s: %s\n", o.pcapFile.c_str(), std::strerror(errno));
    return 1;
  }
  const uint32_t fileHeader[6] = {0xA1B2C3D4u, 0x00040002u, 0, 0, 65535, 1};
  std::fwrite(fileHeader, sizeof fileHeader, 1, out);
  PacketSource source(o.seed);
  std::vector<uint8_t> frame(kMaxFrame);
  uint64_t bytes = 0;
  for (uint64_t n = 0; n < o.count; ++n) {
    const auto size = static_cast<uint32_t>(source.next(frame.data()));
    const uint32_t recordHeader[4] = {0, 0, size, size};
    std::fwrite(recordHeader, sizeof recordHeader, 1, out);
    std::fwrite(frame.data(), 1, size, out);
    bytes += size;
  }
  const bool ok = std::fclose(out) == 0;
  std::printf("{\"written\": %llu, \"bytes\": %llu}\n", static_cast<unsigned long long>(o.count),
              static_cast<unsigned long long>(bytes));
  return ok ? 0 : 1;
}

int send(const Options& o) {
  const unsigned ifindex = if_nametoindex(o.interface.c_str());
  if (ifindex == 0) {
    std::fprintf(stderr, "agent_cost_sender: no interface %s: %s\n", o.interface.c_str(),
                 std::strerror(errno));
    return 1;
  }
  // Protocol 0: the socket only sends, it never receives a copy of anything.
  const int fd = socket(AF_PACKET, SOCK_RAW, 0);
  if (fd < 0) {
    std::fprintf(stderr, "agent_cost_sender: socket: %s\n", std::strerror(errno));
    return 1;
  }
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_ifindex = static_cast<int>(ifindex);
  address.sll_protocol = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
    std::fprintf(stderr, "agent_cost_sender: bind: %s\n", std::strerror(errno));
    return 1;
  }
  const int one = 1;
  setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
  const int sendBuffer = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &sendBuffer, sizeof sendBuffer);

  PacketSource source(o.seed);
  std::vector<uint8_t> frames(static_cast<size_t>(o.batch) * kMaxFrame);
  std::vector<iovec> iov(o.batch);
  std::vector<mmsghdr> messages(o.batch);

  using Clock = std::chrono::steady_clock;
  const auto begin = Clock::now();
  const auto deadline = begin + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(o.maxSeconds));
  uint64_t sent = 0;
  uint64_t bytes = 0;
  uint64_t retries = 0;
  bool timedOut = false;
  while (sent < o.count) {
    const unsigned n = static_cast<unsigned>(std::min<uint64_t>(o.batch, o.count - sent));
    for (unsigned i = 0; i < n; ++i) {
      uint8_t* frame = frames.data() + static_cast<size_t>(i) * kMaxFrame;
      iov[i].iov_base = frame;
      iov[i].iov_len = source.next(frame);
      messages[i] = mmsghdr{};
      messages[i].msg_hdr.msg_iov = &iov[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    unsigned done = 0;
    while (done < n) {
      if (Clock::now() > deadline) {
        timedOut = true;
        break;
      }
      const int r = sendmmsg(fd, messages.data() + done, n - done, 0);
      if (r < 0) {
        if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) {
          ++retries;
          std::this_thread::sleep_for(std::chrono::microseconds(50));
          continue;
        }
        std::fprintf(stderr, "agent_cost_sender: sendmmsg: %s\n", std::strerror(errno));
        close(fd);
        return 1;
      }
      for (int i = 0; i < r; ++i)
        bytes += iov[done + static_cast<unsigned>(i)].iov_len;
      done += static_cast<unsigned>(r);
    }
    sent += done;
    if (timedOut)
      break;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  close(fd);
  std::printf(
      "{\"sent\": %llu, \"bytes\": %llu, \"seconds\": %.6f, \"pps\": %.0f, "
      "\"retries\": %llu, \"timed_out\": %s}\n",
      static_cast<unsigned long long>(sent), static_cast<unsigned long long>(bytes), seconds,
      seconds > 0 ? static_cast<double>(sent) / seconds : 0.0,
      static_cast<unsigned long long>(retries), timedOut ? "true" : "false");
  return timedOut ? 3 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  if (!o.describe.empty())
    return describe(o);
  if (!o.pcapFile.empty())
    return writePcap(o);
  return send(o);
}
