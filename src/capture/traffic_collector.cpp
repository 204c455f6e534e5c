#include "traffic_collector.h"

#include "threads.h"

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <algorithm>
#include <boost/chrono/system_clocks.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/lock_guard.hpp>
#include <cstdio>

namespace wendrel {

namespace {

// Shared by the supervisor and every capture thread of the process. Lock order:
// collectorMutex before readyMutex; capture threads take either alone.
boost::mutex collectorMutex;
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
                                   uint32_t rate, bool performance)
    : TrafficCollector(snap, sampleReporter, buffer, rate, performance, LivePcap::instance(),
                       CaptureOptions{}) {}

TrafficCollector::TrafficCollector(uint16_t snap, PacketReporter* sampleReporter, int32_t buffer,
                                   uint32_t rate, bool performance, PcapApi& pcapApi,
                                   CaptureOptions options)
    : reporter(sampleReporter),
      samplingRate(rate),
      filter(buildFilter(rate, performance)),
      pcap(pcapApi),
      timing(std::move(options.timing)),
      linkEvents(options.linkEvents),
      statistics(options.statistics),
      sourceId(options.sourceId),
      opener(pcapApi, *sampleReporter, snap, buffer, filter.text),
      poller(options.statistics, *sampleReporter, options.counterIntervalS) {}

TrafficCollector::~TrafficCollector() {
  stop();
}

bool TrafficCollector::initCaptureEngine() {
  devices.clear();
  std::vector<OpenedDevice> opened;
  if (!opener.openAll(opened))
    return false;
  adopt(opened);
  return true;
}

void TrafficCollector::adopt(std::vector<OpenedDevice>& opened) {
  for (OpenedDevice& device : opened) {
    // A name keeps its index through the run; a new one takes the next.
    auto index = indexes.find(device.name);
    if (index == indexes.end()) {
      if (indexes.size() > kMaxIndex) {
        LOG4CPLUS_WARN_FMT(logger(), "Too many interfaces, not capturing %s", device.name.c_str());
        continue;
      }
      index = indexes.emplace(device.name, static_cast<uint16_t>(indexes.size())).first;
    }
    Device d;
    static_cast<OpenedDevice&>(d) = std::move(device);
    d.index = index->second;
    d.openId = ++openings;
    // The kernel's index is 32 bits; an sFlow source id has 24 below its type byte.
    reporter->registerSource(d.index,
                             sourceId == SourceIdKind::IfIndex ? d.ifIndex & 0xFFFFFF : d.index);
    devices.push_back(std::move(d));
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
    state.step = filter.step;
    state.sourceIndex = data->index;
    state.direction = data->direction;
    state.ifIndex = data->ifIndex;
    state.macAddress = data->macAddress;
    // An idle Linux device does not return at its read timeout; stop() ends the wait with
    // pcap_breakloop after clearing `collecting`.
    while (collecting.load() && last >= 0) {
      last = pcap.dispatch(data->handle, -1, &packetHandler, reinterpret_cast<u_char*>(&state));
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
                         [handle](const Device& device) { return device.handle.get() == handle; });
  if (it != devices.end())
    devices.erase(it);  // closes it; the others keep their order
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
    data->index = device.index;
    data->ifIndex = device.ifIndex;
    data->direction = sourceId == SourceIdKind::IfIndex;
    if (data->direction && statistics != nullptr) {
      if (const auto counters = statistics->read(device.name))
        data->macAddress = counters->macAddress;
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

bool TrafficCollector::isOpen(const std::string& name, unsigned ifIndex) const {
  return std::any_of(devices.begin(), devices.end(), [&](const Device& d) {
    return d.name == name && (ifIndex == 0 || d.ifIndex == ifIndex);
  });
}

void TrafficCollector::openNew() {
  std::vector<OpenedDevice> opened;
  if (!opener.openAll(opened, [this](const std::string& name) { return isOpen(name); }))
    return;
  const size_t from = devices.size();
  adopt(opened);
  startThreads(from);
}

// The supervisor's life after the start: an interface that appears (or comes back) is opened
// as at the start; the counter samples fall due. Link changes wake it at once, counters when
// due, and a quiet second at the latest, so that a stop is seen promptly even without wake().
void TrafficCollector::watch() {
  if (linkEvents == nullptr && !poller.enabled())
    return;
  // Names that appeared and are not captured yet. One whose old device has not closed yet
  // (deleted and created again at once) waits here until it has.
  std::map<std::string, unsigned> appeared;
  bool lost = false;
  while (collecting.load()) {
    const int timeoutMs = poller.msUntilDue(CounterPoller::Clock::now(), 1000);
    if (linkEvents != nullptr) {
      LinkChanges changes = linkEvents->wait(timeoutMs);
      lost = lost || changes.lost;
      for (const LinkChange& change : changes.changes) {
        if (change.kind == LinkChange::Kind::Present)
          appeared[change.name] = change.ifIndex;
        else
          appeared.erase(change.name);
      }
    } else {
      boost::this_thread::sleep_for(boost::chrono::milliseconds(timeoutMs));
    }
    if (!collecting.load())
      break;
    {
      boost::lock_guard<boost::mutex> collectorLock(collectorMutex);
      bool open = lost;
      for (auto it = appeared.begin(); it != appeared.end();) {
        if (isOpen(it->first, it->second)) {
          it = appeared.erase(it);  // captured already
        } else if (!isOpen(it->first)) {
          open = true;
          it = appeared.erase(it);  // tried now; a failure is logged and not retried
        } else {
          ++it;
        }
      }
      if (open)
        openNew();
      lost = false;
    }
    poller.poll(CounterPoller::Clock::now(), [this](uint64_t openId) {
      boost::lock_guard<boost::mutex> lock(collectorMutex);
      return std::any_of(devices.begin(), devices.end(),
                         [openId](const Device& d) { return d.openId == openId; });
    });
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
  if (linkEvents != nullptr)
    linkEvents->wake();
  supervisor.join();
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
