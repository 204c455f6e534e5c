// wendrel_bench: the one tool the benchmarks drive around the agent, one mode per job, each
// printing JSON for the runners (floor, collect, decode, send-cost: see where they are defined).
//   send IF [--count N] [--seed S] [--mix SRC,DST] [--max-seconds T] [--marked SIZE]
//        [--through-queue] (through the device's queue, where egress hooks and taps see them)
//   marked IF --count N [--gap-min S] [--gap-max S] [--seed S] [--size B] [--try T] [--wait S]
//          [--old-ifindex I]
//   describe RATE:PERF[,...] [--count N] [--seed S] [--mix SRC,DST] [--pcap FILE]
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "sampling.h"

namespace {

using namespace wendrel::bench;
using Clock = std::chrono::steady_clock;

volatile sig_atomic_t stopping = 0;
pcap_t* floorHandle = nullptr;

void onSignal(int) {
  stopping = 1;
  if (floorHandle)
    pcap_breakloop(floorHandle);  // wakes the blocking read at once
}

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "wendrel_bench: %s\n", why.c_str());
  std::exit(2);
}

// The options after the positional arguments: --name value.
struct Options {
  std::vector<std::string> positional;
  std::map<std::string, std::string> named;
  bool has(const std::string& name) const { return named.count(name) != 0; }
  double number(const std::string& name, double fallback) const {
    return has(name) ? std::strtod(named.at(name).c_str(), nullptr) : fallback;
  }
  uint64_t count(const std::string& name, uint64_t fallback) const {
    return has(name) ? std::strtoull(named.at(name).c_str(), nullptr, 0) : fallback;
  }
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--check" || arg == "--any" || arg == "--through-queue")
      o.named[arg] = "1";
    else if (arg.rfind("--", 0) == 0 && i + 1 < argc)
      o.named[arg] = argv[++i];
    else if (arg.rfind("--", 0) == 0)
      fail("missing value for " + arg);
    else
      o.positional.push_back(arg);
  }
  return o;
}

uint32_t ipv4(const std::string& text) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1)
    fail("not an IPv4 address: " + text);
  return ntohl(a.s_addr);
}

FrameSource frames(const Options& o) {
  const uint64_t seed = o.count("--seed", 1);
  if (!o.has("--mix"))
    return FrameSource(seed);
  const std::string& mix = o.named.at("--mix");
  const size_t comma = mix.find(',');
  if (comma == std::string::npos)
    fail("--mix takes SOURCE,DESTINATION");
  return FrameSource(seed, true, ipv4(mix.substr(0, comma)), ipv4(mix.substr(comma + 1)));
}

uint64_t wallNs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

int packetSocket(const std::string& interface, bool throughQueue = false) {
  const unsigned index = if_nametoindex(interface.c_str());
  // Protocol 0: the socket only sends, it never receives a copy of anything.
  const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_ifindex = static_cast<int>(index);
  if (index == 0 || fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address))
    fail("no packet socket on " + interface + ": " + std::strerror(errno));
  const int one = 1, buffer = 8 << 20;
  if (!throughQueue)
    setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof buffer);
  return fd;
}

