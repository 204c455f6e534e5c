// Device opening, agent address, supervisor and stop, on a scripted libpcap.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <boost/thread/thread.hpp>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "capture_fakes.h"
#include "log_capture.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

// Name -> blocked-signal mask, of each thread of this process.
std::map<std::string, unsigned long long> threadMasks() {
  std::map<std::string, unsigned long long> masks;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream status(task.path() / "status");
    std::string name, line;
    status >> line >> name;  // "Name: <name>" comes first
    while (std::getline(status, line)) {
      if (line.rfind("SigBlk:", 0) == 0)
        masks[name] = std::stoull(line.substr(7), nullptr, 16);
    }
  }
  return masks;
}

class CaptureEngineTest : public ::testing::Test {
 protected:
  // A collector at rate 32 in performance mode whose retry pause is counted, not slept.
  std::unique_ptr<TrafficCollector> collector(FakePcap& pcap, int readyTimeoutMs = 5000) {
    CaptureTiming timing;
    timing.readyTimeout = boost::chrono::milliseconds(readyTimeoutMs);
    timing.sleep = [this](boost::chrono::milliseconds pause) {
      pausedMs += pause.count();
      boost::this_thread::interruption_point();
    };
    return std::make_unique<TrafficCollector>(128, &rig.reporter, 2097152, 32, true, pcap,
                                              std::move(timing));
  }
  void start(TrafficCollector& c) {
    c.startCollecting();
    ASSERT_TRUE(waitFor([this] { return log.contains(kDebug, "Starting capture"); }));
  }

  LogCapture log{"TrafficLogger"};
  ReporterRig rig;
  std::atomic<long long> pausedMs{0};
};

// Enumeration fails three times, then finds only a device that does not open: capture still
// starts, with no thread.
TEST_F(CaptureEngineTest, RetriesEnumerationThenStartsWithoutAUsableDevice) {
  FakePcap pcap{{"eth0", "promisc local"}};
  pcap.failEnumerations = 3;
  auto c = collector(pcap);
  start(*c);
  c->stop();
  const std::vector<std::string> m = log.messages();
  ASSERT_EQ(15u, m.size());
  EXPECT_EQ((std::vector<std::string>{
                "Initializing capture devices", "Initializing device eth0",
                "Failed to initialize promiscuous mode on device eth0, trying local capture mode",
                "Device eth0 is not supported: fake activation failure",
                "Capture devices initialized successfully", "Starting capture"}),
            std::vector<std::string>(m.end() - 6, m.end()));
  EXPECT_EQ(3u, log.count(kError, "Failed to find devices: fake enumeration failure"));
  EXPECT_EQ(3u, log.count(kInfo, "Failed to initialize capture engine, waiting for retry..."));
  EXPECT_EQ(3 * 30000, pausedMs);
  EXPECT_EQ(1, pcap.count("freealldevs"));
  EXPECT_EQ((std::pair<int, int>{2, 2}), pcap.handles());  // created, closed
}

TEST_F(CaptureEngineTest, StopInterruptsTheRetryPause) {
  FakePcap pcap{{"eth0"}};
  pcap.failEnumerations = 1000000;
  TrafficCollector c(128, &rig.reporter, 2097152, 32, true, pcap, CaptureTiming{});  // 30 s
  c.startCollecting();
  ASSERT_TRUE(waitFor([&] {
    return log.contains(kInfo, "Failed to initialize capture engine, waiting for retry...");
  }));
  EXPECT_LT(millisecondsOf([&] { c.stop(); }), 1000);
  EXPECT_EQ(1, pcap.count("findalldevs"));
}

