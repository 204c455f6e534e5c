// The smallest libpcap capture with the agent's options (snapshot 128, promiscuous, 1000 ms
// timeout, 2 MiB buffer, blocking) and a given filter, counting what reaches the callback.
// Usage: capture_bench_pcap_loop IFNAME FILTER. Runs until SIGTERM or SIGINT, then prints
// "packets N received R dropped D cpu_seconds C".
#include <pcap/pcap.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <thread>

namespace {
void count(u_char* user, const pcap_pkthdr*, const u_char*) {
  ++*reinterpret_cast<unsigned long*>(user);
}
double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s IFNAME FILTER\n", argv[0]);
    return 2;
  }
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_t* p = pcap_create(argv[1], errbuf);
  if (p == nullptr) {
    std::fprintf(stderr, "%s\n", errbuf);
    return 1;
  }
  pcap_set_snaplen(p, 128);
  pcap_set_promisc(p, 1);
  pcap_set_timeout(p, 1000);
  pcap_set_buffer_size(p, 2097152);
  bpf_program program{};
  if (pcap_activate(p) < 0 || pcap_compile(p, &program, argv[2], 1, 0xFFFFFF) < 0 ||
      pcap_setfilter(p, &program) < 0) {
    std::fprintf(stderr, "%s\n", pcap_geterr(p));
    return 1;
  }
  pcap_freecode(&program);
  pcap_setnonblock(p, 0, errbuf);

  std::thread waiter([p, &stopSignals] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    pcap_breakloop(p);
  });
  unsigned long packets = 0;
  while (pcap_dispatch(p, -1, count, reinterpret_cast<u_char*>(&packets)) >= 0) {
  }
  waiter.join();
  pcap_stat stats{};
  pcap_stats(p, &stats);
  std::printf("packets %lu received %u dropped %u cpu_seconds %.3f\n", packets, stats.ps_recv,
              stats.ps_drop, cpuSeconds());
  pcap_close(p);
  return 0;
}