int send(const Options& o) {
  const int fd = packetSocket(o.positional.at(0), o.has("--through-queue"));
  const uint64_t count = o.count("--count", 1000000);
  const size_t marked = o.count("--marked", 0);
  FrameSource source = frames(o);
  constexpr unsigned kBatch = 256;
  std::vector<uint8_t> buffer(kBatch * kMaxFrame);
  iovec iov[kBatch];
  mmsghdr messages[kBatch];
  const auto begin = Clock::now();
  const auto deadline = begin + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(o.number("--max-seconds", 60)));
  uint64_t sent = 0;
  bool timedOut = false;
  while (sent < count && !stopping && !timedOut) {
    const auto n = static_cast<unsigned>(std::min<uint64_t>(kBatch, count - sent));
    for (unsigned i = 0; i < n; ++i) {
      uint8_t* frame = buffer.data() + size_t{i} * kMaxFrame;
      PacketClass packetClass;
      iov[i] = {frame, marked ? markedFrame(frame, marked, 0, uint32_t(sent + i), 0)
                              : source.next(frame, &packetClass)};
      messages[i] = mmsghdr{};
      messages[i].msg_hdr.msg_iov = &iov[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    unsigned done = 0;
    while (done < n && !stopping && !(timedOut = Clock::now() > deadline)) {
      const int r = sendmmsg(fd, messages + done, n - done, 0);
      if (r < 0 && errno != ENOBUFS && errno != EAGAIN && errno != EINTR)
        fail(std::string("sendmmsg: ") + std::strerror(errno));
      if (r < 0)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      done += r > 0 ? unsigned(r) : 0;
    }
    sent += done;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  std::printf("{\"sent\": %llu, \"pps\": %.0f, \"timed_out\": %s}\n", (unsigned long long)sent,
              seconds > 0 ? double(sent) / seconds : 0.0, timedOut && !marked ? "true" : "false");
  return timedOut && !marked ? 3 : 0;
}

// Single marked frames; with --wait, once the interface (not the one of --old-ifindex) is
// up, noting when its operational state first reads up. Frames sent before the link has a
// carrier are still numbered: they are the ones no capture can see.
int marked(const Options& o) {
  const std::string interface = o.positional.at(0);
  const std::string base = "/sys/class/net/" + interface + "/";
  auto read = [&](const char* what) {
    std::ifstream in(base + what);
    std::string text;
    in >> text;
    return text;
  };
  const double gapMin = o.number("--gap-min", 0.2), gapMax = o.number("--gap-max", gapMin);
  const uint64_t count = o.count("--count", 1);
  if (count > 100000 || gapMin < 0 || gapMax < gapMin || gapMax > 10)
    fail("--count is at most 100000, gaps 0 <= min <= max <= 10 s");
  if (o.has("--wait")) {
    std::printf("waiting\n");
    std::fflush(stdout);
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(o.number("--wait", 10)));
    while (!stopping &&
           !(read("ifindex") != "" && std::stoul(read("ifindex")) != o.count("--old-ifindex", 0) &&
             (std::stoul(read("flags"), nullptr, 16) & IFF_UP))) {
      if (Clock::now() > deadline) {
        std::printf("{\"sent\": 0, \"error\": \"%s never came up\"}\n", interface.c_str());
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  const int fd = packetSocket(interface);
  SplitMix64 random(o.count("--seed", 1));
  uint8_t frame[kMaxFrame];
  const auto size = static_cast<size_t>(o.count("--size", 128));
  const auto attempt = static_cast<uint16_t>(o.count("--try", 0));
  uint64_t carrier = 0, failed = 0, sent = 0;
  std::string times;
  for (uint32_t i = 1; i <= count && !stopping; ++i) {
    const double unit = double(random.next() >> 11) * 0x1.0p-53;
    std::this_thread::sleep_for(std::chrono::duration<double>(gapMin + unit * (gapMax - gapMin)));
    if (carrier == 0 && o.has("--wait") && read("operstate") == "up")
      carrier = wallNs();
    const uint64_t now = wallNs();
    markedFrame(frame, size, attempt, i, now);
    if (::send(fd, frame, size, 0) == static_cast<ssize_t>(size))
      ++sent, times += (times.empty() ? "" : ", ") + std::to_string(now);
    else
      ++failed;
  }
  std::printf("{\"sent\": %llu, \"failed\": %llu, \"carrier_ns\": %llu, \"sent_ns\": [%s]}\n",
              (unsigned long long)sent, (unsigned long long)failed, (unsigned long long)carrier,
              times.c_str());
  return 0;
}

const char* const kClassNames[3] = {"ipv4", "constant", "ipv6"};

std::string byClass(const uint64_t (&counts)[3]) {
  std::string out = "{";
  for (size_t k = 0; k < 3; ++k)
    out += std::string(k ? ", \"" : "\"") + kClassNames[k] + "\": " + std::to_string(counts[k]);
  return out + "}";
}

// What each configuration of the agent must see of the stream: the filter the agent installs
// (its text as the product builds it, compiled by libpcap), then the every-N-th counter. With
// --pcap, the stream also goes to a classic pcap file (stamps all zero) for checks and tools.
int describe(const Options& o) {
  struct Config {
    uint32_t rate;
    bool performance;
    wendrel::CaptureFilter filter;
    bpf_program program{};
    uint64_t counter = 0, passed = 0, sampled = 0, byClass[3] = {0, 0, 0};
  };
  std::vector<Config> configs;
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, 128);
  const std::string& list = o.positional.at(0);
  for (size_t at = 0; at < list.size();) {
    const size_t end = std::min(list.find(',', at), list.size());
    const std::string item = list.substr(at, end - at);
    const auto rate = static_cast<uint32_t>(std::strtoul(item.c_str(), nullptr, 0));
    const bool performance = item.substr(item.find(':') + 1) == "1";
    configs.push_back({rate, performance, wendrel::buildFilter(rate, performance)});
    if (pcap_compile(dead, &configs.back().program, configs.back().filter.text.c_str(), 1,
                     PCAP_NETMASK_UNKNOWN) != 0)
      fail("filter " + configs.back().filter.text + ": " + pcap_geterr(dead));
    at = end + 1;
  }
  std::FILE* out = o.has("--pcap") ? std::fopen(o.named.at("--pcap").c_str(), "wb") : nullptr;
  const uint32_t fileHeader[6] = {0xA1B2C3D4u, 0x00040002u, 0, 0, 65535, 1};
  if (out != nullptr)
    std::fwrite(fileHeader, sizeof fileHeader, 1, out);
  FrameSource source = frames(o);
  uint8_t frame[kMaxFrame];
  uint64_t classes[3] = {0, 0, 0};
  for (uint64_t n = 0, count = o.count("--count", 1000000); n < count; ++n) {
    PacketClass packetClass;
    const auto size = static_cast<uint32_t>(source.next(frame, &packetClass));
    const auto k = static_cast<size_t>(packetClass);
    ++classes[k];
    const uint32_t record[4] = {0, 0, size, size};
    if (out != nullptr &&
        !(std::fwrite(record, sizeof record, 1, out) && std::fwrite(frame, size, 1, out)))
      fail(std::string("--pcap: ") + std::strerror(errno));
    const pcap_pkthdr header{{0, 0}, std::min(size, 128u), size};
    for (Config& c : configs) {
      if (pcap_offline_filter(&c.program, &header, frame) == 0)
        continue;
      ++c.passed;
      c.counter += c.filter.step;
      if (c.rate != 0 && c.counter < c.rate)
        continue;
      c.counter -= c.rate;
      ++c.sampled, ++c.byClass[k];
    }
  }
  std::printf("{\"classes\": %s, \"configs\": [", byClass(classes).c_str());
  for (size_t i = 0; i < configs.size(); ++i) {
    const Config& c = configs[i];
    std::printf(
        "%s{\"rate\": %u, \"performance\": %s, \"filter\": \"%s\", \"step\": %u, "
        "\"passed\": %llu, \"sampled\": %llu, \"sampled_by_class\": %s}",
        i ? ", " : "", c.rate, c.performance ? "true" : "false", c.filter.text.c_str(),
        c.filter.step, (unsigned long long)c.passed, (unsigned long long)c.sampled,
        byClass(c.byClass).c_str());
    pcap_freecode(const_cast<bpf_program*>(&c.program));
  }
  std::printf("]}\n");
  pcap_close(dead);
  return out != nullptr && std::fclose(out) != 0 ? 1 : 0;
}

}  // namespace

int floorMain(const std::vector<std::string>& arguments, pcap_t*& handle,
              volatile sig_atomic_t& stop);
int collectMain(const std::vector<std::string>& arguments, bool check, volatile sig_atomic_t& stop);
int decodeMain(const std::string& path, bool any, long from);
int sendCostMain(const std::vector<std::string>& arguments);

int main(int argc, char** argv) {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  const std::string mode = argc > 1 ? argv[1] : "";
  const Options o = parse(argc, argv);
  try {
    if (mode == "send")
      return send(o);
    if (mode == "marked")
      return marked(o);
    if (mode == "describe")
      return describe(o);
    if (mode == "floor")
      return floorMain(o.positional, floorHandle, stopping);
    if (mode == "collect")
      return collectMain(o.positional, o.has("--check"), stopping);
    if (mode == "decode")
      return decodeMain(o.positional.at(0), o.has("--any"), long(o.count("--from", 0)));
    if (mode == "send-cost")
      return sendCostMain(o.positional);
  } catch (const std::out_of_range&) {
    fail("missing argument for " + mode);
  }
  fail("usage: wendrel_bench send|marked|describe|floor|collect|decode|send-cost ...");
}
