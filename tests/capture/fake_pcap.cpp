#include "fake_pcap.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace wendrel::test {

struct FakePcap::Handle {
  const FakeDevice* device = nullptr;
  int promiscuous = 0;
  bool delivered = false;
  bool breakRequested = false;
  bool closed = false;
  std::string error;
};

// The storage behind one pcap_if_t list handed out by findAllDevs.
struct FakePcap::DeviceList {
  std::vector<pcap_if_t> entries;
  std::vector<pcap_addr_t> addresses;
  std::vector<sockaddr_storage> sockaddrs;
  bool freed = false;
};

namespace {

void fillSockaddr(const std::string& text, sockaddr_storage& out) {
  std::memset(&out, 0, sizeof out);
  if (text.find(':') != std::string::npos) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&out);
    in6->sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr) != 1)
      throw std::invalid_argument(text);
  } else {
    auto* in = reinterpret_cast<sockaddr_in*>(&out);
    in->sin_family = AF_INET;
    if (inet_pton(AF_INET, text.c_str(), &in->sin_addr) != 1)
      throw std::invalid_argument(text);
  }
}

}  // namespace

FakePcap::FakePcap(std::vector<FakeDevice> devices) : devices_(std::move(devices)) {}
FakePcap::~FakePcap() = default;

void FakePcap::failEnumerations(int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  enumerationFailures_ = count;
}

std::vector<std::string> FakePcap::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}
int FakePcap::handlesCreated() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(handles_.size());
}
int FakePcap::handlesClosed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}
int FakePcap::closeErrors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closeErrors_;
}
int FakePcap::listsFreed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return listsFreed_;
}
int FakePcap::enumerations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return enumerations_;
}

void FakePcap::record(std::string call) {
  calls_.push_back(std::move(call));
}

FakePcap::Handle& FakePcap::handle(pcap_t* p) {
  return *reinterpret_cast<Handle*>(p);
}

int FakePcap::findAllDevs(pcap_if_t** list, char* errbuf) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++enumerations_;
  record("findalldevs");
  if (enumerationFailures_ > 0) {
    --enumerationFailures_;
    std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "fake enumeration failure");
    return -1;
  }
  auto storage = std::make_unique<DeviceList>();
  size_t addressCount = 0;
  for (const FakeDevice& d : devices_)
    addressCount += d.addresses.size();
  // Reserved up front: the list links point into these vectors.
  storage->entries.resize(devices_.size());
  storage->addresses.resize(addressCount);
  storage->sockaddrs.resize(addressCount * 2);
  size_t a = 0;
  for (size_t i = 0; i < devices_.size(); ++i) {
    const FakeDevice& d = devices_[i];
    pcap_if_t& entry = storage->entries[i];
    entry = pcap_if_t{};
    entry.next = i + 1 < devices_.size() ? &storage->entries[i + 1] : nullptr;
    entry.name = d.name.empty() ? nullptr : const_cast<char*>(d.name.c_str());
    entry.description = const_cast<char*>(d.description);
    entry.flags = d.flags;
    pcap_addr_t* previous = nullptr;
    for (const FakeAddress& fa : d.addresses) {
      pcap_addr_t& pa = storage->addresses[a];
      pa = pcap_addr_t{};
      fillSockaddr(fa.address, storage->sockaddrs[2 * a]);
      pa.addr = reinterpret_cast<sockaddr*>(&storage->sockaddrs[2 * a]);
      if (!fa.netmask.empty()) {
        fillSockaddr(fa.netmask, storage->sockaddrs[2 * a + 1]);
        pa.netmask = reinterpret_cast<sockaddr*>(&storage->sockaddrs[2 * a + 1]);
      }
      if (previous != nullptr) {
        previous->next = &pa;
      } else {
        entry.addresses = &pa;
      }
      previous = &pa;
      ++a;
    }
  }
  *list = storage->entries.empty() ? nullptr : storage->entries.data();
  lists_.push_back(std::move(storage));
  return 0;
}

void FakePcap::freeAllDevs(pcap_if_t* list) {
  std::lock_guard<std::mutex> lock(mutex_);
  record("freealldevs");
  for (auto& l : lists_) {
    if (!l->freed && (l->entries.empty() ? list == nullptr : list == l->entries.data())) {
      l->freed = true;
      ++listsFreed_;
      return;
    }
  }
  throw std::logic_error("freeAllDevs of a list that was not handed out");
}

unsigned FakePcap::interfaceIndex(const char* name) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i].name == name)
      return devices_[i].kernelInterface ? unsigned(i + 1) : 0;
  }
  return 0;
}

pcap_t* FakePcap::create(const char* device, char* errbuf) {
  std::lock_guard<std::mutex> lock(mutex_);
  record(std::string("create ") + device);
  for (const FakeDevice& d : devices_) {
    if (d.name != device)
      continue;
    if (d.createFails) {
      std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "fake create failure");
      return nullptr;
    }
    auto h = std::make_unique<Handle>();
    h->device = &d;
    handles_.push_back(std::move(h));
    return reinterpret_cast<pcap_t*>(handles_.back().get());
  }
  std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "no such fake device");
  return nullptr;
}

