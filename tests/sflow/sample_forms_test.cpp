// What a collector needs to know who speaks: the expanded sample forms for indexes over 24
// bits, an IPv6 agent address, the pool counted by capture, and the counter sequence that
// starts again when an interface's counters do.
#include <tuple>

#include "sflow_fakes.h"
#include "tshark_reads.h"

namespace wendrel::test {
namespace {

constexpr uint32_t kWide = 0x01000000;  // the first index that needs the expanded forms

// A flow sample and a counter sample of source `id` behind an IPv6 agent; the datagram sent.
std::vector<uint8_t> datagramOf(uint32_t id) {
  ReporterRig rig;
  rig.reporter.setAgentAddress6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5});
  rig.clock.now += 5000;
  rig.reporter.registerSource(1, id);
  const uint8_t frame[] = {0xde, 0xad, 0xbe, 0xef};
  SampleExtra extra;
  extra.drops = 7, extra.input = id, extra.output = kInternalInterface;
  rig.reporter.addSample({frame, 4, 60}, 32, 1, extra);
  CounterSample c;
  c.ifIndex = kWide, c.inOctets = 1000, c.promiscuous = 1, c.name = "e1", c.nameLength = 2;
  rig.reporter.addCounters(1, c);
  const auto sent = rig.sink.datagrams();
  return sent.size() == 1 ? sent[0] : std::vector<uint8_t>{};
}

// The counter sample's records are those of the compact form; only its head differs.
TEST(SampleForms, ExpandedSamplesBehindAnIpv6Agent) {
  static const uint8_t kExpected[] = {
      0,    0,    0,    5,                                         // version
      0,    0,    0,    2,                                         // IPv6 agent
      0x20, 1,    0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5,  // 2001:db8::5
      0,    0,    0,    0,                                         // sub-agent id
      0,    0,    0,    1,                                         // sequence
      0,    0,    0x13, 0x88,                                      // uptime 5000 ms
      0,    0,    0,    2,                                         // samples
      0,    0,    0,    3,                                         // expanded flow sample
      0,    0,    0,    72,                                        // its length
      0,    0,    0,    1,                                         // sequence
      0,    0,    0,    0,                                         // source class: interface
      1,    0,    0,    0,                                         // source index 2^24
      0,    0,    0,    32,                                        // sampling rate
      0,    0,    0,    32,                                        // pool
      0,    0,    0,    7,                                         // drops
      0,    0,    0,    0,                                         // input format: ifIndex
      1,    0,    0,    0,                                         // input 2^24
      0,    0,    0,    0,                                         // output format: ifIndex
      0x3f, 0xff, 0xff, 0xff,                                      // output: the host itself
      0,    0,    0,    1,                                         // records
      0,    0,    0,    1,                                         // raw packet header
      0,    0,    0,    20,                                        // its length
      0,    0,    0,    1,                                         // Ethernet
      0,    0,    0,    60,                                        // frame length
      0,    0,    0,    56,                                        // stripped
      0,    0,    0,    4,                                         // header length
      0xde, 0xad, 0xbe, 0xef,                                      // header
      0,    0,    0,    4,                                         // expanded counter sample
      0,    0,    0,    128,                                       // its length
      0,    0,    0,    1,                                         // sequence
      0,    0,    0,    0,                                         // source class: interface
      1,    0,    0,    0,                                         // source index 2^24
      0,    0,    0,    2,  // records, as in the compact form:
  };
  const std::vector<uint8_t> sent = datagramOf(kWide), compact = datagramOf(kWide - 1);
  const size_t records = sizeof kExpected, compactRecords = 40 + 68 + 8 + 12;
  ASSERT_EQ(records + compact.size() - compactRecords, sent.size());
  for (size_t i = 0; i < sent.size(); ++i)
    EXPECT_EQ(i < records ? kExpected[i] : compact[i - records + compactRecords], sent[i])
        << "byte " << i;
  if (!haveTshark())
    GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";
  // agent; flow sample: class, index, input, output; counter sample: class, index; ifIndex;
  // promiscuous; nothing malformed
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

// Compact up to 24 bits, whichever number needs more. The pool capture counts runs on per
// source, over wraps, with the sequence counting on; without a count it is rate x sequence.
// A new kernel index restarts the counter sequence alone; a new source id restarts both.
TEST(SampleForms, CompactUpToTwentyFourBitsCountedPoolsAndCounterDiscontinuities) {
  const std::tuple<uint32_t, uint32_t, uint32_t, uint32_t> forms[] = {
      // source id, input, flow format, counter format
      {kWide - 1, kWide - 1, 1, 2},
      {5, kInternalInterface, 1, 2},
      {5, kWide, 3, 2},
      {kWide, 0, 3, 4},
  };
  for (const auto& [source, input, flowFormat, counterFormat] : forms) {
    ReporterRig rig;
    rig.reporter.registerSource(0, source);
    SampleExtra extra;
    extra.input = input;
    rig.reporter.addSample({pattern(60).data(), 60, 60}, 32, 0, extra);
    rig.reporter.addCounters(0, CounterSample{});
    const DecodedDatagram d = rig.datagrams().at(0);
    EXPECT_EQ(
        std::tuple(flowFormat, source, input, counterFormat, source),
        std::tuple(d.samples.at(0).format, d.samples[0].sourceIdIndex, d.samples[0].inputInterface,
                   d.counters.at(0).format, d.counters[0].sourceIdIndex))
        << source << " " << input;
  }
  ReporterRig rig;
  auto add = [&](uint16_t source, uint32_t packets) {
    SampleExtra extra;
    extra.packets = packets;
    rig.reporter.addSample({pattern(60).data(), 60, 60}, 32, source, extra);
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
