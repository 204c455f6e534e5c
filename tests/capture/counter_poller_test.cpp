// The counter samples' schedule, on a clock the test steps: each interface once an interval
// from a random phase, no burst after a stall, none after its device closed.
#include "counter_poller.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "../sflow/sflow_fakes.h"
#include "capture_fakes.h"
#include "test_util.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

using namespace std::chrono_literals;

struct FakeStatistics : InterfaceStatistics {
  std::optional<InterfaceCounters> read(const std::string& name) override {
    if (name == "gone")
      return std::nullopt;
    InterfaceCounters c;
    c.portName = name;
    return c;
  }
};

TEST(CounterPoller, OnceAnIntervalFromARandomPhaseWithoutCatchingUpAfterAStall) {
  ReporterRig rig;
  FakeStatistics statistics;
  CounterPoller poller(&statistics, rig.reporter, 10);
  const auto t0 = CounterPoller::Clock::now();
  std::set<uint64_t> open;
  int firstWait = 0;
  for (uint16_t i = 0; i < 20; ++i) {
    if (i == 19)
      firstWait = poller.msUntilDue(t0, 20000);
    poller.add(i == 19 ? "gone" : "eth" + std::to_string(i), i, 100 + i, t0), open.insert(100 + i);
  }
  const auto isOpen = [&](uint64_t id) { return open.count(id) > 0; };
  // source -> the times (in 100 ms steps) of its samples
  std::map<uint32_t, std::vector<long>> at;
  const auto run = [&](long from, long to) {  // polls every step, as the supervisor does
    for (long step = from; step < to; ++step) {
      const auto now = t0 + step * 100ms;
      const int wait = poller.msUntilDue(now, 1000);
      EXPECT_TRUE(wait >= 0 && wait <= 1000) << wait;
      poller.poll(now, isOpen);
      for (const DecodedDatagram& d : rig.datagrams(true))
        for (const DecodedCounters& c : d.counters) {
          at[c.sourceId].push_back(step);
          EXPECT_EQ("eth" + std::to_string(c.sourceId), c.name);
        }
    }
  };
  run(0, 301);
  std::set<long> phases;
  for (uint32_t source = 0; source < 19; ++source) {
    const std::vector<long>& times = at[source];
    ASSERT_EQ(times[0] == 0 ? 4u : 3u, times.size()) << source;  // at its phase, then every 10 s
    EXPECT_LE(times[0], 100);
    EXPECT_EQ((std::vector<long>{times[0] + 100, times[0] + 200}),
              (std::vector<long>{times[1], times[2]}));
    phases.insert(times[0]);
  }
  EXPECT_LT(5u, phases.size()) << "the interfaces do not report in step";
  // The supervisor sleeps until the earliest one is due.
  EXPECT_TRUE(firstWait > (*phases.begin() - 1) * 100 && firstWait <= *phases.begin() * 100)
      << firstWait;
  EXPECT_EQ(0u, at.count(19));  // unreadable: nothing sent, and nothing else held up
  at.clear();
  open.erase(100);                                   // eth0's device closed
  EXPECT_EQ(0, poller.msUntilDue(t0 + 900s, 1000));  // all overdue
  run(9000, 9001);                                   // after a stall: one sample each
  run(9001, 9100);                                   // and none until an interval later
  EXPECT_EQ(18u, at.size());
  EXPECT_EQ(0u, at.count(0));
  for (const auto& [source, times] : at)
    EXPECT_EQ(std::vector<long>{9000}, times) << source;
  CounterPoller off(&statistics, rig.reporter, 0), none(nullptr, rig.reporter, 10);
  EXPECT_FALSE(off.enabled() || none.enabled());
}

// Without link events the supervisor still wakes for each counter sample.
TEST(CounterPoller, SamplesComeEveryIntervalWithoutLinkEvents) {
  ReporterRig rig;
  FakeStatistics statistics;
  FakePcap pcap;
  pcap.devices = {{"eth0", ""}};
  CaptureOptions options;
  options.statistics = &statistics, options.counterIntervalS = 1;
  TrafficCollector collector(128, &rig.reporter, 2097152, 32, true, pcap, options);
  collector.startCollecting();
  size_t counters = 0;
  EXPECT_TRUE(waitFor(
      [&] {
        for (const DecodedDatagram& d : rig.datagrams(true))
          counters += d.counters.size();
        return counters >= 2;
      },
      Millis(3000)));
}

}  // namespace
}  // namespace wendrel::test
