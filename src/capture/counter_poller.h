// The counter samples: every interval, for each open interface, the kernel's counters go to
// the reporter as one counter sample. Each interface starts at a random offset within the
// interval, so that many interfaces and hosts do not report in step. Runs on the supervisor
// thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "host_statistics.h"
#include "interface_statistics.h"

namespace wendrel {

class PacketReporter;

class CounterPoller {
 public:
  using Clock = std::chrono::steady_clock;

  // `intervalS` 0 sends nothing. `statistics` may be null (then nothing is sent either);
  // both it and `reporter` must outlive the poller.
  CounterPoller(InterfaceStatistics* statistics, PacketReporter& reporter, uint32_t intervalS);

  bool enabled() const {
    return (statistics != nullptr || host != nullptr) && interval.count() > 0;
  }
  // Sends the host's counters too, every interval from a random offset; `hostStatistics`
  // must outlive the poller.
  void addHost(HostStatistics* hostStatistics, Clock::time_point now);
  // Starts polling the interface `name` (its opening `openId`) under `sourceIndex`.
  void add(const std::string& name, uint16_t sourceIndex, uint64_t openId, Clock::time_point now);
  // Milliseconds until the next sample is due (at most `limitMs`).
  int msUntilDue(Clock::time_point now, int limitMs) const;
  // Sends the samples due by `now`. `isOpen` tells whether an opening is still open; a closed
  // interface is dropped from the schedule.
  void poll(Clock::time_point now, const std::function<bool(uint64_t)>& isOpen);

 private:
  struct Entry {
    std::string name;
    uint16_t sourceIndex;
    uint64_t openId;  // which opening of the interface
    Clock::time_point due;
  };

  // The host's sample: its counters and the captured interfaces as its adapters.
  void sendHost(const std::function<bool(uint64_t)>& isOpen);

  InterfaceStatistics* statistics;
  HostStatistics* host = nullptr;
  Clock::time_point hostDue;
  PacketReporter& reporter;
  std::chrono::milliseconds interval;
  std::vector<Entry> entries;
  std::mt19937 random{std::random_device{}()};
};

}  // namespace wendrel
