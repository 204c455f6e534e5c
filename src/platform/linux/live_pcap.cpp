#include "live_pcap.h"

#include <linux/filter.h>
#include <net/if.h>
#include <sys/socket.h>

namespace wendrel {

int LivePcap::findAllDevs(pcap_if_t** list, char* errbuf) {
  return pcap_findalldevs(list, errbuf);
}
void LivePcap::freeAllDevs(pcap_if_t* list) {
  pcap_freealldevs(list);
}
unsigned LivePcap::interfaceIndex(const char* name) {
  return if_nametoindex(name);
}
std::string LivePcap::interfaceName(unsigned ifIndex) {
  char name[IF_NAMESIZE];
  return if_indextoname(ifIndex, name) != nullptr ? name : "";
}
pcap_t* LivePcap::create(const char* device, char* errbuf) {
  return pcap_create(device, errbuf);
}
int LivePcap::setSnaplen(pcap_t* p, int snaplen) {
  return pcap_set_snaplen(p, snaplen);
}
int LivePcap::setPromisc(pcap_t* p, int promisc) {
  return pcap_set_promisc(p, promisc);
}
int LivePcap::setTimeout(pcap_t* p, int timeoutMs) {
  return pcap_set_timeout(p, timeoutMs);
}
int LivePcap::setBufferSize(pcap_t* p, int bytes) {
  return pcap_set_buffer_size(p, bytes);
}
int LivePcap::activate(pcap_t* p) {
  return pcap_activate(p);
}
int LivePcap::datalink(pcap_t* p) {
  return pcap_datalink(p);
}
int LivePcap::compile(pcap_t* p, bpf_program* program, const char* text, int optimize,
                      bpf_u_int32 netmask) {
  return pcap_compile(p, program, text, optimize, netmask);
}
int LivePcap::setFilter(pcap_t* p, bpf_program* program) {
  return pcap_setfilter(p, program);
}
void LivePcap::freeCode(bpf_program* program) {
  pcap_freecode(program);
}
int LivePcap::setNonblock(pcap_t* p, int nonblock, char* errbuf) {
  return pcap_setnonblock(p, nonblock, errbuf);
}
int LivePcap::attachKernelFilter(pcap_t* p, const bpf_program* program) {
  sock_fprog code{static_cast<unsigned short>(program->bf_len),
                  reinterpret_cast<sock_filter*>(program->bf_insns)};
  return setsockopt(pcap_fileno(p), SOL_SOCKET, SO_ATTACH_FILTER, &code, sizeof code);
}
int LivePcap::dispatch(pcap_t* p, int count, pcap_handler callback, u_char* user) {
  return pcap_dispatch(p, count, callback, user);
}
int LivePcap::stats(pcap_t* p, pcap_stat* stats) {
  return pcap_stats(p, stats);
}
const char* LivePcap::geterr(pcap_t* p) {
  return pcap_geterr(p);
}
const char* LivePcap::statusText(int status) {
  return pcap_statustostr(status);
}
void LivePcap::breakloop(pcap_t* p) {
  pcap_breakloop(p);
}
void LivePcap::close(pcap_t* p) {
  pcap_close(p);
}

}  // namespace wendrel
