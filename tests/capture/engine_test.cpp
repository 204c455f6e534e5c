// Device opening, the agent address, the supervisor, the capture threads and stop, on a
// scripted libpcap.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <boost/thread/thread.hpp>
#include <filesystem>
#include <fstream>

#include "../sflow/sflow_fakes.h"
#include "capture_fakes.h"
#include "log_capture.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

constexpr int kDebug = log4cplus::DEBUG_LOG_LEVEL, kInfo = log4cplus::INFO_LOG_LEVEL;
constexpr int kWarn = log4cplus::WARN_LOG_LEVEL, kError = log4cplus::ERROR_LOG_LEVEL;

// Whether the threads named `names` all exist and block SIGTERM and SIGINT.
bool blockSignals(std::set<std::string> names) {
  const unsigned long long blocked = 1ull << (SIGTERM - 1) | 1ull << (SIGINT - 1);
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream status(task.path() / "status");
    std::string name, line;
    for (status >> line >> name; std::getline(status, line);)  // "Name: <name>" comes first
      if (line.rfind("SigBlk:", 0) == 0 &&
          (std::stoull(line.substr(7), nullptr, 16) & blocked) == blocked)
        names.erase(name);
  }
  return names.empty();
}

struct CaptureEngineTest : ::testing::Test {
  LogCapture log{"TrafficLogger"};
  ReporterRig rig;
  FakePcap pcap;
};

// Enumeration fails twice (each failure pauses 30 s, here counted); then only the Ethernet
// devices that open and take the filter are captured, promiscuous where they allow it. The
// agent address is the last qualifying one of the first device that has one. Whether or not
// the ready wait (0 ms) times out, every capture thread runs, until stop ends them promptly.
TEST_F(CaptureEngineTest, OpensTheEthernetDevicesCapturesOnEachAndStopsPromptly) {
  pcap.devices = {{"any", ""},
                  {"loop0", "loopback"},
                  {"nflog", "noif"},
                  {"wlan0", "wifi", "10.7.7.7/255.0.0.0"},
                  {"eth0", "",
                   "10.1.1.3/255.255.0.0 fe80::1/ffff:: 127.0.0.1/255.0.0.0 "
                   "0.0.0.0/0.0.0.0 10.1.1.1"},
                  {"eth1", "promisc", "10.9.9.9/255.0.0.0"},
                  {"eth2", "warn", "", "Intel NIC"},
                  {"eth3", "compile"},
                  {"eth4", "promisc local"}};
  pcap.failEnumerations = 2;
  std::atomic<long long> pausedMs{0};
  CaptureOptions options;
  options.timing.readyTimeout = boost::chrono::milliseconds(0);
  options.timing.sleep = [&pausedMs](boost::chrono::milliseconds pause) {
    pausedMs += pause.count();
    boost::this_thread::interruption_point();
  };
  TrafficCollector c(128, &rig.reporter, 2097152, 32, true, pcap, options);
  c.startCollecting();
  // The capture threads are named and leave signals to main.
  ASSERT_TRUE(waitFor([&] {
    return blockSignals({"wendrel-cap0", "wendrel-cap1", "wendrel-cap2"});
  }));
  c.startCollecting();                                 // nothing
  EXPECT_LT(millisecondsOf([&] { c.stop(); }), 5000);  // a blocked read lasts 10 s
  c.stop();                                            // nothing
  EXPECT_EQ(60000, pausedMs);
  const std::string eth0 =
      "create eth0; snaplen eth0 128; promisc eth0 1; timeout eth0 250; "
      "buffer eth0 2097152; activate eth0; compile eth0 16777215; "
      "ip[11] & 0x0F = 0x0F; setfilter eth0; nonblock eth0 0; create eth1;";
  EXPECT_NE(std::string::npos, pcap.trace.find(eth0)) << pcap.trace;
  EXPECT_NE(std::string::npos,
            pcap.trace.find("close eth1; create eth1; snaplen eth1 128; promisc eth1 0"));
  for (const std::string skipped : {"any", "loop0", "nflog"})  // never opened
    EXPECT_EQ(std::string::npos, pcap.trace.find(" " + skipped + ";")) << skipped;
  for (const FakePcap::Device& d : pcap.devices)  // every handle closed, once
    EXPECT_EQ(d.created, d.closed) << d.name;
  const std::pair<int, std::string> logged[] = {
      {kError, "Failed to find devices: fake enumeration failure"},
      {kInfo, "Failed to initialize capture engine, waiting for retry..."},
      {kWarn, "Device Intel NIC opened with a warning: fake warning"},
      {kInfo, "Device Intel NIC initialized successfully"},
      {kWarn, "Failed to initialize device wlan0"},
      {kError, "Failed to compile filter ip[11] & 0x0F = 0x0F: fake syntax error"},
      {kWarn, "Failed to initialize device eth3"},
      {kWarn, "Device eth4 is not supported: fake activation failure"},
      {kDebug, "Capture statistics - Received: 3 Dropped: 7"}};
  for (const auto& [level, message] : logged)
    EXPECT_TRUE(log.contains(level, message)) << message;
  EXPECT_EQ(3u, log.count(kInfo, "Closing capture device"));
  addFrame(rig.reporter, pattern(60), 60);  // the reporter was handed the address
  EXPECT_EQ((std::array<uint8_t, 4>{10, 1, 1, 3}), rig.datagrams().at(0).agentAddress);
}

TEST_F(CaptureEngineTest, StopInterruptsTheRetryPause) {
  pcap.failEnumerations = 1000000;
  TrafficCollector c(128, &rig.reporter, 2097152, 32, true, pcap, CaptureOptions{});  // 30 s
  c.stop();  // before start: nothing
  c.startCollecting();
  ASSERT_TRUE(waitFor([&] {
    return log.contains(kInfo, "Failed to initialize capture engine, waiting for retry...");
  }));
  EXPECT_LT(millisecondsOf([&] { c.stop(); }), 5000);  // the pause is 30 s
  EXPECT_EQ("findalldevs; ", pcap.trace);
}

}  // namespace
}  // namespace wendrel::test
