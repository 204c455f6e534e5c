// What a collector needs to know who speaks: the expanded sample forms for indexes over 24
// bits, an IPv6 agent address, the pool counted by capture, and the counter sequence that
// starts again when an interface's counters do.
#include <tuple>

#include "sflow_fakes.h"
#include "tshark_reads.h"

namespace wendrel::test {
namespace {

constexpr uint32_t kWide = 0x01000000;  // the first index that needs the expanded forms

// An IPv6 agent's datagram with an expanded flow sample and an expanded counter sample.
std::vector<uint8_t> wideDatagram() {
  ReporterRig rig;
  rig.reporter.setAgentAddress6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5});
  rig.clock.now += 5000;
  rig.reporter.registerSource(1, kWide);
  const std::vector<uint8_t> frame = {0xde, 0xad, 0xbe, 0xef};
  SampleExtra extra;
  extra.drops = 7, extra.input = kWide, extra.output = kInternalInterface;
  rig.reporter.addSample({frame.data(), 4, 60}, 32, 1, extra);
  CounterSample c;
  c.ifIndex = kWide, c.speed = 1000000000, c.direction = 1, c.status = 3;
  c.inOctets = 1000, c.inUnicast = 10, c.inMulticast = 2, c.inBroadcast = ~0u, c.inDiscards = 1;
  c.inErrors = 0, c.inUnknownProtos = ~0u, c.outOctets = 2000, c.outUnicast = 20;
  c.outMulticast = ~0u, c.outBroadcast = ~0u, c.outDiscards = 3, c.outErrors = 4;
  c.promiscuous = 1, c.name = "e1", c.nameLength = 2;
  rig.reporter.addCounters(1, c);
  const auto sent = rig.sink.datagrams();
  return sent.size() == 1 ? sent[0] : std::vector<uint8_t>{};
}

TEST(SampleForms, ExpandedSamplesBehindAnIpv6Agent) {
  static const uint8_t kExpected[] = {
      0,    0,    0,    5,  // version
      0,    0,    0,    2,  // agent address type IPv6
      0x20, 1,    0x0d, 0xb8, 0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 5,  // 2001:db8::5
      0,    0,    0,    0,                                                     // sub-agent id
      0,    0,    0,    1,                                                     // datagram sequence
      0,    0,    0x13, 0x88,                                                  // uptime 5000 ms
      0,    0,    0,    2,                                                     // samples
      0,    0,    0,    3,                             // expanded flow sample
      0,    0,    0,    72,                            // its length
      0,    0,    0,    1,                             // sequence
      0,    0,    0,    0,                             // source class: interface
      1,    0,    0,    0,                             // source index 2^24
      0,    0,    0,    32,                            // sampling rate
      0,    0,    0,    32,                            // pool
      0,    0,    0,    7,                             // drops
      0,    0,    0,    0,                             // input format: ifIndex
      1,    0,    0,    0,                             // input 2^24
      0,    0,    0,    0,                             // output format: ifIndex
      0x3f, 0xff, 0xff, 0xff,                          // output: the host itself
      0,    0,    0,    1,                             // records
      0,    0,    0,    1,                             // raw packet header
      0,    0,    0,    20,                            // its length
      0,    0,    0,    1,                             // Ethernet
      0,    0,    0,    60,                            // frame length
      0,    0,    0,    56,                            // stripped
      0,    0,    0,    4,                             // header length
      0xde, 0xad, 0xbe, 0xef,                          // header
      0,    0,    0,    4,                             // expanded counter sample
      0,    0,    0,    128,                           // its length
      0,    0,    0,    1,                             // sequence
      0,    0,    0,    0,                             // source class: interface
      1,    0,    0,    0,                             // source index 2^24
      0,    0,    0,    2,                             // records
      0,    0,    0,    1,                             // generic interface counters
      0,    0,    0,    88,                            // its length
      1,    0,    0,    0,                             // ifIndex
      0,    0,    0,    6,                             // ifType ethernetCsmacd
      0,    0,    0,    0,    0x3b, 0x9a, 0xca, 0,     // ifSpeed 1 Gbit/s
      0,    0,    0,    1,                             // full duplex
      0,    0,    0,    3,                             // admin and oper up
      0,    0,    0,    0,    0,    0,    0x03, 0xe8,  // ifInOctets 1000
      0,    0,    0,    10,                            // ifInUcastPkts
      0,    0,    0,    2,                             // ifInMulticastPkts
      0xff, 0xff, 0xff, 0xff,                          // ifInBroadcastPkts unknown
      0,    0,    0,    1,                             // ifInDiscards
      0,    0,    0,    0,                             // ifInErrors
      0xff, 0xff, 0xff, 0xff,                          // ifInUnknownProtos unknown
      0,    0,    0,    0,    0,    0,    0x07, 0xd0,  // ifOutOctets 2000
      0,    0,    0,    20,                            // ifOutUcastPkts
      0xff, 0xff, 0xff, 0xff,                          // ifOutMulticastPkts unknown
      0xff, 0xff, 0xff, 0xff,                          // ifOutBroadcastPkts unknown
      0,    0,    0,    3,                             // ifOutDiscards
      0,    0,    0,    4,                             // ifOutErrors
      0,    0,    0,    1,                             // ifPromiscuousMode
      0,    0,    0x03, 0xed,                          // port name record (1005)
      0,    0,    0,    8,                             // its length
      0,    0,    0,    2,                             // name length
      'e',  '1',  0,    0,                             // name, padded
  };
  const std::vector<uint8_t> sent = wideDatagram();
  ASSERT_EQ(sizeof kExpected, sent.size());
  for (size_t i = 0; i < sent.size(); ++i)
    EXPECT_EQ(kExpected[i], sent[i]) << "byte " << i;
  std::string error;
  EXPECT_TRUE(decodeDatagram(sent, &error)) << error;
  if (!haveTshark())
    GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";
  // agent; flow sample: source class and index, input and output; counter sample: source
  // class and index; ifIndex; promiscuous; nothing malformed
  EXPECT_EQ("2001:db8::5;0;16777216;16777216;1073741823;0;16777216;16777216;1;\n",
            tsharkFields(sent,
                         "sflow_245.agent.v6 sflow.flow_sample.source_id_type "
                         "sflow.flow_sample.source_id_index "
                         "sflow.flow_sample.input_interface_value "
                         "sflow.flow_sample.output_interface_value "
                         "sflow.counters_sample.source_id_type "
                         "sflow.counters_sample.source_id_index sflow_245.ifindex "
                         "sflow_245.ifpromisc"));
}

