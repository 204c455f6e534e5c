// Device opening and its repeated failures, the agent address, the supervisor, the capture
// threads, the counter samples' schedule, the figures and stop, on a scripted libpcap and
// scripted link events; and the descriptors the service unit allows.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <boost/thread/thread.hpp>
#include <cmath>
#include <filesystem>
#include <tuple>

#include "../sflow/sflow_fakes.h"
#include "capture_fakes.h"
#include "counter_poller.h"
#include "device_opener.h"
#include "log_capture.h"
#include "test_util.h"
#include "traffic_collector.h"
#include "unit_file.h"

namespace wendrel::test {
namespace {

using namespace std::chrono_literals;

// Whether the threads named `names` all exist and block SIGTERM and SIGINT.
bool blockSignals(std::set<std::string> names) {
  const unsigned long long blocked = 1ull << (SIGTERM - 1) | 1ull << (SIGINT - 1);
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    const std::string status = readFile(task.path() / "status");  // "Name:\t<name>\n" first
    const size_t mask = status.find("SigBlk:");
    if (mask != std::string::npos &&
        (std::stoull(status.substr(mask + 7), nullptr, 16) & blocked) == blocked)
      names.erase(status.substr(6, status.find('\n') - 6));
  }
  return names.empty();
}

struct FakeStatistics : InterfaceStatistics {  // every interface's counters but "gone"'s
  std::optional<InterfaceCounters> read(const std::string& name) override {
    InterfaceCounters c;
    c.portName = name;
    return name == "gone" ? std::nullopt : std::optional(c);
  }
};

// The fixture plays the kernel's link events too.
struct CaptureEngineTest : ::testing::Test, LinkEvents {
  LinkChanges wait(int timeoutMs, int) override {
    std::unique_lock<std::mutex> lock(mutex);
    ready.wait_for(lock, Millis(timeoutMs), [&] { return std::exchange(woken, false); });
    return std::exchange(next, {});
  }
  void wake() override { push({}); }
  void push(const LinkChanges& more) {
    std::lock_guard<std::mutex> lock(mutex);
    next.changes.insert(next.changes.end(), more.changes.begin(), more.changes.end());
    next.lost |= more.lost, woken = true;
    ready.notify_all();
  }
  std::mutex mutex;
  std::condition_variable ready;
  LinkChanges next;
  bool woken = false;
  ReporterRig rig;
  FakePcap pcap;
  FakeStatistics counters;
  CaptureOptions options;
};

// After two failed enumerations (30 s pauses, counted), the Ethernet devices that open and take
// the filter are captured, promiscuous where they allow it; the agent address is the last
// qualifying one of the first device with one. Every capture thread runs though the ready wait
// (0 ms) timed out, counter samples wake the supervisor without link events, and stop ends all
// promptly; the kernel's drops are counted once per device, however many reads there were.
TEST_F(CaptureEngineTest, OpensTheEthernetDevicesCapturesOnEachAndStopsPromptly) {
  pcap.devices = {{"any", ""},
                  {"loop0", "loopback"},
                  {"nflog", "noif"},
                  {"wlan0", "wifi", "10.7.7.7/255.0.0.0"},
                  {"eth0", "",
                   "10.1.1.3/255.255.0.0 fe80::1/ffff:: 10.1.1.4/255.0.0.0 127.0.0.1/255.0.0.0 "
                   "0.0.0.0/0.0.0.0 10.1.1.1",
                   5},
                  {"eth1", "promisc", "10.9.9.9/255.0.0.0"},
                  {"eth2", "warn"},
                  {"eth3", "compile"},
                  {"eth4", "promisc local"}};
  pcap.failEnumerations = 2;
  std::atomic<long long> pausedMs{0};
  options.timing.readyTimeout = boost::chrono::milliseconds(0);
  options.timing.sleep = [&pausedMs](boost::chrono::milliseconds pause) {
    pausedMs += pause.count();
    boost::this_thread::interruption_point();
  };
  options.statistics = &counters, options.counterIntervalS = 1;
  TrafficCollector c(128, &rig.reporter, 2097152, 32, true, pcap, options);
  c.startCollecting();
  ASSERT_TRUE(waitFor([&] {  // the capture threads are named and leave signals to main
    return blockSignals({"wendrel-cap0", "wendrel-cap1", "wendrel-cap2"});
  }));
  EXPECT_TRUE(waitFor([&] {  // the earlier failures' reason cleared by the attempt that opened
    const CaptureStatistics now = c.statistics();
    return now.interfaces == 3 && now.noInterfaceReason.empty();
  }));
  EXPECT_TRUE(
      waitFor([&] { return rig.reporter.statistics().counterSamples >= 6; }, Millis(10000)));
  c.startCollecting();                                 // nothing
  EXPECT_LT(millisecondsOf([&] { c.stop(); }), 5000);  // a blocked read lasts 10 s
  const CaptureStatistics figures = c.statistics();    // eth0 delivered 5 packets; each dropped 7
  EXPECT_EQ(std::tuple(0u, 5ul, 21ul, ""),
            std::tuple(figures.interfaces, figures.packetsSeen, figures.kernelDrops,
                       figures.noInterfaceReason));
  c.stop();  // nothing
  EXPECT_EQ(60000, pausedMs);
  for (const FakePcap::Device& d : pcap.devices)  // every handle closed, once
    EXPECT_EQ(d.created, d.closed) << d.name;
  EXPECT_EQ(std::pair(1, 0), std::pair(pcap.find("eth0").promisc, pcap.find("eth1").promisc));
  EXPECT_EQ(2u, rig.samples().size());  // the 5 packets at 16 / 32
  for (const DecodedDatagram& d : rig.datagrams())
    EXPECT_EQ((std::array<uint8_t, 4>{10, 1, 1, 4}), d.agentAddress);
}

// Why no device opened (no devices: the list cannot be read), when one reason holds for all;
// stop ends the retry pause (30 s).
TEST(CaptureEngine, SaysWhyNoDeviceOpenedAndStopEndsTheRetryPause) {
  const std::pair<std::vector<FakePcap::Device>, std::string> cases[] = {
      {{}, "the device list cannot be read: fake enumeration failure"},
      {{{"any", ""}, {"lo", "loopback"}}, "no Ethernet interface besides loopback"},
      {{{"eth0", "perm"}, {"eth1", "perm"}},
       "Operation not permitted: the agent needs CAP_NET_RAW"},
      {{{"wlan0", "wifi"}, {"eth3", "compile"}},
       "no Ethernet device that takes the capture filter"},
      {{{"eth0", "perm"}, {"eth1", "promisc local"}}, ""},  // no one reason
  };
  for (const auto& [devices, reason] : cases) {
    ReporterRig rig;
    FakePcap pcap;
    pcap.devices = devices, pcap.failEnumerations = devices.empty() ? 1000000 : 0;
    TrafficCollector c(128, &rig.reporter, 2097152, 32, true, pcap, CaptureOptions{});
    c.stop();  // before start: nothing
    c.startCollecting();
    ASSERT_TRUE(waitFor([&] { return c.statistics().tried; }));
    EXPECT_EQ(reason, c.statistics().noInterfaceReason);
    EXPECT_LT(millisecondsOf([&] { c.stop(); }), 5000);
    EXPECT_TRUE(!devices.empty() || pcap.trace == "findalldevs; ") << pcap.trace;
  }
}

// A kernel that refuses the selection program leaves its device on the text filter, every
// eligible packet chosen in user space at the full rate; the other device gets the program
// and chooses 1 in rate / step of what it passes. Lost link notifications mean a new
// enumeration, which opens no interface already open. Stop wakes the wait at once, and every
// device ends capture in the kernel (a program of one instruction).
TEST_F(CaptureEngineTest, TheSelectionProgramIsAttachedAndLostLinkChangesEnumerateAgain) {
  pcap.devices = {{"eth0", "", "", 3200}, {"eth1", "userland", "", 12800}};
  pcap.devices.reserve(3);  // capture threads hold references into it
  options.method = SamplingMethod::kRandom, options.ipv6 = true, options.linkEvents = this;
  TrafficCollector collector(128, &rig.reporter, 2097152, 32, true, pcap, options);
  collector.startCollecting();
  ASSERT_TRUE(waitFor([&] { return collector.statistics().packetsSeen == 16000; }));
  // The ready wait (5 s) ends as the last thread starts.
  EXPECT_TRUE(waitFor([&] { return collector.statistics().tried; }, Millis(2000)));
  pcap.devices.push_back({"eth2", ""});  // the supervisor reads it after the next change
  push({{{LinkChange::Kind::Present, "eth0", 1, true, true}}, true});
  ASSERT_TRUE(waitFor([&] { return collector.statistics().interfaces == 3; }));
  EXPECT_LT(millisecondsOf([&] { collector.stop(); }), 500);
  for (const FakePcap::Device& d : pcap.devices)
    EXPECT_EQ(std::pair(1, 1), std::pair(d.created, d.closed)) << d.name;
  EXPECT_NE(std::string::npos, pcap.trace.find("attach eth0 1; attach eth1 1;")) << pcap.trace;
  std::map<uint32_t, double> taken;
  int even = 0;  // frames taken on eth0 with an even number: none when every other one is
  for (const DecodedSample& s : rig.samples())
    ++taken[s.sourceId], even += s.sourceId == 0 && s.header[1] % 2 == 0;
  // Within 4 standard deviations; eth1's many draws make a skip of 0 (which ends sampling) likely.
  for (const auto& [source, n, p] : {std::tuple{0u, 3200, 0.5}, {1u, 12800, 1 / 32.0}})
    EXPECT_NEAR(taken[source], n * p, 4 * std::sqrt(n * p * (1 - p))) << source;
  EXPECT_LT(100, even);
}

// On a clock the test steps by 100 ms: each interface once an interval (10 s) from its own
// random phase, the supervisor woken for the earliest; nothing from an unreadable one or after
// its device closed; after a stall one sample each, not a burst.
TEST(CounterPoller, OnceAnIntervalFromARandomPhaseWithoutCatchingUpAfterAStall) {
  ReporterRig rig;
  FakeStatistics statistics;
  CounterPoller poller(&statistics, rig.reporter, 10);
  const auto t0 = CounterPoller::Clock::now();
  std::set<uint64_t> open = {119};
  for (uint16_t i = 0; i < 19; ++i)
    poller.add("eth" + std::to_string(i), i, 100 + i, t0), open.insert(100 + i);
  const int firstWait = poller.msUntilDue(t0, 20000);  // before "gone", which sends nothing
  poller.add("gone", 19, 119, t0);
  std::map<uint32_t, std::vector<long>> at;  // source -> the steps of its samples, -1 misnamed
  const auto run = [&](long from, long to) {
    for (long step = from; step < to; ++step) {
      const auto now = t0 + step * 100ms;
      EXPECT_LE(unsigned(poller.msUntilDue(now, 1000)), 1000u);
      poller.poll(now, [&](uint64_t id) { return open.count(id) > 0; });
      for (const DecodedDatagram& d : rig.datagrams(true))
        for (const DecodedCounters& c : d.counters)
          at[c.sourceId].push_back(c.name == "eth" + std::to_string(c.sourceId) ? step : -1);
    }
  };
  run(0, 301);
  std::map<uint32_t, std::vector<long>> expected;  // from a phase in the first 10 s, every 10 s
  std::set<long> phases;
  for (const auto& [source, times] : at) {
    EXPECT_LE(times[0], 100) << source;
    for (long t = *phases.insert(times[0]).first; t <= 300; t += 100)
      expected[source].push_back(t);
  }
  EXPECT_EQ(19u, at.size());  // the unreadable one sends nothing, and holds nothing up
  EXPECT_EQ(expected, at);
  EXPECT_LT(5u, phases.size()) << "the interfaces do not report in step";
  EXPECT_TRUE(firstWait > (*phases.begin() - 1) * 100 && firstWait <= *phases.begin() * 100)
      << firstWait;
  at.clear();
  open.erase(100);                                   // eth0's device closed
  EXPECT_EQ(0, poller.msUntilDue(t0 + 900s, 1000));  // all overdue
  run(9000, 9100);
  EXPECT_EQ(18u, at.size());
  for (const auto& [source, times] : at)
    EXPECT_EQ(std::vector<long>{9000}, times) << source;
}

// A failure that repeats is one line, and one summary a while later: counted by level.
TEST(DeviceOpener, RepeatedFailuresAreSummarised) {
  LogCapture log{"TrafficLogger"};
  ReporterRig rig;
  FakePcap pcap;
  for (const char* traits : {"perm", "emfile"})
    for (int i = 0; i < 3; ++i)
      pcap.devices.push_back({traits + std::to_string(i), traits});
  DeviceOpener opener(pcap, rig.reporter, 128, 2097152, buildFilter(32, true));
  std::vector<OpenedDevice> opened;
  opener.openAll(opened);
  opener.summarise(std::chrono::steady_clock::now() + std::chrono::minutes(2));
  EXPECT_EQ(4u, log.messages(log4cplus::WARN_LOG_LEVEL).size());  // one of each, then the rest
  EXPECT_EQ(1u, log.messages(log4cplus::ERROR_LOG_LEVEL).size());
}

TEST(ServiceUnit, LeavesRoomForAThousandInterfaces) {
  const std::string unit = unitFileText("/usr/lib/wendrel/wendrel").value();
  const size_t at = unit.find("\nLimitNOFILE=");
  ASSERT_NE(std::string::npos, at);
  EXPECT_LE(4096, std::stoi(unit.substr(at + 13)));
}

}  // namespace
}  // namespace wendrel::test
