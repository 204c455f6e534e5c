// The documented behaviour, byte for byte, through real capture: source ids by position, no
// direction, every N-th IPv4 packet with the pool rate x sequence, no counter samples.
#include <gtest/gtest.h>

#include "../sflow/sflow_fakes.h"
#include "live_pcap.h"
#include "log_capture.h"
#include "netns.h"
#include "test_util.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

TEST(SeedGolden, TheDocumentedDatagramFromRealCapture) {
  if (!NetnsPair::available())
    GTEST_SKIP() << "needs root for network namespaces";
  NetnsPair net("g");
  net.addLink("10.214.0.1/24");
  net.enterAgent();
  LogCapture log("TrafficLogger");
  ReporterRig rig;
  CaptureOptions seed;  // SourceId "index", deterministic, IPv4 only, CounterInterval 0
  seed.sourceId = SourceIdKind::Index, seed.method = SamplingMethod::kDeterministic;
  seed.ipv6 = false, seed.counterIntervalS = 0;
  LivePcap livePcap;
  TrafficCollector collector(128, &rig.reporter, 2 << 20, 2, false, livePcap, seed);
  collector.startCollecting();
  ASSERT_TRUE(
      waitFor([&] { return log.contains(log4cplus::DEBUG_LOG_LEVEL, "Starting capture"); }));
  std::vector<std::vector<uint8_t>> frames;
  for (uint16_t n = 1; n <= 4; ++n) {
    frames.push_back(testFrame(net.link(0), n));
    ASSERT_TRUE(net.send(0, frames.back()));
  }
  ASSERT_TRUE(waitFor([&] { return collector.statistics().packetsSeen >= 4; }));
  collector.stop();
  rig.reporter.flush();
  const auto sent = rig.sink.datagrams();
  ASSERT_EQ(1u, sent.size());
  static const uint8_t kHeader[] = {
      0,  0,   0, 5,  // version
      0,  0,   0, 1,  // agent address type IPv4
      10, 214, 0, 1,  // agent address: the interface's
      0,  0,   0, 0,  // sub-agent id
      0,  0,   0, 1,  // datagram sequence
      0,  0,   0, 0,  // uptime: the test's clock stands still
      0,  0,   0, 2,  // samples: every 2nd of 4 packets
  };
  static const uint8_t kSample[] = {
      0, 0, 0, 1,    // flow sample
      0, 0, 0, 116,  // its length
      0, 0, 0, 0,    // sequence (set below)
      0, 0, 0, 0,    // source id: position 0
      0, 0, 0, 2,    // sampling rate
      0, 0, 0, 0,    // pool: rate x sequence (set below)
      0, 0, 0, 0,    // drops
      0, 0, 0, 0,    // input: none
      0, 0, 0, 0,    // output: none
      0, 0, 0, 1,    // records
      0, 0, 0, 1,    // raw packet header
      0, 0, 0, 76,   // its length
      0, 0, 0, 1,    // Ethernet
      0, 0, 0, 60,   // frame length
      0, 0, 0, 0,    // stripped
      0, 0, 0, 60,   // header length, then the frame
  };
  std::vector<uint8_t> expected(kHeader, kHeader + sizeof kHeader);
  for (uint8_t i = 1; i <= 2; ++i) {
    std::vector<uint8_t> sample(kSample, kSample + sizeof kSample);
    sample[11] = i, sample[23] = uint8_t(2 * i);
    sample.insert(sample.end(), frames[2 * i - 1].begin(), frames[2 * i - 1].end());
    expected.insert(expected.end(), sample.begin(), sample.end());
  }
  ASSERT_EQ(expected.size(), sent[0].size());
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(expected[i], sent[0][i]) << "byte " << i;
}

}  // namespace
}  // namespace wendrel::test