// The smaller indexes keep the compact forms; the largest index that fits is compact still.
TEST(SampleForms, CompactUpToTwentyFourBits) {
  const std::tuple<uint32_t, uint32_t, uint32_t, uint32_t> cases[] = {
      // source id, input, flow format, counter format
      {kWide - 1, kWide - 1, 1, 2},
      {5, kInternalInterface, 1, 2},
      {5, kWide, 3, 2},  // only the interface is wide
      {kWide, 0, 3, 4},
  };
  for (const auto& [source, input, flowFormat, counterFormat] : cases) {
    ReporterRig rig;
    rig.reporter.registerSource(0, source);
    const std::vector<uint8_t> frame(60, 1);
    SampleExtra extra;
    extra.input = input;
    rig.reporter.addSample({frame.data(), 60, 60}, 32, 0, extra);
    rig.reporter.addCounters(0, CounterSample{});
    const auto d = rig.datagrams();
    ASSERT_EQ(1u, d.size());
    ASSERT_EQ(1u, d[0].samples.size());
    ASSERT_EQ(1u, d[0].counters.size());
    EXPECT_EQ(std::make_tuple(flowFormat, source, input, counterFormat, source),
              std::make_tuple(d[0].samples[0].format, d[0].samples[0].sourceIdIndex,
                              d[0].samples[0].inputInterface, d[0].counters[0].format,
                              d[0].counters[0].sourceIdIndex))
        << source << " " << input;
  }
}

// The pool capture counts runs on per source, over wraps, with the sequence counting on; the
// documented rate x sequence stays for samples without a count. A new kernel index restarts
// the counter sequence alone; a new source id restarts both.
TEST(SampleForms, CountedPoolsAndCounterDiscontinuities) {
  ReporterRig rig;
  const std::vector<uint8_t> frame(60, 1);
  auto add = [&](uint16_t source, uint32_t packets) {
    SampleExtra extra;
    extra.packets = packets;
    rig.reporter.addSample({frame.data(), 60, 60}, 32, source, extra);
  };
  rig.reporter.registerSource(1, 10, 10);
  add(1, 40);
  add(1, 0xFFFFFFF0);  // the total wraps
  add(1, 17);
  add(2, 0);
  add(2, 0);
  rig.reporter.addCounters(1, CounterSample{});
  rig.reporter.registerSource(1, 10, 10);  // opened again: counts on
  rig.reporter.addCounters(1, CounterSample{});
  rig.reporter.registerSource(1, 10, 11);  // made anew under the same id: counters restart
  rig.reporter.addCounters(1, CounterSample{});
  add(1, 1);
  rig.reporter.registerSource(1, 12, 12);
  add(1, 5);
  std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> seen;  // source, sequence, pool
  for (const DecodedDatagram& d : rig.datagrams()) {
    for (const DecodedSample& s : d.samples)
      seen.emplace_back(s.sourceId, s.sequence, s.samplePool);
    for (const DecodedCounters& c : d.counters)
      seen.emplace_back(c.sourceId, c.sequence, 0);
  }
  const decltype(seen) expected = {{10, 1, 40}, {10, 2, 24}, {10, 3, 41}, {2, 1, 32},  {2, 2, 64},
                                   {10, 1, 0},  {10, 2, 0},  {10, 1, 0},  {10, 4, 42}, {12, 1, 5}};
  EXPECT_EQ(expected, seen);
  EXPECT_EQ(3u, rig.reporter.statistics().counterSamples);
}

}  // namespace
}  // namespace wendrel::test
