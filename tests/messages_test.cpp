// The messages whose words are fixed by the documentation, each checked once, word for word,
// at its level. Every other test checks state; these texts are what operators grep for.
#include <gtest/gtest.h>

#include "agent_settings.h"
#include "capture/capture_fakes.h"
#include "file_settings_store.h"
#include "log_capture.h"
#include "sflow/sflow_fakes.h"
#include "test_util.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

TEST(DocumentedMessages, EachIsLoggedWordForWordAtItsLevel) {
  LogCapture log;
  {
    // Capture: one failed enumeration, then devices that fail each way, one that works and
    // one whose first read fails.
    ReporterRig rig;
    FakePcap pcap;
    pcap.devices = {{"eth0", ""},
                    {"eth5", "readerror"},
                    {"wlan0", "wifi"},
                    {"eth3", "compile"},
                    {"eth4", "promisc local"}};
    pcap.failEnumerations = 1;
    CaptureOptions options;
    options.timing.sleep = [](boost::chrono::milliseconds) {};
    TrafficCollector collector(128, &rig.reporter, 2097152, 32, true, pcap, options);
    collector.startCollecting();
    ASSERT_TRUE(waitFor([&] {  // eth0 captures, eth5 has failed
      return collector.statistics().interfaces == 1 && pcap.count("close eth5;") == 1;
    }));
    collector.stop();
    // The reporter: a collector that is no name, and a send that fails.
    PacketReporter unnamed("bad_name!");
    rig.sink.failSendNumber = 1;
    addFrame(rig.reporter, pattern(60), 60);
    rig.reporter.flush();
    // Settings: the numbers missing, then the collector too.
    log4cplus::Logger logger = log4cplus::Logger::getInstance("Wendrel");
    const std::string path = "/tmp/wendrel-messages-" + std::to_string(::getpid());
    std::ofstream(path) << "CollectorAddress = 192.0.2.1";
    FileSettingsStore withAddress(path), none(path + ".none");
    readAgentSettings(withAddress, logger);
    std::remove(path.c_str());
    readAgentSettings(none, logger);
  }
  using namespace log4cplus;  // the levels
  const std::pair<int, std::string> documented[] = {
      {ERROR_LOG_LEVEL, "Failed to find devices: fake enumeration failure"},
      {INFO_LOG_LEVEL, "Failed to initialize capture engine, waiting for retry..."},
      {DEBUG_LOG_LEVEL, "Starting capture"},
      {INFO_LOG_LEVEL, "Device eth0 initialized successfully"},
      {WARN_LOG_LEVEL, "Device eth4 is not supported: fake activation failure"},
      {WARN_LOG_LEVEL, "Failed to initialize device wlan0"},
      {ERROR_LOG_LEVEL, "Failed to compile filter ip[11] & 0x0F = 0x0F: fake syntax error"},
      {INFO_LOG_LEVEL, "Stopped collecting on interface 1"},
      {ERROR_LOG_LEVEL, "Error in pcap_loop: fake read error"},
      {DEBUG_LOG_LEVEL, "Capture statistics - Received: 3 Dropped: 7"},
      {INFO_LOG_LEVEL, "Closing capture device"},
      {INFO_LOG_LEVEL, "Initializing socket to send sFlow packets to collector bad_name!"},
      {ERROR_LOG_LEVEL,
       "Failed to initialize udp socket: CollectorAddress: \"bad_name!\" is not a host name or "
       "address with an optional port"},
      {ERROR_LOG_LEVEL, "Failed to send sFlow packet: send_to: Connection refused"},
      {WARN_LOG_LEVEL, "Failed to read sampling rate from the registry, using the default of 32"},
      {WARN_LOG_LEVEL, "Failed to read performance mode from the registry, using the default of 1"},
      {ERROR_LOG_LEVEL, "Failed to read collector address from the registry, cannot start"},
  };
  for (const auto& [level, message] : documented)
    EXPECT_TRUE(log.contains(level, message)) << message;
}

}  // namespace
}  // namespace wendrel::test
