// How samples become datagrams: flush boundaries, sequence numbers and pools per source,
// flush(), untrusted capture lengths, uptime, send failures and concurrent callers.
#include "packet_reporter.h"

#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "sflow_decoder.h"
#include "sflow_fakes.h"

namespace wendrel::test {
namespace {

class PacketReporterTest : public ::testing::Test {
 protected:
  DecodedDatagram decoded(size_t index) {
    std::string error;
    auto datagram = decodeDatagram(sink.datagrams.at(index), &error);
    EXPECT_TRUE(datagram.has_value()) << error;
    return datagram.value_or(DecodedDatagram{});
  }
  void add(uint32_t caplen, uint32_t len, uint32_t rate = 32, uint16_t source = 0) {
    const std::vector<uint8_t> frame = patternFrame(caplen);
    const pcap_pkthdr header = packetHeader(caplen, len);
    reporter.addSample(&header, frame.data(), rate, source);
  }

  FakeClock clock{1000};
  RecordingSink sink;
  PacketReporter reporter{"192.0.2.10", clock, sink};
};

TEST_F(PacketReporterTest, FlushesWhenTheNextSampleWouldPassThirteenHundredBytes) {
  // Samples of 192 bytes: six make 1180 bytes, the seventh does not fit.
  for (int i = 0; i < 6; ++i)
    add(200, 1514);
  EXPECT_TRUE(sink.datagrams.empty());
  add(200, 1514);
  ASSERT_EQ(1u, sink.datagrams.size());
  EXPECT_EQ(1180u, sink.datagrams[0].size());
  EXPECT_EQ(6u, decoded(0).samples.size());

  // Samples of 124 bytes: ten make 1268 bytes, the eleventh does not fit.
  sink.datagrams.clear();
  reporter.flush();
  sink.datagrams.clear();
  for (int i = 0; i < 10; ++i)
    add(60, 60);
  EXPECT_TRUE(sink.datagrams.empty());
  add(60, 60);
  ASSERT_EQ(1u, sink.datagrams.size());
  EXPECT_EQ(1268u, sink.datagrams[0].size());
  EXPECT_EQ(10u, decoded(0).samples.size());
}

TEST_F(PacketReporterTest, SampleEndingExactlyOnThirteenHundredBytesStays) {
  // 28 + 6 * 192 + 120 = 1300: the 56-byte frame fills the datagram without a flush.
  for (int i = 0; i < 6; ++i)
    add(128, 128);
  add(56, 56);
  EXPECT_TRUE(sink.datagrams.empty());
  add(0, 60);
  ASSERT_EQ(1u, sink.datagrams.size());
  EXPECT_EQ(1300u, sink.datagrams[0].size());
  EXPECT_EQ(7u, decoded(0).samples.size());

  // One byte more (57 bytes pad to 60, a 124-byte sample) would make 1304: flushed first.
  reporter.flush();
  sink.datagrams.clear();
  for (int i = 0; i < 6; ++i)
    add(128, 128);
  add(57, 57);
  ASSERT_EQ(1u, sink.datagrams.size());
  EXPECT_EQ(1180u, sink.datagrams[0].size());
}

TEST_F(PacketReporterTest, SequencesAndPoolsAreKeptPerSource) {
  const uint16_t order[] = {0, 1, 0, 0, 1, 7};
  for (uint16_t source : order)
    add(60, 60, 32, source);
  reporter.flush();
  for (int i = 0; i < 3; ++i)
    add(60, 60, 32, 1);
  reporter.flush();

  ASSERT_EQ(2u, sink.datagrams.size());
  const DecodedDatagram first = decoded(0);
  const DecodedDatagram second = decoded(1);
  EXPECT_EQ(1u, first.sequence);
  EXPECT_EQ(2u, second.sequence);
  std::vector<std::pair<uint32_t, uint32_t>> seen;  // (source, sequence)
  for (const auto* d : {&first, &second})
    for (const auto& s : d->samples) {
      seen.emplace_back(s.sourceId, s.sequence);
      EXPECT_EQ(32u * s.sequence, s.samplePool);
    }
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {0, 1}, {1, 1}, {0, 2}, {0, 3}, {1, 2}, {7, 1}, {1, 3}, {1, 4}, {1, 5}};
  EXPECT_EQ(expected, seen);
}

TEST_F(PacketReporterTest, PoolWrapRestartsOnlyThatSource) {
  reporter.presetSource(3, 134217726, 32u * 134217726u);
  for (int i = 0; i < 3; ++i)
    add(60, 60, 32, 3);
  add(60, 60, 32, 4);
  reporter.flush();

  const auto samples = decoded(0).samples;
  ASSERT_EQ(4u, samples.size());
  EXPECT_EQ(134217727u, samples[0].sequence);
  EXPECT_EQ(0xffffffe0u, samples[0].samplePool);  // 2^32 - 32
  EXPECT_EQ(1u, samples[1].sequence);             // 32 * 134217728 wraps to 0
  EXPECT_EQ(32u, samples[1].samplePool);
  EXPECT_EQ(2u, samples[2].sequence);
  EXPECT_EQ(64u, samples[2].samplePool);
  EXPECT_EQ(1u, samples[3].sequence);  // another source, untouched by the wrap
  EXPECT_EQ(32u, samples[3].samplePool);
}

TEST_F(PacketReporterTest, RateZeroNeverWraps) {
  reporter.presetSource(0, 134217726, 0);
  for (int i = 0; i < 3; ++i)
    add(60, 60, 0, 0);
  reporter.flush();
  const auto samples = decoded(0).samples;
  ASSERT_EQ(3u, samples.size());
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(134217727u + i, samples[i].sequence);
    EXPECT_EQ(0u, samples[i].samplingRate);
    EXPECT_EQ(0u, samples[i].samplePool);
  }
}

