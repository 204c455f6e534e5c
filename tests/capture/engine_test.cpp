// Device opening, agent address, capture threads, supervisor and stop, on a scripted pcap.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <boost/thread/thread.hpp>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "capture_test_util.h"
#include "fake_pcap.h"
#include "log_capture.h"
#include "reporter_rig.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

FakeDevice idle(const std::string& name) {
  FakeDevice d;
  d.name = name;
  return d;
}

std::vector<uint8_t> frame(uint8_t marker) {
  std::vector<uint8_t> bytes(60, 0);
  bytes[0] = marker;
  bytes[12] = 0x08;
  return bytes;
}

// The names and blocked-signal masks of this process's threads.
struct TaskInfo {
  std::string name;
  unsigned long long blocked = 0;
};
std::vector<TaskInfo> tasks() {
  std::vector<TaskInfo> out;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr)
    return out;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.')
      continue;
    const std::string base = std::string("/proc/self/task/") + entry->d_name;
    TaskInfo info;
    std::ifstream(base + "/comm") >> info.name;
    std::ifstream status(base + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigBlk:", 0) == 0)
        info.blocked = std::stoull(line.substr(7), nullptr, 16);
    }
    out.push_back(info);
  }
  closedir(dir);
  return out;
}
bool blocks(const TaskInfo& task, int signal) {
  return (task.blocked >> (signal - 1)) & 1;
}

class CaptureEngineTest : public ::testing::Test {
 protected:
  // A collector on `pcap` at `rate` in performance mode, with the retry pause recorded
  // instead of slept.
  std::unique_ptr<TrafficCollector> collector(FakePcap& pcap, uint32_t rate = 32,
                                              int readyTimeoutMs = 5000) {
    CaptureTiming timing;
    timing.readyTimeout = boost::chrono::milliseconds(readyTimeoutMs);
    timing.sleep = [this](boost::chrono::milliseconds pause) {
      std::lock_guard<std::mutex> lock(mutex);
      pauses.push_back(pause.count());
      boost::this_thread::interruption_point();
    };
    return std::make_unique<TrafficCollector>(128, &rig.reporter, 2097152, rate, true, pcap,
                                              std::move(timing));
  }
  bool started() { return log.contains(kDebug, "Starting capture"); }
  void waitForStart() {
    ASSERT_TRUE(waitFor([this] { return started(); }));
  }
  std::vector<std::string> callsFor(FakePcap& pcap, const std::string& device) {
    std::vector<std::string> out;
    for (const std::string& call : pcap.calls()) {
      const auto space = call.find(' ');
      if (space == std::string::npos)
        continue;
      const auto end = call.find(' ', space + 1);
      if (call.substr(space + 1, end - space - 1) == device)
        out.push_back(call);
    }
    return out;
  }

  LogCapture log{"TrafficLogger"};
  ReporterRig rig;
  std::mutex mutex;
  std::vector<long long> pauses;
};

TEST_F(CaptureEngineTest, EnumerationIsRetriedUntilItSucceeds) {
  FakePcap pcap({idle("eth0")});
  pcap.failEnumerations(3);
  auto c = collector(pcap);
  c->startCollecting();
  waitForStart();
  EXPECT_EQ(log.count(kError, "Failed to find devices: fake enumeration failure"), 3u);
  EXPECT_EQ(log.count(kInfo, "Failed to initialize capture engine, waiting for retry..."), 3u);
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(pauses, (std::vector<long long>{30000, 30000, 30000}));
  }
  // The fourth attempt opened the device; nothing was retried after it.
  EXPECT_EQ(pcap.enumerations(), 4);
  EXPECT_TRUE(log.contains(kInfo, "Device eth0 initialized successfully"));
  c->stop();
  EXPECT_EQ(pcap.handlesClosed(), 1);
}

