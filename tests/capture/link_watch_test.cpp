// The supervisor after the start, on a scripted libpcap and scripted link events: lost
// notifications mean a new enumeration, an interface already open is not opened again, and
// stop wakes the wait at once.
#include <gtest/gtest.h>

#include <deque>

#include "../sflow/sflow_fakes.h"
#include "capture_fakes.h"
#include "log_capture.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

struct FakeLinkEvents : LinkEvents {
  LinkChanges wait(int timeoutMs) override {
    std::unique_lock<std::mutex> lock(mutex);
    ready.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                   [&] { return woken || !queue.empty(); });
    woken = false;
    if (queue.empty())
      return {};
    LinkChanges next = queue.front();
    queue.pop_front();
    return next;
  }
  void wake() override { push({}, true); }
  void push(LinkChanges changes, bool wakeOnly = false) {
    std::lock_guard<std::mutex> lock(mutex);
    if (wakeOnly)
      woken = true;
    else
      queue.push_back(std::move(changes));
    ready.notify_all();
  }
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<LinkChanges> queue;
  bool woken = false;
};

TEST(LinkWatch, LostChangesEnumerateAgainAndOpenInterfacesStayAsTheyAre) {
  LogCapture log{"TrafficLogger"};
  ReporterRig rig;
  FakePcap pcap;
  FakeLinkEvents events;
  pcap.devices.reserve(2);  // capture threads hold references into it
  pcap.devices.push_back({"eth0", ""});
  CaptureOptions options;
  options.linkEvents = &events;
  TrafficCollector collector(128, &rig.reporter, 2097152, 32, true, pcap, options);
  collector.startCollecting();
  ASSERT_TRUE(
      waitFor([&] { return log.contains(log4cplus::DEBUG_LOG_LEVEL, "Starting capture"); }));
  pcap.devices.push_back({"eth1", ""});  // the supervisor reads it after the next change
  events.push({{{LinkChange::Kind::Present, "eth0", 1, true, true}}, false});
  events.push({{}, true});
  EXPECT_TRUE(waitFor([&] {
    return log.contains(log4cplus::INFO_LOG_LEVEL, "Device eth1 initialized successfully");
  }));
  EXPECT_LT(millisecondsOf([&] { collector.stop(); }), 500);
  EXPECT_EQ(1, pcap.devices[0].created);
  EXPECT_EQ(1, pcap.devices[0].closed);
  EXPECT_EQ(1, pcap.devices[1].closed);
}

}  // namespace
}  // namespace wendrel::test
