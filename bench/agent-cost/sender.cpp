// agent_cost_sender: puts the benchmark's seeded frames on one interface as fast as the
// machine allows (AF_PACKET, sendmmsg in batches), bounded in count and time; or, with
// --describe, prints what each sampling configuration of the agent must see of them.
//
//   agent_cost_sender --interface IF [--count N] [--seed S] [--batch B] [--max-seconds T]
//   agent_cost_sender --describe RATE:PERF[,RATE:PERF...] [--count N] [--seed S]
//   agent_cost_sender --pcap FILE [--count N] [--seed S]
//   agent_cost_sender --interface IF --probe N [--gap-min S] [--gap-max S] [--seed S]
//
// --pcap writes the frames to a capture file instead (for checks and other tools).
// --mix SOURCE,DESTINATION (IPv4 addresses of the flow with constant headers) makes any of
// the first three use the mixed stream; --describe then also counts each class. --probe
// sends N single marked frames at random gaps and prints when each left. Each mode prints
// one JSON object on stdout.
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
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "packet_source.h"

namespace {

using wendrel::bench::kMaxFrame;
using wendrel::bench::MixedSource;
using wendrel::bench::PacketClass;
using wendrel::bench::PacketSource;

struct Options {
  std::string interface;
  std::string describe;
  std::string pcapFile;
  std::string mix;
  uint32_t constantSource = 0;
  uint32_t constantDestination = 0;
  unsigned probes = 0;
  double gapMin = 0.2;
  double gapMax = 2.5;
  uint64_t count = 1000000;
  uint64_t seed = 1;
  unsigned batch = 256;
  double maxSeconds = 60.0;
  // Through the device's queue, so that the egress hooks and packet taps see the frames.
  bool throughQueue = false;
};

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr,
               "agent_cost_sender: %s\n"
               "usage: agent_cost_sender --interface IF [--count N] [--seed S] [--batch B] "
               "[--max-seconds T] [--through-queue]\n"
               "       agent_cost_sender --describe RATE:PERF[,...] [--count N] [--seed S]\n"
               "       agent_cost_sender --pcap FILE [--count N] [--seed S]\n"
               "       agent_cost_sender --interface IF --probe N [--gap-min S] [--gap-max S]\n"
               "       (--mix SOURCE,DESTINATION with any but --probe)\n",
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
    else if (arg == "--mix")
      o.mix = value();
    else if (arg == "--through-queue")
      o.throughQueue = true;
    else if (arg == "--probe")
      o.probes = static_cast<unsigned>(std::strtoul(value().c_str(), nullptr, 0));
    else if (arg == "--gap-min")
      o.gapMin = std::strtod(value().c_str(), nullptr);
    else if (arg == "--gap-max")
      o.gapMax = std::strtod(value().c_str(), nullptr);
    else
      usage(("unknown argument " + arg).c_str());
  }
  if (o.batch == 0 || o.batch > 1024)
    usage("--batch must be 1..1024");
  if (!o.interface.empty() + !o.describe.empty() + !o.pcapFile.empty() != 1)
    usage("give exactly one of --interface, --describe, --pcap");
  if (!o.mix.empty()) {
    const size_t comma = o.mix.find(',');
    in_addr source{}, destination{};
    if (comma == std::string::npos ||
        inet_pton(AF_INET, o.mix.substr(0, comma).c_str(), &source) != 1 ||
        inet_pton(AF_INET, o.mix.substr(comma + 1).c_str(), &destination) != 1)
      usage("--mix takes SOURCE,DESTINATION IPv4 addresses");
    o.constantSource = ntohl(source.s_addr);
    o.constantDestination = ntohl(destination.s_addr);
  }
  // Bounded: at most 1000 frames, gaps of at most 10 s.
  if (o.probes > 1000 || o.gapMin < 0 || o.gapMax < o.gapMin || o.gapMax > 10)
    usage("--probe is at most 1000, gaps 0 <= min <= max <= 10 s");
  if (o.probes && (o.interface.empty() || !o.mix.empty()))
    usage("--probe needs --interface and no --mix");
  return o;
}

// The plain stream, or the mixed one when --mix is given.
class Frames {
 public:
  explicit Frames(const Options& o) : plain_(o.seed) {
    if (!o.mix.empty())
      mixed_ = std::make_unique<MixedSource>(o.seed, o.constantSource, o.constantDestination);
  }
  size_t next(uint8_t* frame, PacketClass* packetClass) {
    if (mixed_)
      return mixed_->next(frame, packetClass);
    *packetClass = PacketClass::kVariedIpv4;
    return plain_.next(frame);
  }

 private:
  PacketSource plain_;
  std::unique_ptr<MixedSource> mixed_;
};

