// Feeds the reporter arbitrary packet headers, rates, source indices and bytes, and checks
// every datagram it sends with the independent decoder: at most 1300 bytes, whole samples,
// consistent lengths, zero padding, and each sample faithful to what was added.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "packet_reporter.h"
#include "sflow_decoder.h"

namespace {

struct Expected {
  uint32_t len, caplen, rate;
  uint16_t source;
  std::vector<uint8_t> bytes;
};

class FakeClock : public wendrel::Clock {
 public:
  uint64_t nowMs() override { return now += 7; }
  uint64_t now = 0;
};

class CheckingSink : public wendrel::DatagramSink {
 public:
  void open(const std::string&) override {}
  void send(const uint8_t* data, size_t size) override {
    std::string error;
    auto datagram = wendrel::test::decodeDatagram(data, size, &error);
    if (!datagram)
      crash("undecodable datagram: " + error);
    if (datagram->sequence != ++datagramSequence)
      crash("datagram sequence skipped");
    if (datagram->samples.empty())
      crash("empty datagram sent");
    for (const auto& s : datagram->samples)
      check(s);
  }

  void check(const wendrel::test::DecodedSample& s) {
    if (pending.empty())
      crash("sample that was never added");
    const Expected e = pending.front();
    pending.pop_front();
    const uint32_t h = e.caplen < 128 ? e.caplen : 128;
    if (s.sourceId != e.source || s.samplingRate != e.rate || s.frameLength != e.len ||
        s.header.size() != h || (h > 0 && std::memcmp(s.header.data(), e.bytes.data(), h) != 0))
      crash("sample differs from the packet added");
    if (s.stripped != (e.len >= e.caplen ? e.len - e.caplen : 0))
      crash("wrong stripped");
    // Per source: consecutive sequence numbers with pool = rate x sequence, or a restart at 1.
    auto& last = lastSequence[e.source];
    if (s.sequence != last + 1 && s.sequence != 1)
      crash("per-source sequence broken");
    if (s.sequence != 1 && s.samplePool != uint32_t(e.rate * s.sequence))
      crash("wrong pool");
    last = s.sequence;
  }

  [[noreturn]] static void crash(const std::string& why) {
    fprintf(stderr, "invariant broken: %s\n", why.c_str());
    abort();
  }

  uint32_t datagramSequence = 0;
  std::deque<Expected> pending;
  std::map<uint16_t, uint32_t> lastSequence;
};

uint32_t take32(const uint8_t*& data, size_t& size) {
  uint32_t v = 0;
  for (int i = 0; i < 4 && size > 0; ++i, ++data, --size)
    v = v << 8 | *data;
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FakeClock clock;
  CheckingSink sink;
  wendrel::PacketReporter reporter("192.0.2.1", clock, sink);
  // A few sources and rates at most per run, so sequences and flushes interleave.
  while (size >= 12) {
    wendrel::PacketView header;
    header.capturedLength = take32(data, size);
    header.wireLength = take32(data, size);
    const uint32_t control = take32(data, size);
    Expected e{header.wireLength, header.capturedLength, control >> 8, uint16_t(control & 0x3), {}};
    if (control & 0x80)
      e.rate = control & 0x7f;  // small rates, 0 among them
    uint8_t packet[128] = {};
    // The packet's bytes come next in the input, as many as the reporter may copy.
    size_t n = header.capturedLength < sizeof packet ? header.capturedLength : sizeof packet;
    if (n > size)
      n = size;
    std::memcpy(packet, data, n);
    data += n;
    size -= n;
    e.bytes.assign(packet, packet + sizeof packet);
    sink.pending.push_back(e);
    header.bytes = packet;
    reporter.addSample(header, e.rate, e.source);
    if (control & 0x40)
      reporter.flush();
  }
  reporter.flush();
  if (!sink.pending.empty())
    CheckingSink::crash("samples left unsent after flush");
  return 0;
}