TEST_F(CaptureEngineTest, StopInterruptsTheRetryPauseAndThreadsAreNamedAndMasked) {
  FakePcap pcap({idle("eth0")});
  pcap.failEnumerations(1000000);
  CaptureTiming timing;  // the real 30-second interruptible pause
  TrafficCollector c(128, &rig.reporter, 2097152, 32, true, pcap, timing);

  sigset_t before;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);
  c.startCollecting();
  sigset_t after;
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  EXPECT_EQ(sigismember(&after, SIGTERM), sigismember(&before, SIGTERM));  // caller restored

  ASSERT_TRUE(waitFor([&] {
    return log.contains(kInfo, "Failed to initialize capture engine, waiting for retry...");
  }));
  auto all = tasks();
  auto super = std::find_if(all.begin(), all.end(),
                            [](const TaskInfo& t) { return t.name == "wendrel-super"; });
  ASSERT_NE(super, all.end());
  EXPECT_TRUE(blocks(*super, SIGTERM));
  EXPECT_TRUE(blocks(*super, SIGINT));
  EXPECT_FALSE(blocks(*super, SIGSEGV));

  EXPECT_LT(millisecondsOf([&] { c.stop(); }), 1000);
  EXPECT_EQ(pcap.enumerations(), 1);
  EXPECT_EQ(pcap.handlesCreated(), 0);
}

TEST_F(CaptureEngineTest, DevicesAreOpenedConfiguredOrRefused) {
  std::vector<FakeDevice> devices;
  devices.push_back(idle("any"));
  FakeDevice lo = idle("loop0");
  lo.flags = PCAP_IF_LOOPBACK;
  devices.push_back(lo);
  FakeDevice nflog = idle("nflog");
  nflog.kernelInterface = false;
  devices.push_back(nflog);
  devices.push_back(idle("eth0"));
  FakeDevice local = idle("eth1");
  local.promiscuousFails = true;
  devices.push_back(local);
  FakeDevice broken = idle("eth2");
  broken.promiscuousFails = broken.localFails = true;
  devices.push_back(broken);
  FakeDevice described = idle("eth3");
  described.description = "Intel NIC";
  described.activateWarning = PCAP_WARNING_PROMISC_NOTSUP;
  devices.push_back(described);
  FakeDevice wifi = idle("wlan0");
  wifi.linkType = DLT_IEEE802_11_RADIO;
  wifi.addresses = {{"10.7.7.7", "255.0.0.0"}};
  devices.push_back(wifi);
  FakeDevice badFilter = idle("eth4");
  badFilter.compileFails = true;
  devices.push_back(badFilter);
  FakeDevice refused = idle("eth5");
  refused.setFilterFails = true;
  devices.push_back(refused);
  FakeDevice gone = idle("eth6");
  gone.createFails = true;
  devices.push_back(gone);
  FakePcap pcap(devices);

  auto c = collector(pcap);
  c->startCollecting();
  waitForStart();

  // Options go in before activation, so the capture buffer size really applies.
  EXPECT_EQ(callsFor(pcap, "eth0"),
            (std::vector<std::string>{"create eth0", "snaplen eth0 128", "promisc eth0 1",
                                      "timeout eth0 1000", "buffer eth0 2097152", "activate eth0",
                                      "compile eth0 ip[11] & 0x0F = 0x0F", "setfilter eth0",
                                      "nonblock eth0 0"}));
  EXPECT_TRUE(log.contains(
      kDebug, "Failed to initialize promiscuous mode on device eth1, trying local capture mode"));
  const auto eth1 = callsFor(pcap, "eth1");
  EXPECT_NE(std::find(eth1.begin(), eth1.end(), "promisc eth1 0"), eth1.end());
  EXPECT_TRUE(log.contains(kInfo, "Device eth1 initialized successfully"));
  EXPECT_TRUE(log.contains(kWarn, "Device eth2 is not supported: fake activation failure"));
  EXPECT_TRUE(log.contains(kDebug, "Initializing device eth3: Intel NIC"));
  EXPECT_TRUE(log.contains(kWarn, "Device Intel NIC opened with a warning: fake warning"));
  EXPECT_TRUE(log.contains(kInfo, "Device Intel NIC initialized successfully"));
  EXPECT_TRUE(log.contains(kWarn, "Failed to initialize device wlan0"));
  EXPECT_FALSE(log.contains(kDebug, "Reading wlan0 addresses"));
  EXPECT_EQ(c->agentAddress(), 0u);
  EXPECT_TRUE(
      log.contains(kError, "Failed to compile filter ip[11] & 0x0F = 0x0F: fake syntax error"));
  EXPECT_TRUE(log.contains(kWarn, "Failed to initialize device eth4"));
  EXPECT_TRUE(log.contains(kWarn, "Failed to initialize device eth5"));
  EXPECT_TRUE(log.contains(kWarn, "Device eth6 is not supported: fake create failure"));

  // "any", loopback and non-interfaces are neither opened nor mentioned.
  for (const char* skipped : {"any", "loop0", "nflog"}) {
    EXPECT_TRUE(callsFor(pcap, skipped).empty()) << skipped;
    for (const std::string& m : log.messages()) {
      EXPECT_EQ(m.find(std::string(" ") + skipped), std::string::npos) << m;
    }
  }
  EXPECT_EQ(c->openDeviceCount(), 3u);  // eth0, eth1, eth3
  // Refused handles, including the failed promiscuous attempts, are closed at once.
  EXPECT_EQ(pcap.handlesClosed(), pcap.handlesCreated() - 3);
  EXPECT_EQ(pcap.listsFreed(), 1);
  c->stop();
  EXPECT_EQ(pcap.handlesClosed(), pcap.handlesCreated());
  EXPECT_EQ(pcap.closeErrors(), 0);
}

