// A scripted libpcap, so that the engine's error paths run without devices, and helpers for
// the capture tests; the reporter rig comes from the sFlow tests.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../sflow/sflow_fakes.h"
#include "pcap_api.h"

namespace wendrel::test {

constexpr int kDebug = log4cplus::DEBUG_LOG_LEVEL, kInfo = log4cplus::INFO_LOG_LEVEL;
constexpr int kWarn = log4cplus::WARN_LOG_LEVEL, kError = log4cplus::ERROR_LOG_LEVEL;

// Polls `done` every 10 ms until it holds or `limit` has passed; returns its last value.
inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline long long millisecondsOf(const std::function<void()>& action) {
  using namespace std::chrono;
  const auto start = steady_clock::now();
  action();
  return duration_cast<milliseconds>(steady_clock::now() - start).count();
}

struct FakeDevice {
  std::string name;
  // Space-separated: "create", "promisc", "local" (activation with that flag) and "compile"
  // fail; "warn": activation warns; "loopback"; "wifi": an 802.11 link type; "noif": not a
  // kernel interface.
  std::string traits = {};
  const char* description = nullptr;
  std::string addresses = {};  // space-separated, each with "/netmask" or without one
  bool has(const std::string& trait) const {
    return (" " + traits + " ").find(" " + trait + " ") != std::string::npos;
  }
};

class FakePcap : public PcapApi {
 public:
  FakePcap(std::initializer_list<FakeDevice> list) : devices(list) {}

