// A scripted libpcap: device opening, the capture threads and stop without devices.
#pragma once

#include <arpa/inet.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "pcap_api.h"

namespace wendrel::test {

// Each device is its own handle; its kernel index is its place in `devices`, from 1. Traits:
// "promisc"/"local" (activation with that flag fails), "warn" (activation warns), "perm" (not
// permitted), "emfile" (out of descriptors), "compile" (fails), "userland" (the kernel takes no
// filter), "loopback", "wifi" (802.11), "noif" (no kernel interface), "readerror" (reads fail).
// Addresses, space-separated: "address[/netmask]", IPv4 or IPv6; other words are link-layer.
struct FakePcap : PcapApi {
  struct Device {
    std::string name, traits, addresses = {};
    int packets = 0;  // what the next read delivers: 60-byte frames, numbered in bytes 0-1
    int promisc = 0, created = 0, closed = 0, broken = 0;
    std::string error = {};
    bool has(const std::string& t) const { return traits.find(t) != std::string::npos; }
  };
  std::vector<Device> devices;
  int failEnumerations = 0;
  std::string trace;  // the calls: "create eth0; promisc eth0 1; ..."; read once capture ends
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<pcap_if_t> entries;  // what the device list points into
  std::deque<pcap_addr_t> addresses;
  std::deque<sockaddr_storage> sockaddrs;

  static Device& d(pcap_t* p) { return *reinterpret_cast<Device*>(p); }
  Device& find(const std::string& name) {
    return *std::find_if(devices.begin(), devices.end(), [&](auto& v) { return v.name == name; });
  }
  int add(pcap_t* p, const std::string& call, int value = -1) {
    std::lock_guard<std::mutex> lock(mutex);
    trace +=
        call + (p ? " " + d(p).name : "") + (value < 0 ? "" : " " + std::to_string(value)) + "; ";
    return 0;
  }
  size_t count(const std::string& call) {  // how often `call` is in the trace so far
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = 0;
    for (size_t at = trace.find(call); at != std::string::npos; at = trace.find(call, at + 1))
      ++n;
    return n;
  }
  static int fail(pcap_t* p, const char* error) { return d(p).error = error, -1; }
  sockaddr* sockaddrOf(const std::string& text) {
    sockaddr_storage& s = sockaddrs.emplace_back();
    s.ss_family = inet_pton(AF_INET, text.c_str(), &reinterpret_cast<sockaddr_in&>(s).sin_addr)
                      ? AF_INET
                  : inet_pton(AF_INET6, text.c_str(), &reinterpret_cast<sockaddr_in6&>(s).sin6_addr)
                      ? AF_INET6
                      : AF_PACKET;
    return text.empty() ? nullptr : reinterpret_cast<sockaddr*>(&s);
  }
  int findAllDevs(pcap_if_t** list, char* errbuf) override {
    add(nullptr, "findalldevs");
    if (failEnumerations-- > 0)
      return snprintf(errbuf, PCAP_ERRBUF_SIZE, "fake enumeration failure"), -1;
    for (auto v = devices.rbegin(); v != devices.rend(); ++v) {  // built back to front
      const bpf_u_int32 up = PCAP_IF_UP | PCAP_IF_RUNNING;
      *list = &entries.emplace_back(pcap_if_t{*list, v->name.data(), nullptr, nullptr,
                                              v->has("loopback") ? up | PCAP_IF_LOOPBACK : up});
      std::istringstream words(v->addresses);
      pcap_addr_t** tail = &(*list)->addresses;
      for (std::string w; words >> w; tail = &(*tail)->next) {
        const size_t slash = std::min(w.find('/'), w.size());
        *tail = &addresses.emplace_back(
            pcap_addr_t{nullptr, sockaddrOf(w.substr(0, slash)),
                        sockaddrOf(w.substr(std::min(slash + 1, w.size()))), nullptr, nullptr});
      }
    }
    return 0;
  }
  void freeAllDevs(pcap_if_t*) override { add(nullptr, "freealldevs"); }
  unsigned interfaceIndex(const char* name) override {
    std::lock_guard<std::mutex> lock(mutex);
    return find(name).has("noif") ? 0 : unsigned(&find(name) - devices.data()) + 1;
  }
  pcap_t* create(const char* name, char*) override {
    add(nullptr, "create " + std::string(name));
    std::lock_guard<std::mutex> lock(mutex);
    Device& v = find(name);
    return v.broken = 0, ++v.created, reinterpret_cast<pcap_t*>(&v);
  }
  int setSnaplen(pcap_t* p, int bytes) override { return add(p, "snaplen", bytes); }
  int setPromisc(pcap_t* p, int on) override { return add(p, "promisc", d(p).promisc = on); }
  int setTimeout(pcap_t* p, int ms) override { return add(p, "timeout", ms); }
  int setBufferSize(pcap_t* p, int bytes) override { return add(p, "buffer", bytes); }
  int activate(pcap_t* p) override {
    add(p, "activate");
    if (d(p).has("emfile"))
      return fail(p, "socket: Too many open files");
    if (d(p).has("perm"))
      return fail(p, "socket: Operation not permitted"), PCAP_ERROR_PERM_DENIED;
    if (d(p).has(d(p).promisc ? "promisc" : "local"))
      return fail(p, d(p).promisc ? "fake promiscuous refusal" : "fake activation failure");
    return d(p).has("warn") ? fail(p, "fake warning"), PCAP_WARNING_PROMISC_NOTSUP : 0;
  }
  int datalink(pcap_t* p) override { return d(p).has("wifi") ? DLT_IEEE802_11 : DLT_EN10MB; }
  int compile(pcap_t* p, bpf_program*, const char*, int, bpf_u_int32) override {
    return d(p).has("compile") ? fail(p, "fake syntax error") : 0;
  }
  int setFilter(pcap_t* p, bpf_program*) override { return add(p, "setfilter"); }
  int attachKernelFilter(pcap_t* p, const bpf_program* f) override {
    return add(p, "attach", int(f->bf_len)) - d(p).has("userland");
  }
  void freeCode(bpf_program*) override {}
  int setNonblock(pcap_t* p, int on, char*) override { return add(p, "nonblock", on); }
  // Delivers the packets set, then is like an idle Linux device: returns only on breakloop (or
  // after 10 s, so that a missing breakloop fails a test rather than hangs it).
  int dispatch(pcap_t* p, int, pcap_handler handler, u_char* user) override {
    std::unique_lock<std::mutex> lock(mutex);
    if (d(p).has("readerror"))
      return fail(p, "fake read error");
    if (const int n = std::exchange(d(p).packets, 0); n > 0) {
      lock.unlock();
      u_char frame[60] = {};
      const pcap_pkthdr header{{}, 60, 60};
      for (int i = 0; i < n; ++i)
        frame[0] = u_char(i >> 8), frame[1] = u_char(i), handler(user, &header, frame);
      return n;
    }
    return wake.wait_for(lock, std::chrono::seconds(10), [p] { return d(p).broken; }) ? -2 : 0;
  }
  int stats(pcap_t*, pcap_stat* s) override { return s->ps_recv = 3, s->ps_drop = 7, 0; }
  const char* geterr(pcap_t* p) override { return d(p).error.c_str(); }
  const char* statusText(int status) override { return pcap_statustostr(status); }
  void breakloop(pcap_t* p) override {
    std::lock_guard<std::mutex> lock(mutex);
    d(p).broken = 1, wake.notify_all();
  }
  void close(pcap_t* p) override { add(p, "close"), ++d(p).closed; }
};

}  // namespace wendrel::test
