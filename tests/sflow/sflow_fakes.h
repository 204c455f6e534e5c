// Test doubles and packet helpers for the sFlow reporter's tests.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "clock.h"
#include "datagram_sink.h"
#include "packet_reporter.h"

namespace wendrel::test {

class FakeClock : public Clock {
 public:
  explicit FakeClock(uint64_t start = 0) : now(start) {}
  uint64_t nowMs() override {
    ++reads;
    return now;
  }
  uint64_t now;
  int reads = 0;
};

// Keeps every datagram sent. The reporter calls send() under its mutex, so no lock here.
class RecordingSink : public DatagramSink {
 public:
  void open(const std::string& collector) override {
    openedWith = collector;
    if (!openError.empty())
      throw std::runtime_error(openError);
  }
  void send(const uint8_t* data, size_t size) override {
    if (failSendNumber == ++sendCalls)
      throw std::runtime_error(sendError);
    datagrams.emplace_back(data, data + size);
  }
  void close() noexcept override { ++closeCalls; }

  std::string openedWith;
  std::string openError;   // when set, open() throws it
  int failSendNumber = 0;  // the 1-based send() call that throws, 0: none
  std::string sendError = "send_to: Connection refused";
  int sendCalls = 0;
  int closeCalls = 0;
  std::vector<std::vector<uint8_t>> datagrams;
};

inline pcap_pkthdr packetHeader(uint32_t caplen, uint32_t len) {
  pcap_pkthdr header{};
  header.caplen = caplen;
  header.len = len;
  return header;
}

// A frame whose bytes differ from their neighbours and from zero.
inline std::vector<uint8_t> patternFrame(size_t size, uint8_t seed = 1) {
  std::vector<uint8_t> frame(size);
  for (size_t i = 0; i < size; ++i)
    frame[i] = static_cast<uint8_t>(seed + i * 7 + 1);
  return frame;
}

inline void addFrame(PacketReporter& reporter, const std::vector<uint8_t>& frame, uint32_t len,
                     uint32_t rate, uint16_t source) {
  const pcap_pkthdr header = packetHeader(static_cast<uint32_t>(frame.size()), len);
  reporter.addSample(&header, frame.data(), rate, source);
}

// 10.0.0.5 as the capture side hands it over: network byte order in memory.
inline uint32_t networkOrder(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

}  // namespace wendrel::test