TEST_F(PacketReporterTest, FlushSendsPendingSamplesAndNothingWhenEmpty) {
  reporter.flush();
  EXPECT_EQ(0, sink.sendCalls);

  add(60, 60);
  add(70, 70);
  reporter.flush();
  reporter.flush();
  ASSERT_EQ(1u, sink.datagrams.size());
  EXPECT_EQ(1u, decoded(0).sequence);  // the empty flushes used no number
  EXPECT_EQ((std::array<uint8_t, 4>{0, 0, 0, 0}), decoded(0).agentAddress);  // none handed over
  EXPECT_EQ(2u, decoded(0).samples.size());

  add(60, 60);
  reporter.flush();
  ASSERT_EQ(2u, sink.datagrams.size());
  EXPECT_EQ(2u, decoded(1).sequence);
  EXPECT_EQ(1u, decoded(1).samples.size());
}

TEST(PacketReporterLifetime, DestructionSendsNothingAndClosesOnlyAnOpenedSink) {
  FakeClock clock;
  RecordingSink sink;
  {
    PacketReporter reporter("collector", clock, sink);
    EXPECT_TRUE(reporter.isInitialized());
    EXPECT_EQ("collector", sink.openedWith);
    const std::vector<uint8_t> frame = patternFrame(60);
    addFrame(reporter, frame, 60, 32, 0);
  }
  EXPECT_EQ(0, sink.sendCalls);
  EXPECT_EQ(1, sink.closeCalls);

  RecordingSink failing;
  failing.openError = "resolve: Host not found (authoritative)";
  { PacketReporter reporter("collector", clock, failing); }
  EXPECT_EQ(0, failing.closeCalls);
}

