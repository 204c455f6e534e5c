// PcapApi on the host's libpcap, with the kernel filter attached through the packet socket.
#pragma once

#include "pcap_api.h"

namespace wendrel {

// The host's libpcap.
class LivePcap final : public PcapApi {
 public:
  int findAllDevs(pcap_if_t** list, char* errbuf) override;
  void freeAllDevs(pcap_if_t* list) override;
  unsigned interfaceIndex(const char* name) override;
  std::string interfaceName(unsigned ifIndex) override;
  pcap_t* create(const char* device, char* errbuf) override;
  int setSnaplen(pcap_t* p, int snaplen) override;
  int setPromisc(pcap_t* p, int promisc) override;
  int setTimeout(pcap_t* p, int timeoutMs) override;
  int setBufferSize(pcap_t* p, int bytes) override;
  int activate(pcap_t* p) override;
  int datalink(pcap_t* p) override;
  int compile(pcap_t* p, bpf_program* program, const char* text, int optimize,
              bpf_u_int32 netmask) override;
  int setFilter(pcap_t* p, bpf_program* program) override;
  void freeCode(bpf_program* program) override;
  int setNonblock(pcap_t* p, int nonblock, char* errbuf) override;
  int attachKernelFilter(pcap_t* p, const bpf_program* program) override;
  int dispatch(pcap_t* p, int count, pcap_handler callback, u_char* user) override;
  int stats(pcap_t* p, pcap_stat* stats) override;
  const char* geterr(pcap_t* p) override;
  const char* statusText(int status) override;
  void breakloop(pcap_t* p) override;
  void close(pcap_t* p) override;
};

}  // namespace wendrel