TEST_F(CaptureEngineTest, DevicesAreOpenedConfiguredOrRefused) {
  FakePcap pcap{{"any", ""},       {"loop0", "loopback"}, {"nflog", "noif"},
                {"eth0", ""},      {"eth1", "promisc"},   {"eth2", "warn"},
                {"wlan0", "wifi"}, {"eth3", "compile"},   {"eth4", "create"}};
  pcap.devices[5].description = "Intel NIC";
  auto c = collector(pcap);
  start(*c);

  // Every option goes in before activation, so that the buffer size really applies.
  EXPECT_NE(std::string::npos,
            pcap.calls().find("create eth0; snaplen eth0 128; promisc eth0 1; timeout eth0 1000; "
                              "buffer eth0 2097152; activate eth0; compile eth0 ip[11] & 0x0F = "
                              "0x0F; setfilter eth0; nonblock eth0 0; "))
      << pcap.calls();
  EXPECT_EQ(1, pcap.count("promisc eth1 0"));
  const std::pair<int, std::string> logged[] = {
      {kDebug, "Failed to initialize promiscuous mode on device eth1, trying local capture mode"},
      {kDebug, "Initializing device eth2: Intel NIC"},
      {kWarn, "Device Intel NIC opened with a warning: fake warning"},
      {kWarn, "Failed to initialize device wlan0"},
      {kError, "Failed to compile filter ip[11] & 0x0F = 0x0F: fake syntax error"},
      {kWarn, "Failed to initialize device eth3"},
      {kWarn, "Device eth4 is not supported: fake create failure"}};
  for (const auto& [level, message] : logged)
    EXPECT_TRUE(log.contains(level, message)) << message;
  EXPECT_FALSE(log.contains(kDebug, "Reading wlan0 addresses"));  // an 802.11 device
  // "any", loopback and what is no kernel interface are neither opened nor mentioned.
  for (const std::string skipped : {"any", "loop0", "nflog"}) {
    EXPECT_EQ(0, pcap.count("create " + skipped));
    for (const std::string& m : log.messages())
      EXPECT_EQ(std::string::npos, m.find(" " + skipped)) << m;
  }
  EXPECT_EQ(3u, c->openDeviceCount());  // eth0, eth1, eth2
  EXPECT_EQ(1, pcap.count("freealldevs"));
  EXPECT_EQ((std::pair<int, int>{6, 3}), pcap.handles());  // refused ones closed at once
  c->stop();
  EXPECT_EQ((std::pair<int, int>{6, 6}), pcap.handles());
}

// The agent address is the last qualifying IPv4 address (not 0 or loopback, with a netmask) of
// the first device that has one. The ready wait times out here, yet the threads run.
TEST_F(CaptureEngineTest, AgentAddressComesFromTheFirstDeviceWithOne) {
  FakePcap pcap{{"eth0", "", nullptr,
                 "fe80::1/ffff:: 127.0.0.1/255.0.0.0 0.0.0.0/0.0.0.0 10.1.1.1 "
                 "192.168.1.10/255.255.255.0 10.1.1.3/255.255.0.0"},
                {"eth1", "", nullptr, "10.9.9.9/255.0.0.0"}};
  auto c = collector(pcap, 0);
  c->startCollecting();
  ASSERT_TRUE(waitFor([&] {
    return log.contains(kError, "Timed out while waiting for capture threads to become ready");
  }));
  ASSERT_TRUE(waitFor([&] { return threadMasks().count("wendrel-cap1") == 1; }));  // running
  EXPECT_EQ(inet_addr("10.1.1.3"), c->agentAddress());
  c.reset();  // the destructor stops
  EXPECT_EQ((std::pair<int, int>{2, 2}), pcap.handles());

  const std::vector<std::string> m = log.messages(kDebug);
  const auto reading = std::find(m.begin(), m.end(), "Reading eth0 addresses");
  ASSERT_LE(7, m.end() - reading);
  EXPECT_EQ((std::vector<std::string>{
                "Found address 101010a", "No netmask found for address, ignoring",
                "Found address a01a8c0", "Found netmask for address to be ffffff00",
                "Found address 301010a", "Found netmask for address to be ffff0000"}),
            std::vector<std::string>(reading + 1, reading + 7));
  addFrame(rig.reporter, pattern(60), 60);  // the reporter was handed the address
  const auto d = rig.datagrams();
  ASSERT_EQ(1u, d.size());
  EXPECT_EQ((std::array<uint8_t, 4>{10, 1, 1, 3}), d[0].agentAddress);
}

TEST_F(CaptureEngineTest, StopEndsIdleCapturePromptlyOnceAndClosesEveryHandle) {
  FakePcap pcap{{"eth0"}, {"eth1"}, {"eth2"}};
  auto c = collector(pcap);
  c->stop();  // before start: nothing
  EXPECT_TRUE(pcap.calls().empty());
  start(*c);
  c->startCollecting();  // nothing either
  // The capture threads are named, and block the signals that the main thread waits for.
  const unsigned long long blocked = 1ull << (SIGTERM - 1) | 1ull << (SIGINT - 1);
  EXPECT_TRUE(waitFor([&] {
    auto m = threadMasks();
    return (m["wendrel-cap0"] & m["wendrel-cap1"] & m["wendrel-cap2"] & blocked) == blocked;
  }));

  EXPECT_LT(millisecondsOf([&] { c->stop(); }), 1000);
  EXPECT_EQ(0u, c->openDeviceCount());
  EXPECT_EQ((std::pair<int, int>{3, 3}), pcap.handles());
  EXPECT_EQ(1, pcap.count("findalldevs"));
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(log.contains(kInfo, "Stopped collecting on interface " + std::to_string(i)));
  EXPECT_EQ(3u, log.count(kInfo, "Closing capture device"));
  EXPECT_EQ(3u, log.count(kDebug, "Capture statistics - Received: 0 Dropped: 7"));
  const auto calls = pcap.calls();
  c->stop();
  EXPECT_EQ(calls, pcap.calls());
}

}  // namespace
}  // namespace wendrel::test
