// The capture filter with its sampling step, and the per-packet sampling decision.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdint>
#include <string>
#include <vector>

#include "reporter_rig.h"
#include "traffic_collector.h"

namespace wendrel::test {
namespace {

struct FilterCase {
  uint32_t rate;
  bool performanceMode;
  uint16_t step;
  const char* filter;
};

const FilterCase kFilterTable[] = {
    {32, false, 1, "ip"},
    {4294967295u, false, 1, "ip"},
    {0, true, 1, "ip"},
    {0, false, 1, "ip"},
    {1, true, 1, "ip[11] & 0x00 = 0x00"},
    {2, true, 1, "ip[11] & 0x00 = 0x00"},
    {3, true, 2, "ip[11] & 0x01 = 0x01"},
    {4, true, 2, "ip[11] & 0x01 = 0x01"},
    {5, true, 4, "ip[11] & 0x03 = 0x03"},
    {32, true, 16, "ip[11] & 0x0F = 0x0F"},
    {33, true, 32, "ip[11] & 0x1F = 0x1F"},
    {100, true, 64, "ip[11] & 0x3F = 0x3F"},
    {256, true, 128, "ip[11] & 0x7F = 0x7F"},
    {512, true, 256, "ip[11] & 0xFF = 0xFF"},
    {513, true, 512, "ip[10:2] & 0x01FF = 0x01FF"},
    {4096, true, 2048, "ip[10:2] & 0x07FF = 0x07FF"},
    {65536, true, 32768, "ip[10:2] & 0x7FFF = 0x7FFF"},
    {65537, true, 32768, "ip[10:2] & 0x7FFF = 0x7FFF"},
    {4294967295u, true, 32768, "ip[10:2] & 0x7FFF = 0x7FFF"},
};

// An Ethernet frame carrying an IPv4 header with the given checksum; bytes 0-3 (the
// destination MAC) number the packet so a sample's header tells which packet it was.
std::vector<uint8_t> ipv4Frame(uint32_t number, uint16_t checksum = 0xFFFF) {
  std::vector<uint8_t> frame(60, 0);
  frame[0] = static_cast<uint8_t>(number >> 24);
  frame[1] = static_cast<uint8_t>(number >> 16);
  frame[2] = static_cast<uint8_t>(number >> 8);
  frame[3] = static_cast<uint8_t>(number);
  frame[12] = 0x08;  // EtherType IPv4
  frame[13] = 0x00;
  frame[14] = 0x45;  // version 4, header length 5
  frame[16] = 0;
  frame[17] = 46;  // total length
  frame[22] = 64;  // TTL
  frame[23] = 17;  // UDP
  frame[24] = static_cast<uint8_t>(checksum >> 8);
  frame[25] = static_cast<uint8_t>(checksum);
  return frame;
}

uint32_t numberOf(const DecodedSample& sample) {
  return uint32_t(sample.header.at(0)) << 24 | uint32_t(sample.header.at(1)) << 16 |
         uint32_t(sample.header.at(2)) << 8 | sample.header.at(3);
}

TEST(CaptureFilterTest, StepAndFilterTextFollowTheRateAndMode) {
  ReporterRig rig;
  for (const FilterCase& c : kFilterTable) {
    TrafficCollector collector(128, &rig.reporter, 2097152, c.rate, c.performanceMode);
    EXPECT_EQ(collector.filterText(), c.filter) << "rate " << c.rate;
    EXPECT_EQ(collector.step(), c.step) << "rate " << c.rate;
  }
}

// libpcap itself compiles every filter text, and the compiled program passes exactly the
// IPv4 packets whose lowest log2(k) checksum bits are set.
TEST(CaptureFilterTest, FiltersCompileAndSelectByChecksumBits) {
  ReporterRig rig;
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, 128);
  ASSERT_NE(dead, nullptr);
  for (const FilterCase& c : kFilterTable) {
    TrafficCollector collector(128, &rig.reporter, 2097152, c.rate, c.performanceMode);
    bpf_program program{};
    ASSERT_EQ(pcap_compile(dead, &program, collector.filterText().c_str(), 1, 0xFFFFFF), 0)
        << collector.filterText() << ": " << pcap_geterr(dead);
    const uint16_t mask = static_cast<uint16_t>(collector.step() - 1);
    auto passes = [&program](const std::vector<uint8_t>& frame) {
      pcap_pkthdr header{};
      header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
      return pcap_offline_filter(&program, &header, frame.data()) != 0;
    };
    EXPECT_TRUE(passes(ipv4Frame(1, mask))) << collector.filterText();
    EXPECT_TRUE(passes(ipv4Frame(1, 0xFFFF))) << collector.filterText();
    if (mask != 0) {
      // Any one of the mask's bits missing drops the packet.
      for (uint16_t bit = 1; bit != 0 && bit <= mask; bit = static_cast<uint16_t>(bit << 1)) {
        EXPECT_FALSE(passes(ipv4Frame(1, static_cast<uint16_t>(0xFFFF & ~bit))))
            << collector.filterText() << " bit " << bit;
      }
    }
    std::vector<uint8_t> arp = ipv4Frame(1, 0xFFFF);
    arp[13] = 0x06;  // EtherType ARP, checksum bytes still all ones
    EXPECT_FALSE(passes(arp)) << collector.filterText();
    std::vector<uint8_t> ipv6 = ipv4Frame(1, 0xFFFF);
    ipv6[12] = 0x86;
    ipv6[13] = 0xDD;
    EXPECT_FALSE(passes(ipv6)) << collector.filterText();
    pcap_freecode(&program);
  }
  pcap_close(dead);
}

class SamplingPatternTest : public ::testing::Test {
 protected:
  static SamplingState stateFor(ReporterRig& rig, uint32_t rate, bool performanceMode,
                                uint16_t sourceIndex = 0) {
    TrafficCollector collector(128, &rig.reporter, 2097152, rate, performanceMode);
    SamplingState state;
    state.reporter = &rig.reporter;
    state.samplingRate = rate;
    state.step = collector.step();
    state.sourceIndex = sourceIndex;
    return state;
  }
  // Feeds packets first..last (numbered) through packetHandler.
  static void feed(SamplingState& state, uint32_t first, uint32_t last) {
    std::vector<uint8_t> frame = ipv4Frame(0);
    pcap_pkthdr header{};
    header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
    for (uint32_t n = first; n <= last; ++n) {
      frame[0] = static_cast<uint8_t>(n >> 24);
      frame[1] = static_cast<uint8_t>(n >> 16);
      frame[2] = static_cast<uint8_t>(n >> 8);
      frame[3] = static_cast<uint8_t>(n);
      TrafficCollector::packetHandler(reinterpret_cast<u_char*>(&state), &header, frame.data());
    }
  }
  // The numbers of the packets taken out of `packets`, on a fresh interface and reporter.
  static std::vector<uint32_t> taken(uint32_t rate, bool performanceMode, uint32_t packets) {
    ReporterRig rig;
    SamplingState state = stateFor(rig, rate, performanceMode);
    feed(state, 1, packets);
    std::vector<uint32_t> numbers;
    for (const DecodedSample& s : rig.samples()) {
      EXPECT_EQ(s.samplingRate, rate);
      numbers.push_back(numberOf(s));
    }
    return numbers;
  }
};

struct PatternCase {
  uint32_t rate;
  bool performanceMode;
  uint32_t packets;
  std::vector<uint32_t> taken;  // packet numbers, counting from 1
};

TEST_F(SamplingPatternTest, TakesTheExpectedPackets) {
  const PatternCase cases[] = {
      {32, true, 12, {2, 4, 6, 8, 10, 12}},
      {100, true, 11, {2, 4, 5, 7, 8, 10, 11}},
      {32, false, 100, {32, 64, 96}},
      {3, true, 7, {2, 3, 5, 6}},
      {2, true, 6, {2, 4, 6}},
      {1, true, 5, {1, 2, 3, 4, 5}},
      // Past 16 bits: a 16-bit counter never reaches 65536, and a 32-bit one stepping by
      // 32768 wraps on its way to 4294967295.
      {65536, false, 140000, {65536, 131072}},
      {4294967295u, true, 262144, {131072, 262144}},
  };
  for (const PatternCase& c : cases) {
    EXPECT_EQ(taken(c.rate, c.performanceMode, c.packets), c.taken) << "rate " << c.rate;
  }
}

TEST_F(SamplingPatternTest, Rate100TakesExactly64Of100) {
  EXPECT_EQ(taken(100, true, 1000).size(), 640u);
}

TEST_F(SamplingPatternTest, RateZeroTakesEveryPacketWithoutCounting) {
  ReporterRig rig;
  SamplingState state = stateFor(rig, 0, true);
  feed(state, 1, 4);
  EXPECT_EQ(state.counter, 0u);
  std::vector<DecodedSample> samples = rig.samples();
  ASSERT_EQ(samples.size(), 4u);
  for (const DecodedSample& s : samples)
    EXPECT_EQ(s.samplingRate, 0u);
}

TEST_F(SamplingPatternTest, InterfacesKeepIndependentCounters) {
  ReporterRig rig;
  SamplingState first = stateFor(rig, 32, false, 0);
  SamplingState second = stateFor(rig, 32, false, 1);
  feed(first, 1, 40);
  feed(second, 1001, 1010);  // ten packets: not enough on their own
  feed(first, 41, 64);
  feed(second, 1011, 1032);
  std::vector<std::pair<uint32_t, uint32_t>> got;
  for (const DecodedSample& s : rig.samples())
    got.emplace_back(s.sourceId, numberOf(s));
  EXPECT_EQ(got, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 32}, {0, 64}, {1, 1032}}));
}

}  // namespace
}  // namespace wendrel::test
