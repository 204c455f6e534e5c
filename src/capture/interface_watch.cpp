// The supervisor's life after the start: each interface is followed by its own state, so that
// it is opened when it comes up, forgotten when it is gone, and retried only when its own state
// changes; counter samples fall due.
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <algorithm>
#include <map>
#include <set>

#include "collector_lock.h"
#include "traffic_collector.h"

namespace wendrel {
namespace {

log4cplus::Logger& logger() {
  static log4cplus::Logger instance = log4cplus::Logger::getInstance("TrafficLogger");
  return instance;
}

// After notifications were lost, more may follow in the same burst: the device list is read
// once the burst is over.
constexpr auto kResyncDelay = std::chrono::milliseconds(200);

}  // namespace

void TrafficCollector::noteLink(const LinkChange& change) {
  const auto now = std::chrono::steady_clock::now();
  if (change.kind == LinkChange::Kind::Vanished) {
    auto it = links.find(change.name);
    if (it == links.end() || it->second.ifIndex != change.ifIndex || !it->second.present)
      return;
    Link& link = it->second;
    link.present = false;
    link.goneAt = now;
    // A captured one says so as its capture ends; one never named is not worth a line now.
    if (link.status != Link::Status::Captured && link.named)
      LOG4CPLUS_INFO_FMT(logger(), "Interface %s is gone", change.name.c_str());
    return;
  }
  if (change.loopback)
    return;
  // A rename: the old name is gone, though the kernel says so only under the new one.
  for (auto& [name, other] : links) {
    if (other.present && other.ifIndex == change.ifIndex && name != change.name) {
      other.present = false;
      other.goneAt = now;
    }
  }
  if (!interfaces.selects(change.name))
    return;
  Link& link = links[change.name];
  // Anything else (promiscuity, which the agent itself toggles, addresses, counters) leaves
  // the interface as it was.
  if (link.status != Link::Status::Unseen && link.present && link.ifIndex == change.ifIndex &&
      link.usable == change.usable())
    return;
  link.present = true;
  link.ifIndex = change.ifIndex;
  link.usable = change.usable();
  evaluate(change.name, link);
}

void TrafficCollector::evaluate(const std::string& name, Link& link) {
  if (!link.present || link.status == Link::Status::Captured)
    return;  // a capture still ending comes back here when it has
  if (!link.usable) {
    // A link is made down and set up a moment later (every container start): only one known
    // before is worth a line.
    if (link.status == Link::Status::Unseen) {
      LOG4CPLUS_DEBUG_FMT(logger(), "Interface %s is down", name.c_str());
    } else if (link.status != Link::Status::Down) {
      LOG4CPLUS_INFO_FMT(logger(), "Interface %s is down, not capturing it until it is up",
                         name.c_str());
      link.named = true;
    }
    link.status = Link::Status::Down;
    return;
  }
  // Opened without the lock, so that captures already running go on closing and a device is
  // captured as soon as it is open, not when a batch is.
  std::vector<OpenedDevice> opened;
  const bool opens = opener.openOne(name, link.ifIndex, opened);
  link.named = link.named || opens || !opener.lastFailureWasState();
  if (!opens) {
    // Down or gone since the news: the next news of it decides.
    link.status = opener.lastFailureWasState() ? Link::Status::Down : Link::Status::Failed;
    return;
  }
  boost::lock_guard<boost::mutex> collectorLock(collectorMutex);
  const size_t from = devices.size();
  adopt(opened);
  if (devices.size() == from) {
    link.status = Link::Status::Failed;
    return;
  }
  link.status = Link::Status::Captured;
  link.openId = devices.back().openId;
  startThreads(from);
  boost::lock_guard<boost::mutex> lock(reasonMutex);
  agentAddress = opener.agentAddressText();
}

void TrafficCollector::reapEnded() {
  std::vector<Ended> done;
  {
    boost::lock_guard<boost::mutex> lock(endedMutex);
    done.swap(ended);
  }
  for (const Ended& e : done) {
    auto index = indexes.find(e.name);
    if (index != indexes.end()) {
      auto thread = threads.find(index->second);
      if (thread != threads.end()) {
        thread->second->join();  // it has left its last lock: this is prompt
        threads.erase(thread);
      }
    }
    auto it = links.find(e.name);
    if (!interfaces.selects(e.name)) {
      // Left out by a reload: forgotten, as one never chosen is; its index stays its own.
      boost::lock_guard<boost::mutex> lock(collectorMutex);
      dropped.erase(e.openId);
      if (it != links.end() && it->second.openId == e.openId)
        links.erase(it);
      continue;
    }
    if (it == links.end() || it->second.openId != e.openId ||
        it->second.status != Link::Status::Captured)
      continue;
    // A capture failure is retried only when the interface's state changes; one that went
    // down or away (its capture said so) is looked at again now, as it may be back already.
    it->second.status = e.failed ? Link::Status::Failed : Link::Status::Down;
    if (e.gone && it->second.ifIndex == e.ifIndex && it->second.present) {
      it->second.present = false;
      it->second.goneAt = std::chrono::steady_clock::now();
    }
    if (!e.failed)
      evaluate(it->first, it->second);
  }
}

void TrafficCollector::reconfigure(uint32_t rate, bool performanceMode,
                                   const CaptureOptions& options) {
  pending.put(Pending{rate, performanceMode, options});
  if (linkEvents != nullptr)
    linkEvents->wake();
}

void TrafficCollector::applyPending() {
  const std::optional<Pending> next = pending.take();
  if (!next)
    return;
  const CaptureOptions& o = next->options;
  const CaptureFilter sampling =
      buildFilter(next->samplingRate, next->performanceMode, o.method, o.ipv6);
  if (next->samplingRate != samplingRate || o.method != method || sampling != filter) {
    {
      boost::lock_guard<boost::mutex> lock(samplingMutex);
      samplingRate = next->samplingRate, method = o.method, filter = sampling;
      ++samplingGeneration;
    }
    // An idle capture waits in its read until broken out of it: it takes the change now too.
    boost::lock_guard<boost::mutex> lock(collectorMutex);
    for (const Device& device : devices)
      pcap.breakloop(device.handle.get());
  }
  if (o.counterIntervalS != counterIntervalS) {
    counterIntervalS = o.counterIntervalS;
    const auto now = CounterPoller::Clock::now();
    poller.restart(counterIntervalS, now);
    boost::lock_guard<boost::mutex> lock(collectorMutex);
    for (const Device& device : devices)
      poller.add(device.name, device.index, device.openId, now);
  }
  if (o.interfaces != interfaces) {
    interfaces = o.interfaces;
    {
      boost::lock_guard<boost::mutex> lock(collectorMutex);
      for (const Device& device : devices) {
        if (!interfaces.selects(device.name)) {
          LOG4CPLUS_INFO_FMT(logger(), "Interface %s is no longer chosen, ending its capture",
                             device.name.c_str());
          dropped.insert(device.openId);
          pcap.breakloop(device.handle.get());
        }
      }
    }
    resynchronise();  // opens those chosen now
  }
}

void TrafficCollector::releaseGone(std::chrono::steady_clock::time_point now) {
  const auto hold = std::chrono::milliseconds(timing.indexHold.count());
  for (auto it = links.begin(); it != links.end();) {
    const Link& link = it->second;
    if (link.present || link.status == Link::Status::Captured || now - link.goneAt < hold) {
      ++it;
      continue;
    }
    auto index = indexes.find(it->first);
    if (index != indexes.end() && threads.count(index->second) != 0) {
      ++it;  // its capture thread is not joined yet
      continue;
    }
    if (index != indexes.end()) {
      freeIndexes.push_back(index->second);
      std::push_heap(freeIndexes.begin(), freeIndexes.end(), std::greater<>());
      indexes.erase(index);
    }
    it = links.erase(it);
  }
}

void TrafficCollector::resynchronise() {
  std::vector<LinkChange> now;
  if (!opener.enumerate(now))
    return;
  std::set<std::string> listed;
  for (LinkChange& change : now) {
    listed.insert(change.name);
    noteLink(change);
  }
  std::vector<LinkChange> gone;
  for (const auto& [name, link] : links) {
    if (link.present && listed.count(name) == 0) {
      LinkChange change;
      change.kind = LinkChange::Kind::Vanished;
      change.name = name;
      change.ifIndex = link.ifIndex;
      gone.push_back(change);
    }
  }
  for (const LinkChange& change : gone)
    noteLink(change);
}

// Link changes wake it at once, an ended capture too, counters when due, and a quiet second at
// the latest, so that a stop is seen promptly even without wake().
void TrafficCollector::watch() {
  if (linkEvents == nullptr && !poller.enabled())
    return;
  using Steady = std::chrono::steady_clock;
  Steady::time_point resyncAt{};
  while (collecting.load() && supervising.load()) {
    int timeoutMs = poller.msUntilDue(CounterPoller::Clock::now(), 1000);
    if (resyncAt != Steady::time_point{})
      timeoutMs = std::min(timeoutMs, int(kResyncDelay.count()));
    if (linkEvents != nullptr) {
      LinkChanges changes = linkEvents->wait(timeoutMs, -1);
      if (!collecting.load() || !supervising.load())
        break;
      if (changes.lost && resyncAt == Steady::time_point{})
        resyncAt = Steady::now() + kResyncDelay;
      for (const LinkChange& change : changes.changes)
        noteLink(change);
      if (resyncAt != Steady::time_point{} && Steady::now() >= resyncAt) {
        resyncAt = {};
        resynchronise();
      }
    } else {
      boost::this_thread::sleep_for(boost::chrono::milliseconds(timeoutMs));
    }
    if (!collecting.load() || !supervising.load())
      break;
    reapEnded();
    applyPending();
    const auto now = Steady::now();
    releaseGone(now);
    opener.summarise(now);
    poller.poll(CounterPoller::Clock::now(), [this](uint64_t openId) {
      boost::lock_guard<boost::mutex> lock(collectorMutex);
      return std::any_of(devices.begin(), devices.end(),
                         [openId](const Device& d) { return d.openId == openId; });
    });
  }
}

}  // namespace wendrel
