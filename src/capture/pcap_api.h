// The libpcap calls the capture engine makes, behind one small interface so that tests can
// put a scripted device list in place of the host's.
#pragma once

#include <pcap/pcap.h>

#include <memory>
#include <string>

namespace wendrel {

class PcapApi {
 public:
  virtual ~PcapApi() = default;

  // Device enumeration (pcap_findalldevs / pcap_freealldevs).
  virtual int findAllDevs(pcap_if_t** list, char* errbuf) = 0;
  virtual void freeAllDevs(pcap_if_t* list) = 0;
  // The kernel's index of a network interface, 0 when the name is not one (if_nametoindex).
  virtual unsigned interfaceIndex(const char* name) = 0;
  // The interface's name now, "" when the index is gone (if_indextoname).
  virtual std::string interfaceName(unsigned) { return {}; }

  // Two-phase opening: create, set the options, activate.
  virtual pcap_t* create(const char* device, char* errbuf) = 0;
  virtual int setSnaplen(pcap_t* p, int snaplen) = 0;
  virtual int setPromisc(pcap_t* p, int promisc) = 0;
  virtual int setTimeout(pcap_t* p, int timeoutMs) = 0;
  virtual int setBufferSize(pcap_t* p, int bytes) = 0;
  virtual int activate(pcap_t* p) = 0;

  virtual int datalink(pcap_t* p) = 0;
  virtual int compile(pcap_t* p, bpf_program* program, const char* text, int optimize,
                      bpf_u_int32 netmask) = 0;
  virtual int setFilter(pcap_t* p, bpf_program* program) = 0;
  virtual void freeCode(bpf_program* program) = 0;
  virtual int setNonblock(pcap_t* p, int nonblock, char* errbuf) = 0;
  // Puts `program` in place of the filter the kernel runs on the handle's socket, unknown to
  // libpcap (SO_ATTACH_FILTER); 0 when the kernel took it.
  virtual int attachKernelFilter(pcap_t* p, const bpf_program* program) = 0;

  virtual int dispatch(pcap_t* p, int count, pcap_handler callback, u_char* user) = 0;
  virtual int stats(pcap_t* p, pcap_stat* stats) = 0;
  virtual const char* geterr(pcap_t* p) = 0;
  virtual const char* statusText(int status) = 0;
  // May be called from any thread while another one is inside dispatch on the same handle.
  virtual void breakloop(pcap_t* p) = 0;
  virtual void close(pcap_t* p) = 0;
};

// Owners, so that no error path leaks a handle, a compiled program or a device list; each
// frees through the calls that made it.
struct PcapClose {
  PcapApi* api = nullptr;
  void operator()(pcap_t* p) const { api->close(p); }
};
struct PcapFreeCode {
  PcapApi* api = nullptr;
  void operator()(bpf_program* program) const { api->freeCode(program); }
};
struct PcapFreeDevices {
  PcapApi* api = nullptr;
  void operator()(pcap_if_t* list) const { api->freeAllDevs(list); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapClose>;

}  // namespace wendrel