TEST_F(PacketReporterTest, CapturedLengthBeyondWireLengthIsNotTrusted) {
  add(100, 60);   // all 100 captured bytes copied, nothing stripped
  add(200, 150);  // at most 128 copied
  add(200, 1514);
  reporter.flush();
  const auto samples = decoded(0).samples;
  ASSERT_EQ(3u, samples.size());
  EXPECT_EQ(60u, samples[0].frameLength);
  EXPECT_EQ(0u, samples[0].stripped);
  EXPECT_EQ(patternFrame(100), samples[0].header);
  EXPECT_EQ(150u, samples[1].frameLength);
  EXPECT_EQ(0u, samples[1].stripped);
  EXPECT_EQ(128u, samples[1].header.size());
  // More than 128 captured: stripped counts from the captured length, not from 128.
  EXPECT_EQ(1314u, samples[2].stripped);
}

TEST_F(PacketReporterTest, UptimeCountsFromConstructionOnTheClockReadOncePerDatagram) {
  EXPECT_EQ(1, clock.reads);
  clock.now = 1000 + 5000;
  for (int i = 0; i < 25; ++i)
    add(60, 60);  // two full datagrams sent, five pending
  clock.now = 1000 + (uint64_t{1} << 32) + 7;
  reporter.flush();
  ASSERT_EQ(3u, sink.datagrams.size());
  EXPECT_EQ(1 + 3, clock.reads);
  EXPECT_EQ(5000u, decoded(0).uptimeMs);
  EXPECT_EQ(5000u, decoded(1).uptimeMs);
  EXPECT_EQ(7u, decoded(2).uptimeMs);  // low 32 bits after 2^32 ms
}

TEST_F(PacketReporterTest, FailedSendIsLoggedAndUsesUpItsSequenceNumber) {
  LogCapture log("PacketReporter");
  sink.failSendNumber = 2;
  for (int i = 0; i < 18; ++i)
    add(128, 128);  // datagrams 1 and 2 leave, 6 samples pending
  reporter.flush();

  EXPECT_EQ(1u, log.count(log4cplus::ERROR_LOG_LEVEL,
                          "Failed to send sFlow packet: send_to: Connection refused"));
  ASSERT_EQ(2u, sink.datagrams.size());
  EXPECT_EQ(1u, decoded(0).sequence);
  EXPECT_EQ(3u, decoded(1).sequence);
  // The sample that forced the failed send opens the next datagram.
  EXPECT_EQ(13u, decoded(1).samples.front().sequence);
  EXPECT_EQ(6u, decoded(1).samples.size());
}

// Two capture threads and the service's once-a-second flush at the same time.
TEST_F(PacketReporterTest, ConcurrentCallersGiveWholeSamplesAndConsecutiveSequences) {
  constexpr uint32_t kPerThread = 4000;
  std::atomic<bool> done{false};
  auto capture = [this](uint16_t source) {
    for (uint32_t i = 0; i < kPerThread; ++i)
      add(i % 140, 1514, 32, source);
  };
  std::thread flusher([&] {
    while (!done.load()) {
      reporter.flush();
      std::this_thread::yield();
    }
  });
  std::thread first(capture, uint16_t{0});
  std::thread second(capture, uint16_t{1});
  reporter.setAgentAddress(networkOrder(10, 0, 0, 5));
  first.join();
  second.join();
  done = true;
  flusher.join();
  reporter.flush();

  std::map<uint32_t, uint32_t> lastSequence;
  uint32_t samples = 0;
  for (size_t i = 0; i < sink.datagrams.size(); ++i) {
    const DecodedDatagram d = decoded(i);  // strict: whole samples only
    EXPECT_EQ(i + 1, d.sequence);
    EXPECT_FALSE(d.samples.empty());
    for (const auto& s : d.samples) {
      EXPECT_EQ(lastSequence[s.sourceId] + 1, s.sequence) << "source " << s.sourceId;
      lastSequence[s.sourceId] = s.sequence;
      ++samples;
    }
  }
  EXPECT_EQ(2 * kPerThread, samples);
  EXPECT_EQ(kPerThread, lastSequence[0]);
  EXPECT_EQ(kPerThread, lastSequence[1]);
}

}  // namespace
}  // namespace wendrel::test
