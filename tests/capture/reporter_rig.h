// A PacketReporter whose datagrams are recorded instead of sent, and read back through the
// independent decoder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "clock.h"
#include "datagram_sink.h"
#include "packet_reporter.h"
#include "sflow_decoder.h"

namespace wendrel::test {

class RecordingSink : public DatagramSink {
 public:
  void open(const std::string&) override {}
  void send(const uint8_t* data, size_t size) override {
    std::lock_guard<std::mutex> lock(mutex_);
    datagrams_.emplace_back(data, data + size);
  }
  std::vector<std::vector<uint8_t>> datagrams() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return datagrams_;
  }
  // The datagrams recorded so far, which are then forgotten.
  std::vector<std::vector<uint8_t>> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(datagrams_, {});
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::vector<uint8_t>> datagrams_;
};

class FixedClock : public Clock {
 public:
  uint64_t nowMs() override { return 5000; }
};

class ReporterRig {
 public:
  FixedClock clock;
  RecordingSink sink;
  PacketReporter reporter{"127.0.0.1", clock, sink};

  // Flushes what is pending and decodes every datagram sent so far; a datagram the
  // decoder refuses fails the test.
  std::vector<DecodedDatagram> datagrams() {
    reporter.flush();
    return decode(sink.datagrams());
  }
  std::vector<DecodedSample> samples() { return samplesOf(datagrams()); }
  // Like samples(), but only those that no earlier takeSamples() returned.
  std::vector<DecodedSample> takeSamples() { return samplesOf(takeDatagrams()); }
  std::vector<DecodedDatagram> takeDatagrams() {
    reporter.flush();
    return decode(sink.take());
  }

 private:
  static std::vector<DecodedDatagram> decode(const std::vector<std::vector<uint8_t>>& recorded) {
    std::vector<DecodedDatagram> out;
    for (const auto& bytes : recorded) {
      std::string error;
      auto decoded = decodeDatagram(bytes, &error);
      EXPECT_TRUE(decoded.has_value()) << error;
      if (decoded)
        out.push_back(std::move(*decoded));
    }
    return out;
  }
  static std::vector<DecodedSample> samplesOf(std::vector<DecodedDatagram> datagrams) {
    std::vector<DecodedSample> out;
    for (auto& d : datagrams) {
      for (auto& s : d.samples)
        out.push_back(std::move(s));
    }
    return out;
  }
};

}  // namespace wendrel::test
