// The exact bytes of the datagram header and of flow samples of every shape.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "packet_reporter.h"
#include "sflow_fakes.h"

namespace wendrel::test {
namespace {

// Ethernet II, IPv4 10.0.0.5 -> 192.0.2.10, UDP 54321 -> 53, 18 payload bytes.
static const uint8_t kFrame60[60] = {
    0x00, 0x1b, 0x21, 0x3a, 0x4c, 0x5e, 0x52, 0x54, 0x00, 0x12, 0x34, 0x56, 0x08, 0x00, 0x45,
    0x00, 0x00, 0x2e, 0x1c, 0x46, 0x40, 0x00, 0x40, 0x11, 0x00, 0x00, 0x0a, 0x00, 0x00, 0x05,
    0xc0, 0x00, 0x02, 0x0a, 0xd4, 0x31, 0x00, 0x35, 0x00, 0x1a, 0x00, 0x00, 0x12, 0x34, 0x01,
    0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts)
    out.insert(out.end(), part.begin(), part.end());
  return out;
}

template <size_t N>
std::vector<uint8_t> bytesOf(const uint8_t (&array)[N]) {
  return std::vector<uint8_t>(array, array + N);
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, size_t offset, size_t size) {
  if (offset + size > bytes.size())
    return {};
  return std::vector<uint8_t>(bytes.begin() + offset, bytes.begin() + offset + size);
}

void expectBytes(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(expected[i], actual[i]) << "byte " << i;
}

TEST(PacketReporterGolden, DatagramHeaderAndSixtyByteSample) {
  static const uint8_t kExpectedHeader[] = {
      0x00, 0x00, 0x00, 0x05,  // version 5
      0x00, 0x00, 0x00, 0x01,  // agent address type IPv4
      0x0a, 0x00, 0x00, 0x05,  // agent address 10.0.0.5
      0x00, 0x00, 0x00, 0x00,  // sub-agent id
      0x00, 0x00, 0x00, 0x01,  // datagram sequence number
      0x00, 0x00, 0x13, 0x88,  // uptime 5000 ms
      0x00, 0x00, 0x00, 0x0a,  // number of samples
  };
  static const uint8_t kExpectedSample[] = {
      0x00, 0x00, 0x00, 0x01,  // sample type: flow sample
      0x00, 0x00, 0x00, 0x74,  // sample length 116
      0x00, 0x00, 0x00, 0x01,  // sample sequence number
      0x00, 0x00, 0x00, 0x02,  // source id: type 0, index 2
      0x00, 0x00, 0x00, 0x20,  // sampling rate 32
      0x00, 0x00, 0x00, 0x20,  // sample pool 32
      0x00, 0x00, 0x00, 0x00,  // drops
      0x00, 0x00, 0x00, 0x00,  // input interface
      0x00, 0x00, 0x00, 0x00,  // output interface
      0x00, 0x00, 0x00, 0x01,  // number of flow records
      0x00, 0x00, 0x00, 0x01,  // record type: raw packet header
      0x00, 0x00, 0x00, 0x4c,  // record length 76
      0x00, 0x00, 0x00, 0x01,  // header protocol: Ethernet
      0x00, 0x00, 0x00, 0x3c,  // frame length 60
      0x00, 0x00, 0x00, 0x00,  // stripped
      0x00, 0x00, 0x00, 0x3c,  // header length 60, no padding
  };
  FakeClock clock(7'000'000);
  RecordingSink sink;
  PacketReporter reporter("collector", clock, sink);
  reporter.setAgentAddress(networkOrder(10, 0, 0, 5));
  const std::vector<uint8_t> frame = bytesOf(kFrame60);
  for (int i = 0; i < 10; ++i)
    addFrame(reporter, frame, 60, 32, 2);
  clock.now += 5000;
  reporter.flush();

  ASSERT_EQ(1u, sink.datagrams.size());
  const std::vector<uint8_t>& datagram = sink.datagrams[0];
  ASSERT_EQ(28u + 10 * 124, datagram.size());
  expectBytes(bytesOf(kExpectedHeader), slice(datagram, 0, 28));
  expectBytes(concat({bytesOf(kExpectedSample), frame}), slice(datagram, 28, 124));
}

// A 70-byte frame (padded), a 1514-byte frame captured to 128 bytes, and an empty capture,
// written over a buffer that earlier datagrams left full of 0xff so padding must be written.
TEST(PacketReporterGolden, SamplesOfEveryShape) {
  static const uint8_t kExpected70[] = {
      0x00, 0x00, 0x00, 0x01,  // sample type: flow sample
      0x00, 0x00, 0x00, 0x80,  // sample length 128
      0x00, 0x00, 0x00, 0x01,  // sample sequence number (first of source 0)
      0x00, 0x00, 0x00, 0x00,  // source id 0
      0x00, 0x00, 0x00, 0x20,  // sampling rate 32
      0x00, 0x00, 0x00, 0x20,  // sample pool 32
      0x00, 0x00, 0x00, 0x00,  // drops
      0x00, 0x00, 0x00, 0x00,  // input interface
      0x00, 0x00, 0x00, 0x00,  // output interface
      0x00, 0x00, 0x00, 0x01,  // number of flow records
      0x00, 0x00, 0x00, 0x01,  // record type: raw packet header
      0x00, 0x00, 0x00, 0x58,  // record length 88
      0x00, 0x00, 0x00, 0x01,  // header protocol: Ethernet
      0x00, 0x00, 0x00, 0x46,  // frame length 70
      0x00, 0x00, 0x00, 0x00,  // stripped
      0x00, 0x00, 0x00, 0x46,  // header length 70, 2 bytes of padding follow the frame
  };
  static const uint8_t kExpected1514[] = {
      0x00, 0x00, 0x00, 0x01,  // sample type: flow sample
      0x00, 0x00, 0x00, 0xb8,  // sample length 184
      0x00, 0x00, 0x00, 0x01,  // sample sequence number (first of source 1)
      0x00, 0x00, 0x00, 0x01,  // source id 1
      0x00, 0x00, 0x00, 0x20,  // sampling rate 32
      0x00, 0x00, 0x00, 0x20,  // sample pool 32
      0x00, 0x00, 0x00, 0x00,  // drops
      0x00, 0x00, 0x00, 0x00,  // input interface
      0x00, 0x00, 0x00, 0x00,  // output interface
      0x00, 0x00, 0x00, 0x01,  // number of flow records
      0x00, 0x00, 0x00, 0x01,  // record type: raw packet header
      0x00, 0x00, 0x00, 0x90,  // record length 144
      0x00, 0x00, 0x00, 0x01,  // header protocol: Ethernet
      0x00, 0x00, 0x05, 0xea,  // frame length 1514
      0x00, 0x00, 0x05, 0x6a,  // stripped 1386
      0x00, 0x00, 0x00, 0x80,  // header length 128, no padding
  };
  static const uint8_t kExpectedEmpty[] = {
      0x00, 0x00, 0x00, 0x01,  // sample type: flow sample
      0x00, 0x00, 0x00, 0x38,  // sample length 56
      0x00, 0x00, 0x00, 0x02,  // sample sequence number (second of source 0)
      0x00, 0x00, 0x00, 0x00,  // source id 0
      0x00, 0x00, 0x00, 0x20,  // sampling rate 32
      0x00, 0x00, 0x00, 0x40,  // sample pool 64
      0x00, 0x00, 0x00, 0x00,  // drops
      0x00, 0x00, 0x00, 0x00,  // input interface
      0x00, 0x00, 0x00, 0x00,  // output interface
      0x00, 0x00, 0x00, 0x01,  // number of flow records
      0x00, 0x00, 0x00, 0x01,  // record type: raw packet header
      0x00, 0x00, 0x00, 0x10,  // record length 16
      0x00, 0x00, 0x00, 0x01,  // header protocol: Ethernet
      0x00, 0x00, 0x00, 0x3c,  // frame length 60
      0x00, 0x00, 0x00, 0x3c,  // stripped 60
      0x00, 0x00, 0x00, 0x00,  // header length 0, nothing follows
  };
  FakeClock clock;
  RecordingSink sink;
  PacketReporter reporter("collector", clock, sink);
  const std::vector<uint8_t> ones(128, 0xff);
  for (int i = 0; i < 6; ++i)
    addFrame(reporter, ones, 128, 1, 9);
  reporter.flush();

  const std::vector<uint8_t> frame70 = patternFrame(70);
  const std::vector<uint8_t> frame1514 = patternFrame(128, 3);
  addFrame(reporter, frame70, 70, 32, 0);
  addFrame(reporter, frame1514, 1514, 32, 1);
  addFrame(reporter, {}, 60, 32, 0);
  reporter.flush();

  ASSERT_EQ(2u, sink.datagrams.size());
  const std::vector<uint8_t>& datagram = sink.datagrams[1];
  ASSERT_EQ(28u + 136 + 192 + 64, datagram.size());
  expectBytes(concat({bytesOf(kExpected70), frame70, {0x00, 0x00}}), slice(datagram, 28, 136));
  expectBytes(concat({bytesOf(kExpected1514), frame1514}), slice(datagram, 164, 192));
  expectBytes(bytesOf(kExpectedEmpty), slice(datagram, 356, 64));
}

}  // namespace
}  // namespace wendrel::test
