// The capture filter with its sampling step, checked through libpcap, and the per-packet
// sampling decision on two interfaces.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <map>
#include <tuple>

#include "../sflow/sflow_fakes.h"
#include "sampling.h"

namespace wendrel::test {
namespace {

// An Ethernet frame numbered in its first four bytes, with an IPv4 header checksum.
std::vector<uint8_t> frame(uint32_t n, uint16_t checksum, uint16_t etherType = 0x0800) {
  std::vector<uint8_t> f = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
  f.resize(60);
  f[12] = uint8_t(etherType >> 8), f[13] = uint8_t(etherType), f[14] = 0x45, f[23] = 17;
  f[24] = uint8_t(checksum >> 8), f[25] = uint8_t(checksum);
  return f;
}

// Each filter compiles, and passes exactly the IPv4 packets whose lowest log2(k) checksum bits
// are all set. Packet n of an interface is taken when n * k / rate passes a whole number.
TEST(SamplingTest, FilterStepAndTheTakenPacketsOfEachInterface) {
  const std::tuple<uint32_t, bool, uint16_t, std::string> cases[] = {
      {32, false, 1, "ip"},
      {0, true, 1, "ip"},
      {3, true, 2, "ip[11] & 0x01 = 0x01"},
      {100, true, 64, "ip[11] & 0x3F = 0x3F"},
      {512, true, 256, "ip[11] & 0xFF = 0xFF"},
      {513, true, 512, "ip[10:2] & 0x01FF = 0x01FF"},
      {65536, true, 32768, "ip[10:2] & 0x7FFF = 0x7FFF"},
      {4294967295u, true, 32768, "ip[10:2] & 0x7FFF = 0x7FFF"},
  };
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, 128);
  const pcap_pkthdr header{{}, 60, 60};
  for (const auto& [rate, performanceMode, step, text] : cases) {
    const CaptureFilter filter = buildFilter(rate, performanceMode);
    EXPECT_EQ(std::tuple(text, step), std::tuple(filter.text, filter.step));
    bpf_program program{};
    ASSERT_EQ(0, pcap_compile(dead, &program, filter.text.c_str(), 1, 0xFFFFFF));
    auto passes = [&](uint16_t checksum, uint16_t etherType = 0x0800) {
      return pcap_offline_filter(&program, &header, frame(1, checksum, etherType).data()) != 0;
    };
    EXPECT_TRUE(passes(uint16_t(step - 1)) && passes(0xFFFF)) << text;
    for (uint16_t bit = 1; bit != 0 && bit < step; bit = uint16_t(bit << 1))
      EXPECT_FALSE(passes(uint16_t(~bit))) << text << " bit " << bit;
    EXPECT_FALSE(passes(0xFFFF, 0x0806) || passes(0xFFFF, 0x86DD)) << text;  // ARP, IPv6
    pcap_freecode(&program);

    ReporterRig rig;
    SamplingState interfaces[2] = {{&rig.reporter, rate, 0, step, 0},
                                   {&rig.reporter, rate, 0, step, 1}};
    std::map<uint32_t, std::vector<uint32_t>> expected, taken;  // source -> packet numbers
    for (uint32_t n = 1; n <= (rate == 0 ? 3 : 2 * (rate / step + 1)); ++n) {
      for (SamplingState& state : interfaces) {
        packetHandler(reinterpret_cast<u_char*>(&state), &header, frame(n, 0xFFFF).data());
        if (rate == 0 || uint64_t(n) * step / rate != uint64_t(n - 1) * step / rate)
          expected[state.sourceIndex].push_back(n);
      }
    }
    for (const DecodedSample& s : rig.samples()) {
      EXPECT_EQ(rate, s.samplingRate);
      taken[s.sourceId].push_back(s.header[0] << 24 | s.header[1] << 16 | s.header[2] << 8 |
                                  s.header[3]);
    }
    EXPECT_LE(2u, expected[1].size()) << text;
    EXPECT_EQ(expected, taken) << text;
  }
  pcap_close(dead);
}

}  // namespace
}  // namespace wendrel::test