constexpr const char* kClassNames[3] = {"ipv4", "constant", "ipv6"};

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
  uint64_t sampledByClass[3] = {0, 0, 0};
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

  Frames source(o);
  std::vector<uint8_t> frame(kMaxFrame);
  uint64_t bytes = 0;
  uint64_t classes[3] = {0, 0, 0};
  for (uint64_t n = 0; n < o.count; ++n) {
    PacketClass packetClass;
    bytes += source.next(frame.data(), &packetClass);
    const auto k = static_cast<size_t>(packetClass);
    ++classes[k];
    // Both the filter "ip" and the checksum filter pass IPv4 only.
    if (packetClass == PacketClass::kIpv6)
      continue;
    const uint8_t checksumLow = frame[14 + 11];
    for (Config& c : configs) {
      if ((checksumLow & c.mask) != c.mask)
        continue;
      ++c.passed;
      if (c.rate != 0) {
        c.counter = static_cast<uint16_t>(c.counter + c.step);
        if (c.counter < c.rate)
          continue;
        c.counter = static_cast<uint16_t>(c.counter - c.rate);
      }
      ++c.sampled;
      ++c.sampledByClass[k];
    }
  }
  auto byClass = [](const uint64_t(&counts)[3]) {
    std::string out = "{";
    for (size_t k = 0; k < 3; ++k)
      out +=
          std::string(k ? ", " : "") + "\"" + kClassNames[k] + "\": " + std::to_string(counts[k]);
    return out + "}";
  };
  std::printf("{\"count\": %llu, \"seed\": %llu, \"bytes\": %llu, \"classes\": %s, \"configs\": [",
              static_cast<unsigned long long>(o.count), static_cast<unsigned long long>(o.seed),
              static_cast<unsigned long long>(bytes), byClass(classes).c_str());
  for (size_t i = 0; i < configs.size(); ++i) {
    const Config& c = configs[i];
    std::printf(
        "%s{\"rate\": %u, \"performance\": %s, \"step\": %u, \"mask\": %u, "
        "\"passed\": %llu, \"sampled\": %llu, \"sampled_by_class\": %s}",
        i ? ", " : "", c.rate, c.performance ? "true" : "false", c.step, c.mask,
        static_cast<unsigned long long>(c.passed), static_cast<unsigned long long>(c.sampled),
        byClass(c.sampledByClass).c_str());
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
  Frames source(o);
  std::vector<uint8_t> frame(kMaxFrame);
  uint64_t bytes = 0;
  for (uint64_t n = 0; n < o.count; ++n) {
    PacketClass packetClass;
    const auto size = static_cast<uint32_t>(source.next(frame.data(), &packetClass));
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

int openSocket(const Options& o) {
  const unsigned ifindex = if_nametoindex(o.interface.c_str());
  if (ifindex == 0) {
    std::fprintf(stderr, "agent_cost_sender: no interface %s: %s\n", o.interface.c_str(),
                 std::strerror(errno));
    return -1;
  }
  // Protocol 0: the socket only sends, it never receives a copy of anything.
  const int fd = socket(AF_PACKET, SOCK_RAW, 0);
  if (fd < 0) {
    std::fprintf(stderr, "agent_cost_sender: socket: %s\n", std::strerror(errno));
    return -1;
  }
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_ifindex = static_cast<int>(ifindex);
  address.sll_protocol = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
    std::fprintf(stderr, "agent_cost_sender: bind: %s\n", std::strerror(errno));
    close(fd);
    return -1;
  }
  const int one = 1;
  if (!o.throughQueue)
    setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
  const int sendBuffer = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &sendBuffer, sizeof sendBuffer);
  return fd;
}

// Single frames with seeded random gaps; each one's wall-clock send time (the collector
// stamps datagrams with the same clock) is printed for the runner to match.
int probe(const Options& o) {
  const int fd = openSocket(o);
  if (fd < 0)
    return 1;
  wendrel::bench::SplitMix64 random(o.seed);
  uint8_t frame[wendrel::bench::kProbeFrame];
  std::string out = "{\"probes\": [";
  for (unsigned i = 0; i < o.probes; ++i) {
    const double unit = static_cast<double>(random.next() >> 11) * 0x1.0p-53;
    std::this_thread::sleep_for(
        std::chrono::duration<double>(o.gapMin + unit * (o.gapMax - o.gapMin)));
    const size_t size = wendrel::bench::probeFrame(frame, i + 1);
    timespec sent{};
    clock_gettime(CLOCK_REALTIME, &sent);
    if (::send(fd, frame, size, 0) != static_cast<ssize_t>(size)) {
      std::fprintf(stderr, "agent_cost_sender: send: %s\n", std::strerror(errno));
      close(fd);
      return 1;
    }
    out += std::string(i ? ", " : "") + "{\"number\": " + std::to_string(i + 1) +
           ", \"sent_ns\": " +
           std::to_string(static_cast<long long>(sent.tv_sec) * 1000000000LL + sent.tv_nsec) + "}";
  }
  close(fd);
  std::printf("%s]}\n", out.c_str());
  return 0;
}

int send(const Options& o) {
  const int fd = openSocket(o);
  if (fd < 0)
    return 1;
  Frames source(o);
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
      PacketClass packetClass;
      iov[i].iov_len = source.next(frame, &packetClass);
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
  if (o.probes)
    return probe(o);
  return send(o);
}
