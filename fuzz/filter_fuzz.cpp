// Builds the capture filter and sampling step for arbitrary rates and modes and checks them:
// the filter compiles for an Ethernet handle, its mask and the step agree (mask = k - 1, k a
// power of two <= 32768 below the rate), the compiled program passes exactly the IPv4
// packets whose checksum bits under the mask are all set, and the callback turns M packets
// into floor(M * k / rate) samples, each carrying the configured rate.
#include <pcap/pcap.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "packet_reporter.h"
#include "sampling.h"
#include "sflow_decoder.h"

namespace {

[[noreturn]] void crash(const char* why, uint32_t rate, bool performance,
                        const std::string& filter) {
  fprintf(stderr, "invariant broken: %s (rate %" PRIu32 ", performance %d, filter \"%s\")\n", why,
          rate, performance ? 1 : 0, filter.c_str());
  abort();
}

class NullClock : public wendrel::Clock {
 public:
  uint64_t nowMs() override { return 0; }
};

// Counts the samples of every datagram and checks the rate each one carries.
class CountingSink : public wendrel::DatagramSink {
 public:
  void open(const std::string&) override {}
  void send(const uint8_t* data, size_t size) override {
    const auto datagram = wendrel::test::decodeDatagram(data, size);
    if (!datagram) {
      fprintf(stderr, "invariant broken: undecodable datagram\n");
      abort();
    }
    for (const auto& s : datagram->samples) {
      if (s.samplingRate != expectedRate)
        wrongRate = true;
      ++samples;
    }
  }
  uint32_t expectedRate = 0;
  uint64_t samples = 0;
  bool wrongRate = false;
};

pcap_t* deadEthernet() {
  static pcap_t* handle = pcap_open_dead(DLT_EN10MB, 128);
  return handle;
}

// An Ethernet frame with an IPv4 header (or another EtherType) whose checksum is `checksum`.
void frame(uint8_t (&bytes)[64], bool ipv4, uint16_t checksum) {
  std::memset(bytes, 0, sizeof bytes);
  bytes[12] = ipv4 ? 0x08 : 0x86;
  bytes[13] = ipv4 ? 0x00 : 0xDD;
  bytes[14] = 0x45;  // version 4, 20-byte header
  bytes[17] = 50;    // total length
  bytes[22] = 64;    // ttl
  bytes[23] = 17;    // udp
  bytes[24] = static_cast<uint8_t>(checksum >> 8);
  bytes[25] = static_cast<uint8_t>(checksum);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7)
    return 0;
  const uint32_t rate =
      uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3];
  const bool performance = (data[4] & 1) != 0;
  const uint32_t packets = (uint32_t(data[5]) << 8 | data[6]) & 0x3FFF;
  data += 7;
  size -= 7;

  const wendrel::CaptureFilter built = wendrel::buildFilter(rate, performance);
  const std::string& filter = built.text;
  const uint32_t k = built.step;

  // The step: 1 without preselection, else the largest power of two below the rate, capped.
  if (k == 0 || (k & (k - 1)) != 0 || k > 32768)
    crash("step is no power of two <= 32768", rate, performance, filter);
  if (!performance || rate == 0) {
    if (filter != "ip" || k != 1)
      crash("no preselection expected", rate, performance, filter);
  } else if (rate <= 2) {
    if (k != 1)
      crash("rates 1 and 2 take step 1", rate, performance, filter);
  } else {
    if (k >= rate)
      crash("step not below the rate", rate, performance, filter);
    if (uint64_t(2) * k < rate && k != 32768)
      crash("step not the largest below the rate", rate, performance, filter);
  }

  // The mask in the text, printed twice, is k - 1.
  unsigned mask = 0, value = 0;
  bool twoBytes = false;
  if (filter != "ip") {
    int consumed = 0;
    if (std::sscanf(filter.c_str(), "ip[11] & 0x%2X = 0x%2X%n", &mask, &value, &consumed) == 2 &&
        size_t(consumed) == filter.size() && k <= 256) {
      twoBytes = false;
    } else if (std::sscanf(filter.c_str(), "ip[10:2] & 0x%4X = 0x%4X%n", &mask, &value,
                           &consumed) == 2 &&
               size_t(consumed) == filter.size()) {
      twoBytes = true;
    } else {
      crash("filter text not understood", rate, performance, filter);
    }
    if (mask != value || mask != k - 1)
      crash("mask and step disagree", rate, performance, filter);
  }

  bpf_program program{};
  if (pcap_compile(deadEthernet(), &program, filter.c_str(), 1, 0xFFFFFF) != 0)
    crash("filter does not compile", rate, performance, filter);

  // The program passes exactly the IPv4 packets whose checksum bits under the mask are set.
  uint8_t bytes[64];
  pcap_pkthdr header{};
  header.caplen = header.len = sizeof bytes;
  for (size_t i = 0; i + 1 < size && i < 64; i += 2) {
    const uint16_t checksum = static_cast<uint16_t>(data[i] << 8 | data[i + 1]);
    const unsigned tested = twoBytes ? checksum : (checksum & 0xFF);
    frame(bytes, true, checksum);
    const bool passes = pcap_offline_filter(&program, &header, bytes) != 0;
    if (passes != ((tested & mask) == mask))
      crash("filter decides wrongly", rate, performance, filter);
    frame(bytes, false, checksum);
    if (pcap_offline_filter(&program, &header, bytes) != 0)
      crash("filter passes a packet that is not IPv4", rate, performance, filter);
  }
  pcap_freecode(&program);

  // Each packet that reaches the callback counts k; every time the count reaches the rate a
  // sample is taken: M packets give floor(M * k / rate) samples, all with the rate.
  // One reporter for the whole run: its per-source table is large, and sequences do not
  // matter here.
  static NullClock clock;
  static CountingSink sink;
  static wendrel::PacketReporter reporter("192.0.2.1", clock, sink);
  sink.expectedRate = rate;
  sink.samples = 0;
  sink.wrongRate = false;
  wendrel::SamplingState state;
  state.reporter = &reporter;
  state.samplingRate = rate;
  state.step = static_cast<uint16_t>(k);
  frame(bytes, true, 0xFFFF);
  for (uint32_t i = 0; i < packets; ++i)
    wendrel::packetHandler(reinterpret_cast<u_char*>(&state), &header, bytes);
  reporter.flush();
  const uint64_t expected = rate == 0 ? packets : uint64_t(packets) * k / rate;
  if (sink.samples != expected)
    crash("sample count differs from floor(M * k / rate)", rate, performance, filter);
  if (sink.wrongRate)
    crash("sample carries another rate", rate, performance, filter);
  return 0;
}
