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
std::vector<uint8_t> frame(uint32_t number, uint16_t checksum, uint16_t etherType = 0x0800) {
  std::vector<uint8_t> f(60, 0);
  f[0] = uint8_t(number >> 24), f[1] = uint8_t(number >> 16), f[2] = uint8_t(number >> 8);
  f[3] = uint8_t(number), f[12] = uint8_t(etherType >> 8), f[13] = uint8_t(etherType);
  f[14] = 0x45, f[23] = 17, f[24] = uint8_t(checksum >> 8), f[25] = uint8_t(checksum);
  return f;
}

// Each filter compiles, and passes exactly the IPv4 packets whose lowest log2(k) checksum bits
// are all set. Packet n of an interface is taken when n * k / rate passes a whole number.
TEST(SamplingTest, FilterStepAndTheTakenPacketsOfEachInterface) {
  const std::tuple<uint32_t, bool, uint16_t, std::string> cases[] = {
      {32, false, 1, "ip"},
      {0, true, 1, "ip"},
      {3, true, 2, "ip[11] & 0x01 = 0x01"},
      {4, true, 2, "ip[11] & 0x01 = 0x01"},
      {32, true, 16, "ip[11] & 0x0F = 0x0F"},
      {100, true, 64, "ip[11] & 0x3F = 0x3F"},
      {512, true, 256, "ip[11] & 0xFF = 0xFF"},
      {513, true, 512, "ip[10:2] & 0x01FF = 0x01FF"},
      {4096, true, 2048, "ip[10:2] & 0x07FF = 0x07FF"},
      {65536, false, 1, "ip"},
      {65536, true, 32768, "ip[10:2] & 0x7FFF = 0x7FFF"},
      {4294967295u, true, 32768, "ip[10:2] & 0x7FFF = 0x7FFF"},
  };
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, 128);
  for (const auto& [rate, performanceMode, step, text] : cases) {
    const CaptureFilter filter = buildFilter(rate, performanceMode);
    EXPECT_EQ(text, filter.text);
    EXPECT_EQ(step, filter.step) << text;
    bpf_program program{};
    ASSERT_EQ(0, pcap_compile(dead, &program, filter.text.c_str(), 1, 0xFFFFFF));
    auto passes = [&program](uint16_t checksum, uint16_t etherType = 0x0800) {
      const std::vector<uint8_t> f = frame(1, checksum, etherType);
      const pcap_pkthdr header{{}, 60, 60};
      return pcap_offline_filter(&program, &header, f.data()) != 0;
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
        const std::vector<uint8_t> f = frame(n, 0xFFFF);
        const pcap_pkthdr header{{}, 60, 60};
        packetHandler(reinterpret_cast<u_char*>(&state), &header, f.data());
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
