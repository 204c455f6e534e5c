// The capture filter with its sampling step, and the per-packet sampling decision.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "capture_fakes.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

// An IPv4 frame with the given header checksum, numbered in its first four bytes.
std::vector<uint8_t> ipv4Frame(uint32_t number, uint16_t checksum = 0xFFFF) {
  std::vector<uint8_t> f(60, 0);
  f[0] = uint8_t(number >> 24), f[1] = uint8_t(number >> 16), f[2] = uint8_t(number >> 8);
  f[3] = uint8_t(number), f[12] = 0x08, f[14] = 0x45, f[23] = 17;
  f[24] = uint8_t(checksum >> 8), f[25] = uint8_t(checksum);
  return f;
}

// The step k and filter text for each rate and mode; libpcap compiles every text, and the
// program passes exactly the IPv4 packets whose lowest log2(k) checksum bits are all set.
TEST(CaptureFilterTest, FilterTextStepAndWhatTheFilterPasses) {
  const std::tuple<uint32_t, bool, uint16_t, std::string> cases[] = {
      // rate, mode, k, filter
      {32, false, 1, "ip"},
      {0, true, 1, "ip"},
      {2, true, 1, "ip[11] & 0x00 = 0x00"},
      {3, true, 2, "ip[11] & 0x01 = 0x01"},
      {4, true, 2, "ip[11] & 0x01 = 0x01"},
      {32, true, 16, "ip[11] & 0x0F = 0x0F"},
      {33, true, 32, "ip[11] & 0x1F = 0x1F"},
      {100, true, 64, "ip[11] & 0x3F = 0x3F"},
      {512, true, 256, "ip[11] & 0xFF = 0xFF"},
      {513, true, 512, "ip[10:2] & 0x01FF = 0x01FF"},
      {4096, true, 2048, "ip[10:2] & 0x07FF = 0x07FF"},
      {65536, true, 32768, "ip[10:2] & 0x7FFF = 0x7FFF"},
      {4294967295u, true, 32768, "ip[10:2] & 0x7FFF = 0x7FFF"},
  };
  ReporterRig rig;
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, 128);
  for (const auto& [rate, performanceMode, step, filter] : cases) {
    TrafficCollector collector(128, &rig.reporter, 2097152, rate, performanceMode);
    const std::string& text = collector.filterText();
    EXPECT_EQ(filter, text) << "rate " << rate;
    EXPECT_EQ(step, collector.step()) << "rate " << rate;
    bpf_program program{};
    ASSERT_EQ(0, pcap_compile(dead, &program, text.c_str(), 1, 0xFFFFFF)) << pcap_geterr(dead);
    auto passes = [&program](std::vector<uint8_t> frame, uint16_t etherType = 0x0800) {
      frame[12] = uint8_t(etherType >> 8), frame[13] = uint8_t(etherType);
      pcap_pkthdr header{};
      header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
      return pcap_offline_filter(&program, &header, frame.data()) != 0;
    };
    const uint16_t mask = static_cast<uint16_t>(step - 1);
    EXPECT_TRUE(passes(ipv4Frame(1, mask))) << text;
    EXPECT_TRUE(passes(ipv4Frame(1))) << text;
    for (uint16_t bit = 1; bit != 0 && bit <= mask; bit = static_cast<uint16_t>(bit << 1))
      EXPECT_FALSE(passes(ipv4Frame(1, static_cast<uint16_t>(~bit)))) << text << " bit " << bit;
    EXPECT_FALSE(passes(ipv4Frame(1), 0x0806)) << text;  // ARP
    EXPECT_FALSE(passes(ipv4Frame(1), 0x86DD)) << text;  // IPv6
    pcap_freecode(&program);
  }
  pcap_close(dead);
}

SamplingState stateFor(ReporterRig& rig, uint32_t rate, bool performanceMode, uint16_t source) {
  TrafficCollector collector(128, &rig.reporter, 2097152, rate, performanceMode);
  return SamplingState{&rig.reporter, rate, 0, collector.step(), source};
}

// Hands packet number `n` to packetHandler.
void feed(SamplingState& state, uint32_t n) {
  pcap_pkthdr header{};
  header.caplen = header.len = 60;
  const std::vector<uint8_t> frame = ipv4Frame(n);
  TrafficCollector::packetHandler(reinterpret_cast<u_char*>(&state), &header, frame.data());
}

uint32_t numberOf(const DecodedSample& s) {
  return uint32_t(s.header.at(0)) << 24 | uint32_t(s.header.at(1)) << 16 |
         uint32_t(s.header.at(2)) << 8 | s.header.at(3);
}

TEST(SamplingPatternTest, EachInterfaceTakesTheExpectedPackets) {
  // rate, mode, packets, the numbers of those taken (counting from 1)
  const std::tuple<uint32_t, bool, uint32_t, std::vector<uint32_t>> cases[] = {
      {32, true, 12, {2, 4, 6, 8, 10, 12}},
      {100, true, 11, {2, 4, 5, 7, 8, 10, 11}},
      {32, false, 100, {32, 64, 96}},
      {3, true, 7, {2, 3, 5, 6}},
      {1, true, 3, {1, 2, 3}},
      {0, true, 3, {1, 2, 3}},  // every packet, with rate 0 in the samples
      // Past 16 bits: a 16-bit counter never reaches 65536, and a 32-bit one stepping by
      // 32768 wraps on its way to 4294967295.
      {65536, false, 140000, {65536, 131072}},
      {4294967295u, true, 262144, {131072, 262144}},
  };
  for (const auto& [rate, performanceMode, packets, expected] : cases) {
    ReporterRig rig;
    SamplingState first = stateFor(rig, rate, performanceMode, 0);
    SamplingState second = stateFor(rig, rate, performanceMode, 1);
    for (uint32_t n = 1; n <= packets; ++n) {  // two interfaces, each with its own counter
      feed(first, n);
      feed(second, n);
    }
    std::map<uint32_t, std::vector<uint32_t>> taken;  // source -> packet numbers
    for (const DecodedSample& s : rig.samples()) {
      EXPECT_EQ(rate, s.samplingRate);
      taken[s.sourceId].push_back(numberOf(s));
    }
    EXPECT_EQ((std::map<uint32_t, std::vector<uint32_t>>{{0, expected}, {1, expected}}), taken)
        << "rate " << rate;
  }
}

}  // namespace
}  // namespace wendrel::test
