// The supervisor's life after the start: interfaces that appear are opened, counter samples
// fall due.
#include <algorithm>
#include <map>

#include "collector_lock.h"
#include "traffic_collector.h"

namespace wendrel {

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
  boost::lock_guard<boost::mutex> lock(reasonMutex);
  agentAddress = opener.agentAddressText();
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
  while (collecting.load() && supervising.load()) {
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
    if (!collecting.load() || !supervising.load())
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

}  // namespace wendrel
