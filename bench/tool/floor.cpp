// The least any libpcap agent can cost: one device opened as the agent opens it (snapshot
// 128, 2 MiB buffer, promiscuous, 1000 ms timeout, the agent's filter for the rate and mode),
// only counting what it is handed. Given a collector, also the least an agent must do to
// report: the agent's one-in-N counter and one sendto per datagram of samples.
#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "datagram_writer.h"
#include "sampling.h"

namespace {

struct Floor {
  uint64_t packets = 0, counter = 0, datagrams = 0, failed = 0;
  uint32_t rate = 0, step = 1, sequence = 0, datagramSequence = 0;
  int fd = -1;
  sockaddr_in to{};
  wendrel::DatagramWriter writer;

  void send() {
    if (writer.sampleCount() == 0)
      return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    wendrel::DatagramHeader header;
    header.sequence = ++datagramSequence;
    header.uptimeMs = static_cast<uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
    const size_t length = writer.finish(header);
    if (sendto(fd, writer.data(), length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
      ++failed;
    ++datagrams;
    writer.clear();
  }
};

void count(u_char* user, const pcap_pkthdr*, const u_char*) {
  ++reinterpret_cast<Floor*>(user)->packets;
}

void countAndSample(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
  auto* f = reinterpret_cast<Floor*>(user);
  ++f->packets;
  f->counter += f->step;
  if (f->counter < f->rate)
    return;
  f->counter -= f->rate;
  wendrel::FlowSample sample;
  sample.sequence = ++f->sequence;
  sample.samplingRate = f->rate;
  sample.samplePool = f->rate * f->sequence;
  sample.frameLength = header->len;
  sample.stripped = header->len - header->caplen;
  sample.header = bytes;
  sample.headerLength = std::min(header->caplen, 128u);
  if (!f->writer.fits(wendrel::DatagramWriter::encodedSize(sample)))
    f->send();
  f->writer.append(sample);
}

}  // namespace

// floor IF RATE PERF [COLLECTOR PORT]: prints "ready" once capturing, and at SIGTERM its
// count and pcap statistics as one JSON line.
int floorMain(const std::vector<std::string>& a, pcap_t*& handle, volatile sig_atomic_t& stop) {
  static Floor f;
  const auto filter =
      wendrel::buildFilter(static_cast<uint32_t>(std::stoul(a.at(1))), a.at(2) == "1");
  const bool sends = a.size() == 5;
  if (sends) {
    f.rate = static_cast<uint32_t>(std::stoul(a.at(1)));
    f.step = filter.step;
    f.fd = socket(AF_INET, SOCK_DGRAM, 0);
    f.to.sin_family = AF_INET;
    f.to.sin_port = htons(static_cast<uint16_t>(std::stoul(a.at(4))));
    inet_pton(AF_INET, a.at(3).c_str(), &f.to.sin_addr);
  }
  char error[PCAP_ERRBUF_SIZE];
  handle = pcap_create(a.at(0).c_str(), error);
  if (handle == nullptr) {
    std::fprintf(stderr, "floor: %s\n", error);
    return 1;
  }
  pcap_set_snaplen(handle, 128);
  pcap_set_buffer_size(handle, 2 << 20);
  pcap_set_promisc(handle, 1);
  pcap_set_timeout(handle, 1000);
  bpf_program program{};
  if (pcap_activate(handle) < 0 ||
      pcap_compile(handle, &program, filter.text.c_str(), 1, PCAP_NETMASK_UNKNOWN) < 0 ||
      pcap_setfilter(handle, &program) < 0) {
    std::fprintf(stderr, "floor: %s (filter %s)\n", pcap_geterr(handle), filter.text.c_str());
    return 1;
  }
  pcap_freecode(&program);
  std::printf("ready\n");
  std::fflush(stdout);
  int result = 0;
  while (!stop && result != PCAP_ERROR)
    result =
        pcap_dispatch(handle, -1, sends ? countAndSample : count, reinterpret_cast<u_char*>(&f));
  f.send();
  pcap_stat stats{};
  pcap_stats(handle, &stats);
  std::printf(
      "{\"filter\": \"%s\", \"counted\": %llu, \"received\": %u, \"dropped\": %u, "
      "\"datagrams\": %llu, \"send_failures\": %llu}\n",
      filter.text.c_str(), (unsigned long long)f.packets, stats.ps_recv, stats.ps_drop,
      (unsigned long long)f.datagrams, (unsigned long long)f.failed);
  pcap_close(handle);
  return result == PCAP_ERROR ? 1 : 0;
}