TEST_F(CaptureEngineTest, NoUsableDeviceStillStartsWithoutThreads) {
  FakeDevice broken = idle("eth0");
  broken.promiscuousFails = broken.localFails = true;
  FakePcap pcap({broken});
  auto c = collector(pcap);
  c->startCollecting();
  waitForStart();
  c->stop();
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{
                "Initializing capture devices", "Initializing device eth0",
                "Failed to initialize promiscuous mode on device eth0, trying local capture mode",
                "Device eth0 is not supported: fake activation failure",
                "Capture devices initialized successfully", "Starting capture"}));
  EXPECT_EQ(pcap.enumerations(), 1);
}

TEST_F(CaptureEngineTest, AgentAddressComesFromTheFirstDeviceWithOne) {
  FakeDevice first = idle("eth0");
  first.addresses = {{"fe80::1", "ffff:ffff:ffff:ffff::"},
                     {"127.0.0.1", "255.0.0.0"},
                     {"0.0.0.0", "0.0.0.0"},
                     {"10.1.1.1", ""},
                     {"192.168.1.10", "255.255.255.0"},
                     {"10.1.1.3", "255.255.0.0"}};
  first.setFilterFails = true;  // refused after its addresses were read
  FakeDevice second = idle("eth1");
  second.addresses = {{"10.9.9.9", "255.0.0.0"}};
  second.packets = {frame(1)};
  FakePcap pcap({first, second});
  auto c = collector(pcap, 1);
  c->startCollecting();
  ASSERT_TRUE(waitFor([&] { return !rig.datagrams().empty(); }));
  c->stop();

  EXPECT_EQ(c->agentAddress(), inet_addr("10.1.1.3"));
  std::vector<std::string> found;
  for (const std::string& m : log.messages(kDebug)) {
    if (m.rfind("Found", 0) == 0 || m.rfind("No netmask", 0) == 0)
      found.push_back(m);
  }
  EXPECT_EQ(found, (std::vector<std::string>{
                       "Found address 101010a", "No netmask found for address, ignoring",
                       "Found address a01a8c0", "Found netmask for address to be ffffff00",
                       "Found address 301010a", "Found netmask for address to be ffff0000"}));
  EXPECT_TRUE(log.contains(kDebug, "Reading eth1 addresses"));

  auto datagrams = rig.datagrams();
  ASSERT_EQ(datagrams.size(), 1u);
  EXPECT_EQ(datagrams[0].agentAddress, (std::array<uint8_t, 4>{10, 1, 1, 3}));
  ASSERT_EQ(datagrams[0].samples.size(), 1u);
  EXPECT_EQ(datagrams[0].samples[0].sourceId, 0u);  // eth1 is the only device opened
}

TEST_F(CaptureEngineTest, ReadErrorEndsOnlyThatInterface) {
  FakeDevice failing = idle("eth0");
  failing.packets = {frame(1), frame(2), frame(3)};
  failing.endResult = -1;
  FakePcap pcap({failing, idle("eth1")});
  auto c = collector(pcap, 1);
  c->startCollecting();
  ASSERT_TRUE(waitFor([&] { return c->openDeviceCount() == 1 && started(); }));

  std::vector<std::string> messages = log.messages();
  auto stopped = std::find(messages.begin(), messages.end(), "Stopped collecting on interface 0");
  ASSERT_NE(stopped, messages.end());
  ASSERT_GE(std::distance(stopped, messages.end()), 3);
  EXPECT_EQ(*(stopped + 1), "Error in pcap_loop: fake read error");
  EXPECT_EQ(*(stopped + 2), "Closing capture device");
  for (const std::string& m : log.messages(kDebug)) {
    EXPECT_NE(m.rfind("Capture statistics", 0), 0u) << m;
  }

  c->stop();
  EXPECT_TRUE(log.contains(kInfo, "Stopped collecting on interface 1"));
  EXPECT_TRUE(log.contains(kDebug, "Capture statistics - Received: 0 Dropped: 7"));
  EXPECT_EQ(pcap.handlesClosed(), 2);
  EXPECT_EQ(pcap.closeErrors(), 0);
  std::vector<DecodedSample> samples = rig.samples();
  ASSERT_EQ(samples.size(), 3u);
  for (const DecodedSample& s : samples)
    EXPECT_EQ(s.sourceId, 0u);
}

