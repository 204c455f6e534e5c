#include "counter_poller.h"

#include <algorithm>
#include <set>

#include "packet_reporter.h"

namespace wendrel {

CounterPoller::CounterPoller(InterfaceStatistics* stats, PacketReporter& sampleReporter,
                             uint32_t intervalS)
    : statistics(stats), reporter(sampleReporter), interval(std::chrono::seconds(intervalS)) {}

void CounterPoller::addHost(HostStatistics* hostStatistics, Clock::time_point now) {
  host = hostStatistics;
  if (!enabled() || host == nullptr)
    return;
  std::uniform_int_distribution<long long> offset(0, interval.count() - 1);
  hostDue = now + std::chrono::milliseconds(offset(random));
}

void CounterPoller::add(const std::string& name, uint16_t sourceIndex, uint64_t openId,
                        Clock::time_point now) {
  if (!enabled() || statistics == nullptr)
    return;
  std::uniform_int_distribution<long long> offset(0, interval.count() - 1);
  entries.push_back({name, sourceIndex, openId, now + std::chrono::milliseconds(offset(random))});
}

int CounterPoller::msUntilDue(Clock::time_point now, int limitMs) const {
  auto until = std::chrono::milliseconds(limitMs);
  if (host != nullptr && enabled())
    until = std::min(until, std::chrono::duration_cast<std::chrono::milliseconds>(hostDue - now));
  for (const Entry& e : entries)
    until = std::min(until, std::chrono::duration_cast<std::chrono::milliseconds>(e.due - now));
  return static_cast<int>(std::max<long long>(until.count(), 0));
}

void CounterPoller::sendHost(const std::function<bool(uint64_t)>& isOpen) {
  HostCounters counters = host->read();
  std::set<std::string> named;
  for (const Entry& e : entries) {
    if (statistics == nullptr || !named.insert(e.name).second || !isOpen(e.openId))
      continue;
    if (const auto c = statistics->read(e.name)) {
      HostAdapter& adapter = counters.adapters.emplace_back();
      adapter.ifIndex = c->ifIndex;
      if (c->macAddress != std::array<uint8_t, 6>{})
        adapter.macs.push_back(c->macAddress);
    }
  }
  uint8_t records[kMaxHostRecordBytes];
  uint32_t count = 0;
  const size_t length = writeHostRecords(counters, records, count);
  reporter.addHostCounters(records, length, count);
}

void CounterPoller::poll(Clock::time_point now, const std::function<bool(uint64_t)>& isOpen) {
  if (host != nullptr && enabled() && hostDue <= now) {
    sendHost(isOpen);
    hostDue += interval;
    if (hostDue <= now)
      hostDue = now + interval;
  }
  for (auto e = entries.begin(); e != entries.end();) {
    if (e->due > now) {
      ++e;
    } else if (!isOpen(e->openId)) {
      e = entries.erase(e);
    } else {
      if (const auto counters = statistics->read(e->name)) {
        CounterSample sample = *counters;
        sample.name = counters->portName.c_str();
        sample.nameLength = counters->portName.size();
        reporter.addCounters(e->sourceIndex, sample);
      }
      // After a stall the schedule moves on rather than catching up with a burst.
      e->due += interval;
      if (e->due <= now)
        e->due = now + interval;
      ++e;
    }
  }
}

}  // namespace wendrel
