#include "traffic_collector.h"

#include "collector_lock.h"
#include "worker_threads.h"

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <algorithm>
#include <boost/chrono/system_clocks.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/lock_guard.hpp>
#include <cstdio>
#include <cstring>
#include <random>

namespace wendrel {

// Lock order: collectorMutex before readyMutex; capture threads take either alone.
boost::mutex collectorMutex;

namespace {

boost::mutex readyMutex;
boost::condition_variable readyCondition;
uint32_t readyCount = 0;  // guarded by readyMutex; only ever grows

// Source indexes are 16 bits wide.
constexpr size_t kMaxIndex = 0xFFFF;

log4cplus::Logger& logger() {
  static log4cplus::Logger instance = log4cplus::Logger::getInstance("TrafficLogger");
  return instance;
}

}  // namespace

TrafficCollector::TrafficCollector(uint16_t snap, PacketReporter* sampleReporter, int32_t buffer,
                                   uint32_t rate, bool performance, PcapApi& pcapApi,
                                   CaptureOptions options)
    : reporter(sampleReporter),
      samplingRate(rate),
      method(options.method),
      filter(buildFilter(rate, performance, options.method, options.ipv6)),
      pcap(pcapApi),
      timing(std::move(options.timing)),
      linkEvents(options.linkEvents),
      kernelCounters(options.statistics),
      sourceId(options.sourceId),
      opener(pcapApi, *sampleReporter, snap, buffer, filter),
      poller(options.statistics, *sampleReporter, options.counterIntervalS) {
  opener.setAgentAddressRule(options.agentAddress);
  poller.addHost(options.host, CounterPoller::Clock::now());
}

TrafficCollector::~TrafficCollector() {
  stop();
}

bool TrafficCollector::initCaptureEngine() {
  devices.clear();
  std::vector<OpenedDevice> opened;
  // Every interface listed is known from here on; a down one is not tried until it is up.
  const auto skip = [this](const LinkChange& change) {
    Link& link = links[change.name];
    link.ifIndex = change.ifIndex;
    link.usable = change.usable();
    link.status = Link::Status::Failed;  // unless it opens
    link.named = link.usable;            // captured, or not and why
    if (link.usable)
      return false;
    evaluate(change.name, link);
    return true;
  };
  if (!opener.openAll(opened, skip))
    return false;
  adopt(opened);
  for (const Device& device : devices) {
    Link& link = links[device.name];
    link.status = Link::Status::Captured;
    link.openId = device.openId;
  }
  return true;
}

void TrafficCollector::adopt(std::vector<OpenedDevice>& opened) {
  for (OpenedDevice& device : opened) {
    // A name keeps its index while it exists and for a while after; a new one takes the
    // lowest free.
    auto index = indexes.find(device.name);
    if (index == indexes.end()) {
      uint32_t free = nextIndex;
      if (!freeIndexes.empty()) {
        std::pop_heap(freeIndexes.begin(), freeIndexes.end(), std::greater<>());
        free = freeIndexes.back();
        freeIndexes.pop_back();
      } else if (nextIndex > kMaxIndex) {
        LOG4CPLUS_WARN_FMT(logger(), "Too many interfaces, not capturing %s", device.name.c_str());
        continue;
      } else {
        ++nextIndex;
      }
      index = indexes.emplace(device.name, static_cast<uint16_t>(free)).first;
    }
    Device d;
    static_cast<OpenedDevice&>(d) = std::move(device);
    d.index = index->second;
    d.openId = ++openings;
    // An index over 24 bits makes the reporter use the expanded sample forms.
    reporter->registerSource(d.index, sourceId == SourceIdKind::IfIndex ? d.ifIndex : d.index,
                             d.ifIndex);
    devices.push_back(std::move(d));
  }
}

void TrafficCollector::interfaceHandler(InterfaceData* raw) {
  const std::unique_ptr<InterfaceData> data(raw);  // this thread owns its record
  char name[24];
  SamplingState& state = data->state;
  std::snprintf(name, sizeof name, "wendrel-cap%u", static_cast<unsigned>(state.sourceIndex));
  platform::nameThisThread(name);
  ++interfacesOpen;
  {
    boost::lock_guard<boost::mutex> lock(readyMutex);
    ++readyCount;
    readyCondition.notify_one();
  }

  int last = 0;
  auto* user = reinterpret_cast<u_char*>(&state);
  // An idle Linux device does not return at its read timeout; stop() ends the wait with
  // pcap_breakloop after clearing `collecting`.
  uint32_t lastDrops = 0;
  while (collecting.load() && last >= 0) {
    last = pcap.dispatch(data->handle, -1, &packetHandler, user);
    countBatch(data->handle, last, state, lastDrops);
  }
  if (last >= 0 || last == PCAP_ERROR_BREAK) {
    // What the kernel has handed over but nobody read yet still goes out.
    char errbuf[PCAP_ERRBUF_SIZE];
    if (pcap.setNonblock(data->handle, 1, errbuf) == 0)
      countBatch(data->handle, pcap.dispatch(data->handle, -1, &packetHandler, user), state,
                 lastDrops);
  }
  --interfacesOpen;
  const int index = state.sourceIndex;
  // An interface that went down, away or was renamed ends its capture in the ordinary course
  // of a host's life (every container stop): one line naming it, and no error.
  const bool vanished =
      last == -1 && (std::strcmp(pcap.geterr(data->handle), "The interface disappeared") == 0 ||
                     pcap.interfaceIndex(data->name.c_str()) != data->ifIndex);
  const std::string now = vanished ? pcap.interfaceName(data->ifIndex) : data->name;
  if (vanished) {
    LOG4CPLUS_DEBUG_FMT(logger(), "Stopped collecting on interface %d", index);
    if (now.empty()) {
      LOG4CPLUS_INFO_FMT(logger(), "Interface %s is gone, capture with index %d ended",
                         data->name.c_str(), index);
    } else if (now != data->name) {
      LOG4CPLUS_INFO_FMT(logger(), "Interface %s was renamed %s, capture with index %d ended",
                         data->name.c_str(), now.c_str(), index);
    } else {
      LOG4CPLUS_INFO_FMT(logger(), "Interface %s went down, capture with index %d ended",
                         data->name.c_str(), index);
    }
  } else {
    LOG4CPLUS_INFO_FMT(logger(), "Stopped collecting on interface %d", index);
  }
  if (vanished) {
    // nothing to add: the device is gone, and its statistics with it
  } else if (last == -1) {
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
  closeDevice(data->handle, vanished);
  {
    boost::lock_guard<boost::mutex> lock(endedMutex);
    ended.push_back({data->name, data->openId, data->ifIndex, !vanished && collecting.load(),
                     now != data->name});
  }
  if (linkEvents != nullptr)
    linkEvents->wake();  // the supervisor joins this thread and looks at the interface again
}

void TrafficCollector::countBatch(pcap_t* handle, int packets, SamplingState& state,
                                  uint32_t& lastDrops) {
  if (packets > 0)
    packetsSeen.fetch_add(static_cast<uint64_t>(packets), std::memory_order_relaxed);
  pcap_stat stats{};
  if (pcap.stats(handle, &stats) != 0)
    return;
  // The samples carry the interface's own running total; the figures add up every
  // interface's. The kernel's count is 32 bits and may wrap: the difference is right across it.
  state.drops = stats.ps_drop;
  kernelDrops.fetch_add(stats.ps_drop - lastDrops, std::memory_order_relaxed);
  lastDrops = stats.ps_drop;
}

void TrafficCollector::noteOpenAttempt() {
  {
    boost::lock_guard<boost::mutex> lock(reasonMutex);
    noInterfaceReason = opener.failureReason();
    agentAddress = opener.agentAddressText();
  }
  triedOpening = true;
}

CaptureStatistics TrafficCollector::statistics() const {
  CaptureStatistics result;
  result.interfaces = interfacesOpen.load();
  result.packetsSeen = packetsSeen.load(std::memory_order_relaxed);
  result.kernelDrops = kernelDrops.load(std::memory_order_relaxed);
  result.tried = triedOpening.load();
  boost::lock_guard<boost::mutex> lock(reasonMutex);
  result.noInterfaceReason = noInterfaceReason;
  result.agentAddress = agentAddress;
  return result;
}

void TrafficCollector::closeDevice(pcap_t* handle, bool quietly) {
  PcapHandle closing;
  {
    boost::lock_guard<boost::mutex> lock(collectorMutex);
    if (quietly) {
      LOG4CPLUS_DEBUG(logger(), "Closing capture device");
    } else {
      LOG4CPLUS_INFO(logger(), "Closing capture device");
    }
    auto it = std::find_if(devices.begin(), devices.end(), [handle](const Device& device) {
      return device.handle.get() == handle;
    });
    if (it != devices.end()) {
      closing = std::move(it->handle);
      devices.erase(it);  // the others keep their order
    }
  }
  // Closing a packet socket waits for the kernel's grace period: outside the lock, so that
  // devices close side by side and a stop of many takes about as long as one.
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
    {
      boost::lock_guard<boost::mutex> collectorLock(collectorMutex);
      while (!initCaptureEngine()) {
        LOG4CPLUS_INFO(logger(), "Failed to initialize capture engine, waiting for retry...");
        noteOpenAttempt();
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
      startThreads(0);

      // Measured on the monotonic clock: setting the wall clock must not stretch the wait.
      const auto deadline = boost::chrono::steady_clock::now() + timing.readyTimeout;
      while (readyCount - readyBefore < devices.size()) {
        readyCondition.wait_until(readyLock, deadline);
        if (boost::chrono::steady_clock::now() >= deadline) {
          LOG4CPLUS_ERROR(logger(), "Timed out while waiting for capture threads to become ready");
          break;
        }
      }
    }
    noteOpenAttempt();
    watch();
  } catch (const boost::thread_interrupted&) {
    // stop() ends a supervisor that is still retrying or waiting; it takes over from here.
  }
}

void TrafficCollector::startThreads(size_t from) {
  for (size_t i = from; i < devices.size(); ++i) {
    Device& device = devices[i];
    auto data = std::make_unique<InterfaceData>();
    data->handle = device.handle.get();
    data->name = device.name;
    data->ifIndex = device.ifIndex;
    data->openId = device.openId;
    SamplingState& state = data->state;
    state.reporter = reporter;
    state.samplingRate = samplingRate;
    state.sourceIndex = device.index;
    // A device whose kernel refused the selection program chooses every packet here, at random.
    const bool userSpace = device.userSpace;
    state.step = userSpace ? 1 : filter.step;
    if (method == SamplingMethod::kRandom || userSpace)
      chooseAtRandom(state, (uint64_t{std::random_device{}()} << 32) ^ std::random_device{}());
    state.direction = sourceId == SourceIdKind::IfIndex;
    state.ifIndex = device.ifIndex;
    if (state.direction && kernelCounters != nullptr) {
      if (const auto counters = kernelCounters->read(device.name))
        state.macAddress = counters->macAddress;
    }
    poller.add(device.name, device.index, device.openId, CounterPoller::Clock::now());
    std::unique_ptr<boost::thread>& thread = threads[device.index];
    if (thread)
      thread->join();  // its device has closed: it is ending, if not gone
    try {
      thread =
          std::make_unique<boost::thread>(&TrafficCollector::interfaceHandler, this, data.get());
      data.release();  // the capture thread owns it now
    } catch (const boost::thread_resource_error& e) {
      LOG4CPLUS_ERROR_FMT(logger(), "Failed to start capture thread for interface %d: %s",
                          static_cast<int>(device.index), e.what());
      devices.erase(devices.begin() + static_cast<std::ptrdiff_t>(i), devices.end());
      break;
    }
  }
}

void TrafficCollector::stop() {
  boost::lock_guard<boost::mutex> stopLock(stopMutex);
  {
    boost::lock_guard<boost::mutex> lock(stateMutex);
    if (!started || stopRequested)
      return;
    stopRequested = true;
  }
  supervising.store(false);
  supervisor.interrupt();
  if (linkEvents != nullptr)
    linkEvents->wake();
  supervisor.join();
  if (collecting.load()) {
    // Capture ends here: the kernel takes no more packets, and the capture threads read on
    // until it has handed over the ring blocks it partly filled, so that every packet the
    // statistics count is read.
    {
      boost::lock_guard<boost::mutex> lock(collectorMutex);
      bpf_insn dropAll{BPF_RET | BPF_K, 0, 0, 0};
      const bpf_program program{1, &dropAll};
      for (const Device& device : devices)
        pcap.attachKernelFilter(device.handle.get(), &program);
    }
    boost::this_thread::sleep_for(timing.drainPeriod);
  }
  collecting.store(false);
  {
    // A capture thread closes its device under this lock, so every handle here is open.
    boost::lock_guard<boost::mutex> lock(collectorMutex);
    for (const Device& device : devices)
      pcap.breakloop(device.handle.get());
  }
  for (const auto& thread : threads)
    thread.second->join();
}

}  // namespace wendrel
