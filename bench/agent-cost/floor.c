/* agent_cost_floor: the least any libpcap agent can cost. It opens one device the way the
 * agent does (snapshot 128, 2 MiB buffer, promiscuous, 1000 ms timeout, the agent's filter
 * text) and only counts the packets it is handed. Prints "ready" once capturing, and its
 * count and pcap statistics as one JSON line when SIGTERM or SIGINT ends it.
 *
 * Given a rate, a step and a collector it is the floor plus the sends: it also takes one
 * packet in RATE with the agent's counter (STEP per packet) and sends the taken headers in
 * sFlow v5 datagrams of at most 1300 bytes, one sendto each, as an agent must at the least.
 *
 *   agent_cost_floor INTERFACE FILTER [RATE STEP COLLECTOR PORT]
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

static pcap_t* handle;
static volatile sig_atomic_t stopping;

enum { kMaxDatagram = 1300, kHeaderBytes = 28, kMaxCopied = 128 };

struct Sender {
  int fd;
  struct sockaddr_in to;
  uint32_t rate;
  uint16_t step;
  uint16_t counter;
  uint32_t datagramSequence;
  uint32_t sampleSequence;
  uint32_t samples; /* in the pending datagram */
  size_t length;
  unsigned long long datagrams;
  unsigned long long failed;
  uint8_t buffer[kMaxDatagram];
};

static uint8_t* put32(uint8_t* p, uint32_t v) {
  v = htonl(v);
  memcpy(p, &v, 4);
  return p + 4;
}

static void sendPending(struct Sender* s) {
  if (s->samples == 0)
    return;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint8_t* p = s->buffer;
  p = put32(p, 5);
  p = put32(p, 1);
  p = put32(p, 0);
  p = put32(p, 0);
  p = put32(p, ++s->datagramSequence);
  p = put32(p, (uint32_t)(now.tv_sec * 1000 + now.tv_nsec / 1000000));
  put32(p, s->samples);
  if (sendto(s->fd, s->buffer, s->length, 0, (struct sockaddr*)&s->to, sizeof s->to) < 0)
    ++s->failed;
  ++s->datagrams;
  s->samples = 0;
  s->length = kHeaderBytes;
}

static void take(struct Sender* s, const struct pcap_pkthdr* header, const u_char* bytes) {
  const uint32_t copied = header->caplen < kMaxCopied ? header->caplen : kMaxCopied;
  const uint32_t pad = (4 - copied % 4) % 4;
  const size_t size = 64 + copied + pad;
  if (s->length + size > kMaxDatagram)
    sendPending(s);
  uint8_t* p = s->buffer + s->length;
  ++s->sampleSequence;
  p = put32(p, 1);
  p = put32(p, (uint32_t)(56 + copied + pad));
  p = put32(p, s->sampleSequence);
  p = put32(p, 0);
  p = put32(p, s->rate);
  p = put32(p, s->rate * s->sampleSequence);
  p = put32(p, 0);
  p = put32(p, 0);
  p = put32(p, 0);
  p = put32(p, 1);
  p = put32(p, 1);
  p = put32(p, 16 + copied + pad);
  p = put32(p, 1);
  p = put32(p, header->len);
  p = put32(p, header->len - header->caplen);
  p = put32(p, copied);
  memcpy(p, bytes, copied);
  memset(p + copied, 0, pad);
  s->length += size;
  ++s->samples;
}

static void onSignal(int signo) {
  (void)signo;
  stopping = 1;
  pcap_breakloop(handle); /* wakes the blocking read at once */
}

static unsigned long long packets;

static void count(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes) {
  (void)user;
  (void)header;
  (void)bytes;
  ++packets;
}

static void countAndSample(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes) {
  struct Sender* s = (struct Sender*)user;
  ++packets;
  s->counter = (uint16_t)(s->counter + s->step);
  if (s->counter < s->rate)
    return;
  s->counter = (uint16_t)(s->counter - s->rate);
  take(s, header, bytes);
}

int main(int argc, char** argv) {
  if (argc != 3 && argc != 7) {
    fprintf(stderr, "usage: agent_cost_floor INTERFACE FILTER [RATE STEP COLLECTOR PORT]\n");
    return 2;
  }
  static struct Sender sender;
  if (argc == 7) {
    sender.rate = (uint32_t)strtoul(argv[3], NULL, 0);
    sender.step = (uint16_t)strtoul(argv[4], NULL, 0);
    sender.to.sin_family = AF_INET;
    sender.to.sin_port = htons((uint16_t)atoi(argv[6]));
    sender.fd = socket(AF_INET, SOCK_DGRAM, 0);
    sender.length = kHeaderBytes;
    if (sender.rate == 0 || sender.step == 0 || sender.fd < 0 ||
        inet_pton(AF_INET, argv[5], &sender.to.sin_addr) != 1) {
      fprintf(stderr, "agent_cost_floor: bad sampling or collector arguments\n");
      return 2;
    }
  }
  char errbuf[PCAP_ERRBUF_SIZE];
  handle = pcap_create(argv[1], errbuf);
  if (handle == NULL) {
    fprintf(stderr, "agent_cost_floor: %s\n", errbuf);
    return 1;
  }
  pcap_set_snaplen(handle, 128);
  pcap_set_buffer_size(handle, 2 * 1024 * 1024);
  pcap_set_promisc(handle, 1);
  pcap_set_timeout(handle, 1000);
  if (pcap_activate(handle) < 0) {
    fprintf(stderr, "agent_cost_floor: activate: %s\n", pcap_geterr(handle));
    return 1;
  }
  struct bpf_program program;
  if (pcap_compile(handle, &program, argv[2], 1, 0xFFFFFF) < 0 ||
      pcap_setfilter(handle, &program) < 0) {
    fprintf(stderr, "agent_cost_floor: filter %s: %s\n", argv[2], pcap_geterr(handle));
    return 1;
  }
  pcap_freecode(&program);

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = onSignal;
  sigaction(SIGTERM, &action, NULL);
  sigaction(SIGINT, &action, NULL);

  printf("ready\n");
  fflush(stdout);

  int result = 0;
  while (!stopping) {
    result = sender.rate ? pcap_dispatch(handle, -1, countAndSample, (u_char*)&sender)
                         : pcap_dispatch(handle, -1, count, NULL);
    if (result == PCAP_ERROR)
      break;
  }
  if (sender.rate)
    sendPending(&sender);
  struct pcap_stat stats;
  memset(&stats, 0, sizeof stats);
  if (pcap_stats(handle, &stats) < 0) {
    fprintf(stderr, "agent_cost_floor: stats: %s\n", pcap_geterr(handle));
  }
  printf(
      "{\"counted\": %llu, \"received\": %u, \"dropped\": %u, \"ifdropped\": %u, "
      "\"datagrams\": %llu, \"send_failures\": %llu, \"error\": %s}\n",
      packets, stats.ps_recv, stats.ps_drop, stats.ps_ifdrop, sender.datagrams, sender.failed,
      result == PCAP_ERROR ? "true" : "false");
  pcap_close(handle);
  return result == PCAP_ERROR ? 1 : 0;
}