  std::vector<FakeDevice> devices;  // set both before starting
  int failEnumerations = 0;         // the next ones fail
  // Calls so far, as "create eth0; promisc eth0 1; activate eth0; ".
  std::string calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const std::string& call : calls_)
      all += call + "; ";
    return all;
  }
  int count(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count(calls_.begin(), calls_.end(), call));
  }
  // Handles created, and those of them closed.
  std::pair<int, int> handles() {
    std::lock_guard<std::mutex> lock(mutex_);
    int closed = 0;
    for (const Handle& h : handles_)
      closed += h.closed;
    return {static_cast<int>(handles_.size()), closed};
  }

  int findAllDevs(pcap_if_t** list, char* errbuf) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back("findalldevs");
    if (failEnumerations > 0) {
      --failEnumerations;
      std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "fake enumeration failure");
      return -1;
    }
    pcap_if_t** tail = list;
    *tail = nullptr;
    for (const FakeDevice& d : devices) {
      pcap_if_t& entry = entries_.emplace_back();
      *tail = &entry;
      tail = &entry.next;
      entry.name = const_cast<char*>(d.name.c_str());
      entry.description = const_cast<char*>(d.description);
      entry.flags = d.has("loopback") ? PCAP_IF_LOOPBACK : 0;
      pcap_addr_t** next = &entry.addresses;
      std::istringstream words(d.addresses);
      for (std::string word; words >> word;) {
        pcap_addr_t& a = addresses_.emplace_back();
        const auto slash = word.find('/');
        a.addr = sockaddrOf(word.substr(0, slash));
        a.netmask = slash == std::string::npos ? nullptr : sockaddrOf(word.substr(slash + 1));
        *next = &a;
        next = &a.next;
      }
    }
    return 0;
  }
  void freeAllDevs(pcap_if_t*) override { record("freealldevs"); }
  unsigned interfaceIndex(const char* name) override {
    for (const FakeDevice& d : devices) {
      if (d.name == name)
        return d.has("noif") ? 0 : 1;
    }
    return 0;
  }
  pcap_t* create(const char* device, char* errbuf) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::string("create ") + device);
    for (const FakeDevice& d : devices) {
      if (d.name == device && !d.has("create"))
        return reinterpret_cast<pcap_t*>(&handles_.emplace_back(Handle{&d}));
    }
    std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "fake create failure");
    return nullptr;
  }
  int setSnaplen(pcap_t* p, int snaplen) override { return note(p, "snaplen", snaplen); }
  int setPromisc(pcap_t* p, int promisc) override {
    handle(p).promiscuous = promisc;
    return note(p, "promisc", promisc);
  }
  int setTimeout(pcap_t* p, int timeoutMs) override { return note(p, "timeout", timeoutMs); }
  int setBufferSize(pcap_t* p, int bytes) override { return note(p, "buffer", bytes); }
  int activate(pcap_t* p) override {
    Handle& h = handle(p);
    note(p, "activate");
    if (h.device->has(h.promiscuous ? "promisc" : "local"))
      return fail(h, h.promiscuous ? "fake promiscuous refusal" : "fake activation failure");
    if (!h.device->has("warn"))
      return 0;
    fail(h, "fake warning");
    return PCAP_WARNING_PROMISC_NOTSUP;
  }
  int datalink(pcap_t* p) override {
    return handle(p).device->has("wifi") ? DLT_IEEE802_11_RADIO : DLT_EN10MB;
  }
  int compile(pcap_t* p, bpf_program*, const char* text, int, bpf_u_int32) override {
    record("compile " + handle(p).device->name + " " + text);
    return handle(p).device->has("compile") ? fail(handle(p), "fake syntax error") : 0;
  }
  int setFilter(pcap_t* p, bpf_program*) override { return note(p, "setfilter"); }
  void freeCode(bpf_program*) override {}
  int setNonblock(pcap_t* p, int nonblock, char*) override { return note(p, "nonblock", nonblock); }
  // Like an idle Linux device: no packet, and no return at the read timeout, only on breakloop
  // (or, so that a missing breakloop fails the test instead of hanging it, after 10 s).
  int dispatch(pcap_t* p, int, pcap_handler, u_char*) override {
    std::unique_lock<std::mutex> lock(mutex_);
    Handle& h = handle(p);
    wake_.wait_for(lock, std::chrono::seconds(10), [&h] { return h.breakRequested; });
    return std::exchange(h.breakRequested, false) ? -2 : 0;
  }
  int stats(pcap_t*, pcap_stat* stats) override {
    stats->ps_recv = 0;
    stats->ps_drop = 7;
    return 0;
  }
  const char* geterr(pcap_t* p) override { return handle(p).error.c_str(); }
  const char* statusText(int status) override { return pcap_statustostr(status); }
  void breakloop(pcap_t* p) override {
    note(p, "breakloop");
    std::lock_guard<std::mutex> lock(mutex_);
    handle(p).breakRequested = true;
    wake_.notify_all();
  }
  void close(pcap_t* p) override {
    note(p, "close");
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_FALSE(handle(p).closed) << "second close of " << handle(p).device->name;
    handle(p).closed = true;
  }

 private:
  struct Handle {
    const FakeDevice* device;
    int promiscuous = 0;
    bool breakRequested = false, closed = false;
    std::string error = {};
  };
  static Handle& handle(pcap_t* p) { return *reinterpret_cast<Handle*>(p); }
  // Of an IPv6 address only the family matters here.
  sockaddr* sockaddrOf(const std::string& text) {
    auto& in = reinterpret_cast<sockaddr_in&>(sockaddrs_.emplace_back());
    in.sin_family = text.find(':') == std::string::npos ? AF_INET : AF_INET6;
    inet_pton(AF_INET, text.c_str(), &in.sin_addr);
    return reinterpret_cast<sockaddr*>(&in);
  }
  void record(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
  }
  // Records "<what> <device>[ <value>]".
  int note(pcap_t* p, const std::string& what, int value = -1) {
    const std::string call = what + " " + handle(p).device->name;
    record(value < 0 ? call : call + " " + std::to_string(value));
    return 0;
  }
  // The error text of a handle is set and read by the thread that uses the handle.
  static int fail(Handle& h, const char* error) {
    h.error = error;
    return -1;
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Handle> handles_;
  // What the device lists handed out point into.
  std::deque<pcap_if_t> entries_;
  std::deque<pcap_addr_t> addresses_;
  std::deque<sockaddr_storage> sockaddrs_;
  std::vector<std::string> calls_;
};

}  // namespace wendrel::test
