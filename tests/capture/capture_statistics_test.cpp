// What capture tells while it runs: the interfaces it captures, the packets and kernel drops
// counted, and why it captures on none, on a scripted libpcap.
#include <gtest/gtest.h>

#include "../sflow/sflow_fakes.h"
#include "capture_fakes.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

TEST(CaptureStatistics, CountsWhatIsCapturedAndSaysWhyNothingIs) {
  using Devices = std::vector<FakePcap::Device>;
  const struct {
    Devices devices;
    uint32_t interfaces;
    std::string reason;
  } cases[] = {
      {{{"any", ""}, {"lo", "loopback"}}, 0, "no Ethernet interface besides loopback"},
      {{{"eth0", "perm"}, {"eth1", "perm"}},
       0,
       "Operation not permitted: the agent needs CAP_NET_RAW"},
      {{{"wlan0", "wifi"}, {"eth3", "compile"}},
       0,
       "no Ethernet device that takes the capture filter"},
      {{{"eth0", "perm"}, {"eth1", "promisc local"}}, 0, ""},  // no one reason
      {{{"eth0", "", "", nullptr, 0, 0, 0, 5},
        {"eth1", "perm"},
        {"eth2", "", "", nullptr, 0, 0, 0, 2}},
       2,
       ""},
      {{}, 0, "the device list cannot be read: fake enumeration failure"},
  };
  for (const auto& c : cases) {
    ReporterRig rig;
    FakePcap pcap;
    pcap.devices = c.devices;
    pcap.failEnumerations = c.devices.empty() ? 1000 : 0;
    TrafficCollector collector(128, &rig.reporter, 2097152, 32, true, pcap, CaptureOptions{});
    collector.startCollecting();
    ASSERT_TRUE(waitFor([&] { return collector.statistics().tried; }));
    const CaptureStatistics running = collector.statistics();
    EXPECT_EQ(running.interfaces, c.interfaces) << c.reason;
    EXPECT_EQ(running.noInterfaceReason, c.reason);
    collector.stop();
    const CaptureStatistics stopped = collector.statistics();
    EXPECT_EQ(stopped.interfaces, 0u);
    // 5 and 2 packets delivered; the fake's kernel has dropped 7 on each device.
    EXPECT_EQ(stopped.packetsSeen, c.interfaces == 0 ? 0u : 7u) << c.reason;
    EXPECT_EQ(stopped.kernelDrops, 7u * c.interfaces) << c.reason;
  }
}

}  // namespace
}  // namespace wendrel::test
