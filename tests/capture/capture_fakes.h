// A scripted libpcap, so that device opening, the capture threads and stop run without
// devices.
#pragma once

#include <arpa/inet.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pcap_api.h"

namespace wendrel::test {

// Each device is its own handle. Traits: "promisc"/"local" (activation with that flag fails),
// "warn" (activation warns), "perm" (activation is not permitted), "compile" (fails),
// "userland" (the kernel takes no filter), "loopback", "wifi" (802.11), "noif" (no kernel
// interface), "down", "emfile" (activation runs out of descriptors). Addresses: "a.b.c.d[/netmask]"
// or IPv6 ("::"), space-separated.
struct FakePcap : PcapApi {
  struct Device {
    std::string name, traits, addresses = {};
    const char* description = nullptr;
    int promisc = 0, created = 0, closed = 0;  // read by the test once capture has ended
    int packets = 0;                           // what the first dispatch delivers
    bool broken = false;
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
  int add(pcap_t* p, const std::string& call, int value = -1) {
    std::lock_guard<std::mutex> lock(mutex);
    trace +=
        call + (p ? " " + d(p).name : "") + (value < 0 ? "" : " " + std::to_string(value)) + "; ";
    return 0;
  }
  static int fail(pcap_t* p, const char* error) { return d(p).error = error, -1; }
  sockaddr* sockaddrOf(const std::string& text) {  // of IPv6 only the family matters
    auto& in = reinterpret_cast<sockaddr_in&>(sockaddrs.emplace_back());
    in.sin_family = text.find(':') == std::string::npos ? AF_INET : AF_INET6;
    inet_pton(AF_INET, text.c_str(), &in.sin_addr);
    return text.empty() ? nullptr : reinterpret_cast<sockaddr*>(&in);
  }
  int findAllDevs(pcap_if_t** list, char* errbuf) override {
    add(nullptr, "findalldevs");
    if (failEnumerations-- > 0)
      return snprintf(errbuf, PCAP_ERRBUF_SIZE, "fake enumeration failure"), -1;
    for (auto v = devices.rbegin(); v != devices.rend(); ++v) {  // built back to front
      const bpf_u_int32 flags = (v->has("loopback") ? PCAP_IF_LOOPBACK : 0) |
                                (v->has("down") ? 0 : PCAP_IF_UP | PCAP_IF_RUNNING);
      *list = &entries.emplace_back(
          pcap_if_t{*list, v->name.data(), const_cast<char*>(v->description), nullptr, flags});
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
  unsigned interfaceIndex(const char* name) override { return !find(name).has("noif"); }
  Device& find(const std::string& name) {
    return *std::find_if(devices.begin(), devices.end(), [&](auto& v) { return v.name == name; });
  }
  pcap_t* create(const char* name, char*) override {
    add(nullptr, "create " + std::string(name));
    return ++find(name).created, reinterpret_cast<pcap_t*>(&find(name));
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
  int compile(pcap_t* p, bpf_program*, const char* text, int, bpf_u_int32 mask) override {
    add(p, "compile", int(mask)), add(nullptr, text);
    return d(p).has("compile") ? fail(p, "fake syntax error") : 0;
  }
  int setFilter(pcap_t* p, bpf_program*) override { return add(p, "setfilter"); }
  int attachKernelFilter(pcap_t* p, const bpf_program* f) override {
    return add(p, "attach", int(f->bf_len)) - d(p).has("userland");
  }
  void freeCode(bpf_program*) override {}
  int setNonblock(pcap_t* p, int on, char*) override { return add(p, "nonblock", on); }
  // Like an idle Linux device: no packet, and no return at the read timeout, only on
  // breakloop (or after 10 s, so that a missing breakloop fails a test rather than hangs it).
  int dispatch(pcap_t* p, int, pcap_handler, u_char*) override {
    std::unique_lock<std::mutex> lock(mutex);
    if (d(p).packets > 0)
      return std::exchange(d(p).packets, 0);
    return wake.wait_for(lock, std::chrono::seconds(10), [p] { return d(p).broken; }) ? -2 : 0;
  }
  int stats(pcap_t*, pcap_stat* s) override { return s->ps_recv = 3, s->ps_drop = 7, 0; }
  const char* geterr(pcap_t* p) override { return d(p).error.c_str(); }
  const char* statusText(int status) override { return pcap_statustostr(status); }
  void breakloop(pcap_t* p) override {
    std::lock_guard<std::mutex> lock(mutex);
    d(p).broken = true, wake.notify_all();
  }
  void close(pcap_t* p) override { add(p, "close"), ++d(p).closed; }
};

}  // namespace wendrel::test
