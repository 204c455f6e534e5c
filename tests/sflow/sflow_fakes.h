// Stand-ins for the reporter's clock and sink, and helpers to feed it and to read back what it
// sent; the capture tests use them too.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>

#include "packet_reporter.h"
#include "sflow_decoder.h"

namespace wendrel::test {

struct FakeClock : Clock {
  uint64_t nowMs() override { return now; }
  uint64_t now = 1000;  // not 0, so an uptime that does not count from construction shows
};

// Locked: the capture tests read it while capture threads send.
struct RecordingSink : DatagramSink {
  void open(const std::string& address) override { collectors = address; }
  void send(const uint8_t* data, size_t size) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (++sendCalls == failSendNumber)
      throw std::runtime_error("send_to: Connection refused");
    sent.emplace_back(data, data + size);
  }
  // The datagrams sent so far; `take` forgets them.
  std::vector<std::vector<uint8_t>> datagrams(bool take = false) {
    std::lock_guard<std::mutex> lock(mutex);
    return take ? std::exchange(sent, {}) : sent;
  }
  int failSendNumber = 0, sendCalls = 0;  // the 1-based send() that throws, 0: none
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> sent;
  std::string collectors;  // as last opened
};

// Bytes that differ from their neighbours and from zero.
inline std::vector<uint8_t> pattern(size_t size, uint8_t seed = 1) {
  std::vector<uint8_t> frame(size);
  for (size_t i = 0; i < size; ++i)
    frame[i] = static_cast<uint8_t>(seed + i * 7 + 1);
  return frame;
}

inline void addFrame(PacketReporter& reporter, const std::vector<uint8_t>& frame, uint32_t len,
                     uint32_t rate = 32, uint16_t source = 0) {
  reporter.addSample({frame.data(), static_cast<uint32_t>(frame.size()), len}, rate, source);
}

// A reporter on a clock that stands still: it sends when a datagram is full or on flush().
template <typename Sink = RecordingSink>
struct BasicRig {
  FakeClock clock;
  Sink sink;
  PacketReporter reporter{"127.0.0.1", clock, sink};

  // Flushes, then decodes what was sent (with `take`, what no earlier take returned); the
  // strict decoder refusing one fails the test.
  std::vector<DecodedDatagram> datagrams(bool take = false) {
    reporter.flush();
    std::vector<DecodedDatagram> out;
    for (const auto& bytes : sink.datagrams(take)) {
      std::string error;
      out.push_back(decodeDatagram(bytes, &error).value_or(DecodedDatagram{}));
      EXPECT_EQ("", error);
    }
    return out;
  }
  std::vector<DecodedSample> samples(bool take = false) {
    std::vector<DecodedSample> out;
    for (const auto& d : datagrams(take))
      out.insert(out.end(), d.samples.begin(), d.samples.end());
    return out;
  }
};
using ReporterRig = BasicRig<>;

}  // namespace wendrel::test