int FakePcap::setSnaplen(pcap_t* p, int snaplen) {
  std::lock_guard<std::mutex> lock(mutex_);
  record("snaplen " + handle(p).device->name + " " + std::to_string(snaplen));
  return 0;
}
int FakePcap::setPromisc(pcap_t* p, int promisc) {
  std::lock_guard<std::mutex> lock(mutex_);
  handle(p).promiscuous = promisc;
  record("promisc " + handle(p).device->name + " " + std::to_string(promisc));
  return 0;
}
int FakePcap::setTimeout(pcap_t* p, int timeoutMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  record("timeout " + handle(p).device->name + " " + std::to_string(timeoutMs));
  return 0;
}
int FakePcap::setBufferSize(pcap_t* p, int bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  record("buffer " + handle(p).device->name + " " + std::to_string(bytes));
  return 0;
}
int FakePcap::activate(pcap_t* p) {
  std::lock_guard<std::mutex> lock(mutex_);
  Handle& h = handle(p);
  record("activate " + h.device->name);
  if (h.promiscuous ? h.device->promiscuousFails : h.device->localFails) {
    h.error = h.promiscuous ? "fake promiscuous refusal" : "fake activation failure";
    return PCAP_ERROR;
  }
  if (h.device->activateWarning > 0) {
    h.error = "fake warning";
    return h.device->activateWarning;
  }
  return 0;
}
int FakePcap::datalink(pcap_t* p) {
  std::lock_guard<std::mutex> lock(mutex_);
  return handle(p).device->linkType;
}
int FakePcap::compile(pcap_t* p, bpf_program* program, const char* text, int, bpf_u_int32) {
  std::lock_guard<std::mutex> lock(mutex_);
  Handle& h = handle(p);
  record("compile " + h.device->name + " " + text);
  if (h.device->compileFails) {
    h.error = "fake syntax error";
    return -1;
  }
  program->bf_len = 1;
  program->bf_insns = new bpf_insn[1]{};
  ++programs_;
  return 0;
}
int FakePcap::setFilter(pcap_t* p, bpf_program*) {
  std::lock_guard<std::mutex> lock(mutex_);
  Handle& h = handle(p);
  record("setfilter " + h.device->name);
  return h.device->setFilterFails ? -1 : 0;
}
void FakePcap::freeCode(bpf_program* program) {
  std::lock_guard<std::mutex> lock(mutex_);
  delete[] program->bf_insns;
  program->bf_insns = nullptr;
  program->bf_len = 0;
  --programs_;
}
int FakePcap::setNonblock(pcap_t* p, int nonblock, char*) {
  std::lock_guard<std::mutex> lock(mutex_);
  record("nonblock " + handle(p).device->name + " " + std::to_string(nonblock));
  return 0;
}

int FakePcap::dispatch(pcap_t* p, int, pcap_handler callback, u_char* user) {
  std::unique_lock<std::mutex> lock(mutex_);
  Handle& h = handle(p);
  if (h.closed)
    throw std::logic_error("dispatch on a closed handle");
  if (!h.delivered) {
    h.delivered = true;
    const auto& packets = h.device->packets;
    if (!packets.empty()) {
      lock.unlock();  // the callback may take the reporter's lock
      for (const auto& bytes : packets) {
        pcap_pkthdr header{};
        header.caplen = static_cast<bpf_u_int32>(bytes.size());
        header.len = header.caplen;
        callback(user, &header, bytes.data());
      }
      return static_cast<int>(packets.size());
    }
  }
  if (h.device->endResult == -1) {
    h.error = "fake read error";
    return -1;
  }
  if (h.device->endResult == -2)
    return -2;
  // Like an idle Linux device: no return at the read timeout, only on breakloop. Bounded
  // so that a missing breakloop fails the test instead of hanging it.
  wake_.wait_for(lock, std::chrono::seconds(10), [&h] { return h.breakRequested; });
  if (h.breakRequested) {
    h.breakRequested = false;
    return -2;
  }
  return 0;
}

int FakePcap::stats(pcap_t* p, pcap_stat* stats) {
  std::lock_guard<std::mutex> lock(mutex_);
  Handle& h = handle(p);
  if (h.device->statsFail) {
    h.error = "fake statistics failure";
    return -1;
  }
  stats->ps_recv = static_cast<u_int>(h.device->packets.size());
  stats->ps_drop = 7;
  return 0;
}

const char* FakePcap::geterr(pcap_t* p) {
  std::lock_guard<std::mutex> lock(mutex_);
  return handle(p).error.c_str();
}

const char* FakePcap::statusText(int status) {
  return pcap_statustostr(status);
}

void FakePcap::breakloop(pcap_t* p) {
  std::lock_guard<std::mutex> lock(mutex_);
  Handle& h = handle(p);
  record("breakloop " + h.device->name);
  h.breakRequested = true;
  wake_.notify_all();
}

void FakePcap::close(pcap_t* p) {
  std::lock_guard<std::mutex> lock(mutex_);
  Handle& h = handle(p);
  record("close " + h.device->name);
  if (h.closed) {
    ++closeErrors_;
    return;
  }
  h.closed = true;
  ++closed_;
}

}  // namespace wendrel::test