TEST_F(CaptureEngineTest, BreakResultAndStatisticsFailure) {
  FakeDevice breaking = idle("eth0");
  breaking.packets = {frame(1), frame(2)};
  breaking.endResult = -2;
  FakeDevice noStats = idle("eth1");
  noStats.statsFail = true;
  FakePcap pcap({breaking, noStats});
  auto c = collector(pcap);
  c->startCollecting();
  ASSERT_TRUE(waitFor([&] { return started() && c->openDeviceCount() == 1; }));
  EXPECT_TRUE(log.contains(kDebug, "Capture statistics - Received: 2 Dropped: 7"));
  c->stop();
  EXPECT_TRUE(log.contains(kWarn, "Failed to get capture statistics: fake statistics failure"));
  EXPECT_EQ(pcap.handlesClosed(), 2);
}

TEST_F(CaptureEngineTest, StopEndsIdleCaptureAtOnceAndClosesEveryHandle) {
  FakePcap pcap({idle("eth0"), idle("eth1"), idle("eth2")});
  auto c = collector(pcap);
  c->startCollecting();
  waitForStart();
  std::vector<std::string> names;
  // The threads name themselves as they start.
  waitFor([&] {
    names.clear();
    for (const TaskInfo& t : tasks()) {
      if (t.name.rfind("wendrel-cap", 0) != 0)
        continue;
      names.push_back(t.name);
      EXPECT_TRUE(blocks(t, SIGTERM)) << t.name;
    }
    return names.size() == 3;
  });
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"wendrel-cap0", "wendrel-cap1", "wendrel-cap2"}));

  EXPECT_LT(millisecondsOf([&] { c->stop(); }), 1000);
  EXPECT_EQ(c->openDeviceCount(), 0u);
  EXPECT_EQ(pcap.handlesClosed(), 3);
  EXPECT_EQ(pcap.closeErrors(), 0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(log.contains(kInfo, "Stopped collecting on interface " + std::to_string(i)));
  }
  EXPECT_EQ(log.count(kInfo, "Closing capture device"), 3u);
  EXPECT_EQ(log.count(kDebug, "Capture statistics - Received: 0 Dropped: 7"), 3u);
  EXPECT_FALSE(log.contains(kError, "Timed out while waiting for capture threads to become ready"));

  // A second stop does nothing.
  const auto calls = pcap.calls();
  c->stop();
  EXPECT_EQ(pcap.calls(), calls);
}

TEST_F(CaptureEngineTest, StopBeforeStartDoesNothingAndDestructorStops) {
  FakePcap pcap({idle("eth0"), idle("eth1")});
  {
    auto c = collector(pcap);
    c->stop();
    EXPECT_TRUE(pcap.calls().empty());
  }
  {
    auto c = collector(pcap);
    c->startCollecting();
    c->startCollecting();  // a second start adds nothing
    waitForStart();
  }  // destroyed while capturing
  EXPECT_EQ(pcap.enumerations(), 1);
  EXPECT_EQ(pcap.handlesCreated(), 2);
  EXPECT_EQ(pcap.handlesClosed(), 2);
  EXPECT_EQ(log.count(kDebug, "Starting capture"), 1u);
}

TEST_F(CaptureEngineTest, ReadyWaitTimesOutButCaptureGoesOn) {
  FakeDevice busy = idle("eth0");
  busy.packets = {frame(1)};
  FakePcap pcap({busy});
  auto c = collector(pcap, 1, 0);
  c->startCollecting();
  ASSERT_TRUE(waitFor([&] {
    return log.contains(kError, "Timed out while waiting for capture threads to become ready");
  }));
  // The late thread still captures.
  ASSERT_TRUE(waitFor([&] { return rig.samples().size() == 1; }));
  c->stop();
  EXPECT_TRUE(log.contains(kInfo, "Stopped collecting on interface 0"));
}

}  // namespace
}  // namespace wendrel::test
