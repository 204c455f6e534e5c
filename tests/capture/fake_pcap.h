// A scripted stand-in for libpcap: a device list, per-device failures, packets to deliver,
// and a record of every call, so the engine's error paths can be driven without devices.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pcap_api.h"

namespace wendrel::test {

struct FakeAddress {
  std::string address;  // "10.0.0.1" or an IPv6 text such as "fe80::1"
  std::string netmask;  // empty: no netmask
};

struct FakeDevice {
  std::string name;
  const char* description = nullptr;
  bpf_u_int32 flags = 0;
  bool kernelInterface = true;  // known to if_nametoindex
  std::vector<FakeAddress> addresses;
  int linkType = DLT_EN10MB;
  bool createFails = false;
  bool promiscuousFails = false;  // activation with promiscuous 1 fails
  bool localFails = false;        // activation with promiscuous 0 fails
  int activateWarning = 0;        // a positive activation result, with "fake warning"
  bool compileFails = false;
  bool setFilterFails = false;
  bool statsFail = false;
  // Delivered by the first dispatch call, one batch.
  std::vector<std::vector<uint8_t>> packets;
  // What dispatch returns once the packets are delivered: 0 blocks like an idle Linux
  // device until breakloop; -1 is a read error ("fake read error"); -2 a break.
  int endResult = 0;
};

class FakePcap : public PcapApi {
 public:
  explicit FakePcap(std::vector<FakeDevice> devices = {});
  ~FakePcap() override;

  // The next `count` enumerations fail with "fake enumeration failure".
  void failEnumerations(int count);

  // Calls made so far, as "create eth0", "promisc eth0 1", "activate eth0" ...
  std::vector<std::string> calls() const;
  int handlesCreated() const;
  // Handles closed once (a second close of one handle is counted in closeErrors()).
  int handlesClosed() const;
  int closeErrors() const;
  int listsFreed() const;
  int enumerations() const;

  int findAllDevs(pcap_if_t** list, char* errbuf) override;
  void freeAllDevs(pcap_if_t* list) override;
  unsigned interfaceIndex(const char* name) override;
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
  int dispatch(pcap_t* p, int count, pcap_handler callback, u_char* user) override;
  int stats(pcap_t* p, pcap_stat* stats) override;
  const char* geterr(pcap_t* p) override;
  const char* statusText(int status) override;
  void breakloop(pcap_t* p) override;
  void close(pcap_t* p) override;

 private:
  struct Handle;
  struct DeviceList;
  Handle& handle(pcap_t* p);
  void record(std::string call);

  std::vector<FakeDevice> devices_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::unique_ptr<Handle>> handles_;
  std::vector<std::unique_ptr<DeviceList>> lists_;
  std::vector<std::string> calls_;
  int enumerationFailures_ = 0;
  int enumerations_ = 0;
  int closed_ = 0;
  int closeErrors_ = 0;
  int listsFreed_ = 0;
  int programs_ = 0;
};

}  // namespace wendrel::test
