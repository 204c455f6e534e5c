#include "traffic_collector.h"

#include "threads.h"

#include <arpa/inet.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <boost/chrono/system_clocks.hpp>
#include <boost/format.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/lock_guard.hpp>
#include <cstdio>
#include <cstring>

namespace wendrel {

namespace {

// Shared by the supervisor and every capture thread of the process. Lock order:
// collectorMutex before readyMutex; capture threads take either alone.
boost::mutex collectorMutex;
boost::mutex readyMutex;
boost::condition_variable readyCondition;
uint32_t readyCount = 0;  // guarded by readyMutex; only ever grows

constexpr int kReadTimeoutMs = 1000;
constexpr bpf_u_int32 kFilterNetmask = 0xFFFFFF;
// The largest sampling step: the step is 16 bits wide and the filter tests the two bytes
// of the IP header checksum.
constexpr uint32_t kMaxStep = 32768;

log4cplus::Logger& logger() {
  static log4cplus::Logger instance = log4cplus::Logger::getInstance("TrafficLogger");
  return instance;
}

uint32_t ipv4Of(const sockaddr* address) {
  sockaddr_in in;
  std::memcpy(&in, address, sizeof in);
  return in.sin_addr.s_addr;
}

// Frees the device list on every way out of the enumeration walk.
class DeviceList {
 public:
  explicit DeviceList(PcapApi& api) : api_(api) {}
  ~DeviceList() {
    if (found_)
      api_.freeAllDevs(head_);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  bool find(char* errbuf) {
    found_ = api_.findAllDevs(&head_, errbuf) != -1;
    return found_;
  }
  pcap_if_t* head() const { return head_; }

 private:
  PcapApi& api_;
  pcap_if_t* head_ = nullptr;
  bool found_ = false;
};

}  // namespace

TrafficCollector::TrafficCollector(uint16_t snap, PacketReporter* sampleReporter, int32_t buffer,
                                   uint32_t rate, bool performance)
    : TrafficCollector(snap, sampleReporter, buffer, rate, performance, LivePcap::instance(),
                       CaptureTiming{}) {}

TrafficCollector::TrafficCollector(uint16_t snap, PacketReporter* sampleReporter, int32_t buffer,
                                   uint32_t rate, bool performance, PcapApi& pcapApi,
                                   CaptureTiming supervisorTiming)
    : performanceMode(performance),
      snapLength(snap),
      reporter(sampleReporter),
      bufferSize(buffer),
      samplingRate(rate),
      pcap(pcapApi),
      timing(std::move(supervisorTiming)) {
  filter = buildFilter();
}

TrafficCollector::~TrafficCollector() {
  stop();
}

std::string TrafficCollector::buildFilter() {
  samplingStep = 1;
  if (!performanceMode || samplingRate == 0)
    return "ip";
  // k: the largest power of two below the rate. Each packet the filter passes stands for
  // k packets, and the filter passes those whose lowest log2(k) checksum bits are all set.
  uint32_t k = 1;
  if (samplingRate > 2) {
    while (2 * k < samplingRate && k < kMaxStep)
      k *= 2;
  }
  samplingStep = static_cast<uint16_t>(k);
  const unsigned mask = k - 1;
  if (k <= 256)
    return (boost::format("ip[11] & 0x%02X = 0x%02X") % mask % mask).str();
  return (boost::format("ip[10:2] & 0x%04X = 0x%04X") % mask % mask).str();
}

void TrafficCollector::packetHandler(u_char* user, const pcap_pkthdr* header,
                                     const u_char* packet) {
  auto* state = reinterpret_cast<SamplingState*>(user);
  if (state->samplingRate != 0) {
    state->counter += state->step;
    if (state->counter < state->samplingRate)
      return;
    state->counter -= state->samplingRate;
  }
  state->reporter->addSample(header, packet, state->samplingRate, state->sourceIndex);
}

PcapHandle TrafficCollector::openDevice(const char* name, const char* label, int promiscuous,
                                        std::string& error) {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  PcapHandle handle(pcap, pcap.create(name, errbuf));
  if (!handle) {
    error = errbuf;
    return {};
  }
  pcap_t* p = handle.get();
  // Every option goes in before activation; libpcap refuses a buffer size afterwards.
  pcap.setSnaplen(p, snapLength);
  pcap.setPromisc(p, promiscuous);
  pcap.setTimeout(p, kReadTimeoutMs);
  pcap.setBufferSize(p, bufferSize);
  const int status = pcap.activate(p);
  if (status == 0)
    return handle;
  const char* text = pcap.geterr(p);
  const std::string detail = (text != nullptr && *text != '\0') ? text : pcap.statusText(status);
  if (status < 0) {
    error = detail;
    return {};
  }
  LOG4CPLUS_WARN_FMT(logger(), "Device %s opened with a warning: %s", label, detail.c_str());
  return handle;
}

bool TrafficCollector::initCaptureEngine() {
  devices.clear();
  LOG4CPLUS_DEBUG(logger(), "Initializing capture devices");
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  DeviceList list(pcap);
  if (!list.find(errbuf)) {
    LOG4CPLUS_ERROR_FMT(logger(), "Failed to find devices: %s", errbuf);
    return false;
  }
  for (const pcap_if_t* device = list.head(); device != nullptr; device = device->next) {
    const char* name = device->name;
    // Not Ethernet interfaces of this host: the "any" pseudo-device, loopback, and the
    // pseudo-devices that are no kernel interface at all (nflog, usbmon, dbus...).
    if (name == nullptr || std::strcmp(name, "any") == 0)
      continue;
    if ((device->flags & PCAP_IF_LOOPBACK) != 0)
      continue;
    if (pcap.interfaceIndex(name) == 0)
      continue;

    const char* label = device->description != nullptr ? device->description : name;
    if (device->description != nullptr) {
      LOG4CPLUS_DEBUG_FMT(logger(), "Initializing device %s: %s", name, device->description);
    } else {
      LOG4CPLUS_DEBUG_FMT(logger(), "Initializing device %s", name);
    }

    std::string error;
    PcapHandle handle = openDevice(name, label, 1, error);
    if (!handle) {
      LOG4CPLUS_DEBUG_FMT(logger(),
                          "Failed to initialize promiscuous mode on device %s, trying local "
                          "capture mode",
                          label);
      handle = openDevice(name, label, 0, error);
    }
    if (!handle) {
      LOG4CPLUS_WARN_FMT(logger(), "Device %s is not supported: %s", label, error.c_str());
      continue;
    }

    pcap_t* p = handle.get();
    bool usable = false;
    if (pcap.datalink(p) == DLT_EN10MB) {
      LOG4CPLUS_DEBUG_FMT(logger(), "Reading %s addresses", name);
      readLocalIp(device->addresses);
      BpfProgram program(pcap);
      if (pcap.compile(p, program.out(), filter.c_str(), 1, kFilterNetmask) < 0) {
        LOG4CPLUS_ERROR_FMT(logger(), "Failed to compile filter %s: %s", filter.c_str(),
                            pcap.geterr(p));
      } else {
        usable = pcap.setFilter(p, program.get()) >= 0;
      }
    }
    if (!usable) {
      LOG4CPLUS_WARN_FMT(logger(), "Failed to initialize device %s", label);
      continue;  // the handle closes as it goes out of scope
    }
    devices.push_back(std::move(handle));
    LOG4CPLUS_DEBUG(logger(), "Setting device mode to non blocking");
    pcap.setNonblock(p, 0, errbuf);
    LOG4CPLUS_INFO_FMT(logger(), "Device %s initialized successfully", label);
  }
  LOG4CPLUS_DEBUG(logger(), "Capture devices initialized successfully");
  return true;
}

void TrafficCollector::readLocalIp(const pcap_addr* addresses) {
  if (localAddress.load() != 0 || addresses == nullptr)
    return;
  for (const pcap_addr* entry = addresses; entry != nullptr; entry = entry->next) {
    if (entry->addr == nullptr || entry->addr->sa_family != AF_INET)
      continue;
    const uint32_t address = ipv4Of(entry->addr);  // network byte order
    if (address == 0 || address == htonl(INADDR_LOOPBACK))
      continue;
    LOG4CPLUS_DEBUG_FMT(logger(), "Found address %x", address);
    if (entry->netmask == nullptr) {
      LOG4CPLUS_DEBUG(logger(), "No netmask found for address, ignoring");
      continue;
    }
    LOG4CPLUS_DEBUG_FMT(logger(), "Found netmask for address to be %x",
                        ntohl(ipv4Of(entry->netmask)));
    // Later qualifying entries of the same list replace earlier ones.
    localAddress.store(address);
    if (reporter != nullptr)
      reporter->setAgentAddress(address);
  }
}

void TrafficCollector::interfaceHandler(InterfaceData* raw) {
  const std::unique_ptr<InterfaceData> data(raw);  // this thread owns its record
  char name[24];
  std::snprintf(name, sizeof name, "wendrel-cap%u", static_cast<unsigned>(data->index));
  platform::nameThisThread(name);
  {
    boost::lock_guard<boost::mutex> lock(readyMutex);
    ++readyCount;
    readyCondition.notify_one();
  }

  int last = 0;
  {
    SamplingState state;
    state.reporter = reporter;
    state.samplingRate = samplingRate;
    state.step = samplingStep;
    state.sourceIndex = data->index;
    // An idle Linux device does not return at its read timeout; stop() ends the wait with
    // pcap_breakloop after clearing `collecting`.
    while (collecting.load() && last >= 0) {
      last = pcap.dispatch(data->handle, -1, &TrafficCollector::packetHandler,
                           reinterpret_cast<u_char*>(&state));
    }
  }
  LOG4CPLUS_INFO_FMT(logger(), "Stopped collecting on interface %d", static_cast<int>(data->index));
  if (last == -1) {
    LOG4CPLUS_ERROR_FMT(logger(), "Error in pcap_loop: %s", pcap.geterr(data->handle));
  } else {
    pcap_stat stats{};
    if (pcap.stats(data->handle, &stats) == -1) {
      LOG4CPLUS_WARN_FMT(logger(), "Failed to get capture statistics: %s",
                         pcap.geterr(data->handle));
    } else {
      LOG4CPLUS_DEBUG_FMT(logger(), "Capture statistics - Received: %u Dropped: %u", stats.ps_recv,
                          stats.ps_drop);
    }
  }
  closeDevice(data->handle);
}

void TrafficCollector::closeDevice(pcap_t* handle) {
  boost::lock_guard<boost::mutex> lock(collectorMutex);
  LOG4CPLUS_INFO(logger(), "Closing capture device");
  auto it = std::find_if(devices.begin(), devices.end(),
                         [handle](const PcapHandle& device) { return device.get() == handle; });
  if (it != devices.end())
    devices.erase(it);  // closes it; the others keep their order
}

size_t TrafficCollector::openDeviceCount() const {
  boost::lock_guard<boost::mutex> lock(collectorMutex);
  return devices.size();
}

void TrafficCollector::startCollecting() {
  boost::lock_guard<boost::mutex> lock(stateMutex);
  if (started || stopRequested || collecting.load())
    return;
  platform::WorkerSignalMask mask;  // inherited by the supervisor and the capture threads it starts
  supervisor = boost::thread(&TrafficCollector::startCollectingInner, this);
  started = true;
}

void TrafficCollector::sleepBeforeRetry() {
  if (timing.sleep) {
    timing.sleep(timing.retryInterval);
  } else {
    boost::this_thread::sleep_for(timing.retryInterval);
  }
}

void TrafficCollector::startCollectingInner() {
  platform::nameThisThread("wendrel-super");
  try {
    boost::lock_guard<boost::mutex> collectorLock(collectorMutex);
    while (!initCaptureEngine()) {
      LOG4CPLUS_INFO(logger(), "Failed to initialize capture engine, waiting for retry...");
      sleepBeforeRetry();
    }
    LOG4CPLUS_DEBUG(logger(), "Starting capture");
    {
      boost::lock_guard<boost::mutex> lock(stateMutex);
      if (stopRequested) {
        devices.clear();  // nobody will read them
        return;
      }
      threads.clear();
      collecting.store(true);
    }

    // Taken before the threads start, so that none of them counts itself before the
    // baseline is read; the wait below releases it.
    boost::unique_lock<boost::mutex> readyLock(readyMutex);
    const uint32_t readyBefore = readyCount;
    for (size_t i = 0; i < devices.size(); ++i) {
      auto data = std::make_unique<InterfaceData>();
      data->handle = devices[i].get();
      data->index = static_cast<uint16_t>(i);
      try {
        threads.push_back(
            std::make_unique<boost::thread>(&TrafficCollector::interfaceHandler, this, data.get()));
        data.release();  // the capture thread owns it now
      } catch (const boost::thread_resource_error& e) {
        LOG4CPLUS_ERROR_FMT(logger(), "Failed to start capture thread for interface %d: %s",
                            static_cast<int>(i), e.what());
        devices.erase(devices.begin() + static_cast<std::ptrdiff_t>(i), devices.end());
        break;
      }
    }

    // Measured on the monotonic clock: setting the wall clock must not stretch the wait.
    const auto deadline = boost::chrono::steady_clock::now() + timing.readyTimeout;
    while (readyCount - readyBefore < devices.size()) {
      readyCondition.wait_until(readyLock, deadline);
      if (boost::chrono::steady_clock::now() >= deadline) {
        LOG4CPLUS_ERROR(logger(), "Timed out while waiting for capture threads to become ready");
        break;
      }
    }
  } catch (const boost::thread_interrupted&) {
    // stop() ends a supervisor that is still retrying or waiting; it takes over from here.
  }
}

void TrafficCollector::stop() {
  boost::lock_guard<boost::mutex> stopLock(stopMutex);
  {
    boost::lock_guard<boost::mutex> lock(stateMutex);
    if (!started || stopRequested)
      return;
    stopRequested = true;
    collecting.store(false);
  }
  supervisor.interrupt();
  supervisor.join();
  {
    // A capture thread closes its device under this lock, so every handle here is open.
    boost::lock_guard<boost::mutex> lock(collectorMutex);
    for (const PcapHandle& device : devices)
      pcap.breakloop(device.get());
  }
  for (const auto& thread : threads)
    thread->join();
}

}  // namespace wendrel
