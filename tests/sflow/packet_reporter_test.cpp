// The datagrams the reporter writes: exact bytes of flow and counter samples (also as tshark
// reads them), when they leave, what each sample carries beside the packet, per-source
// sequences, lost sends, concurrency.
#include "packet_reporter.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <tuple>

#include "sflow_fakes.h"
#include "test_util.h"
#include "tshark_reads.h"

namespace wendrel::test {
namespace {

// Appends `words` big-endian, then `tail`.
void put(std::vector<uint8_t>& out, std::initializer_list<uint32_t> words,
         const std::vector<uint8_t>& tail = {}) {
  for (uint32_t word : words)
    out.insert(out.end(),
               {uint8_t(word >> 24), uint8_t(word >> 16), uint8_t(word >> 8), uint8_t(word)});
  out.insert(out.end(), tail.begin(), tail.end());
}

// Every shape of sample, written over a buffer that an earlier datagram left full of 0xff,
// so padding must be written.
std::vector<uint8_t> goldenDatagram() {
  ReporterRig rig;
  rig.dirtyBuffer();
  addFrame(rig.reporter, pattern(60, 60), 60, 32, 2);
  addFrame(rig.reporter, pattern(70, 70), 70, 32, 0);
  addFrame(rig.reporter, pattern(128, 128), 1514, 32, 1);
  addFrame(rig.reporter, {}, 60, 32, 0);
  rig.reporter.flush();
  return rig.sink.datagrams().at(1);
}

void expectBytes(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& golden) {
  ASSERT_EQ(expected.size(), golden.size());
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(expected[i], golden[i]) << "byte " << i;
}

TEST(PacketReporterGolden, HeaderAndSamplesOfEveryShape) {
  std::vector<uint8_t> expected;
  put(expected, {5, 1, 0x0a000005, 0});  // version 5, agent IPv4 10.0.0.5, sub-agent 0
  put(expected, {2, 5000, 4});           // datagram sequence 2, uptime 5000 ms, 4 samples
  // Each sample: flow sample type 1, sample length, sequence, source id (type 0, index) |
  // rate, pool, drops, input, output | 1 record of type 1 (raw header), record length |
  // protocol 1 (Ethernet), frame length, stripped, header length | the header, zero-padded.
  // 60 bytes from source 2:
  put(expected, {1, 116, 1, 2, 32, 32, 0, 0, 0, 1, 1, 76, 1, 60, 0, 60}, pattern(60, 60));
  // 70 bytes, two bytes of padding:
  put(expected, {1, 128, 1, 0, 32, 32, 0, 0, 0, 1, 1, 88, 1, 70, 0, 70}, pattern(70, 70));
  put(expected, {}, {0, 0});
  // 1514 bytes captured to 128, 1386 stripped:
  put(expected, {1, 184, 1, 1, 32, 32, 0, 0, 0, 1, 1, 144, 1, 1514, 1386, 128}, pattern(128, 128));
  // nothing captured, second sample of source 0:
  put(expected, {1, 56, 2, 0, 32, 64, 0, 0, 0, 1, 1, 16, 1, 60, 60, 0});
  expectBytes(expected, goldenDatagram());
}

CounterSample counters(const char* name) {
  CounterSample c;
  c.ifIndex = 5, c.speed = 10000000000, c.direction = 1, c.status = 3;
  c.inOctets = 0x123456789, c.inUnicast = 10, c.inMulticast = 11, c.inBroadcast = ~0u;
  c.inDiscards = 12, c.inErrors = 13, c.inUnknownProtos = ~0u;
  c.outOctets = 0x200000001, c.outUnicast = 20, c.outMulticast = c.outBroadcast = ~0u;
  c.outDiscards = 21, c.outErrors = 22, c.promiscuous = 1;
  c.name = name, c.nameLength = std::strlen(name);
  return c;
}

// Written over a buffer that earlier samples left full of 0xff, so padding must be written;
// sent without a flush.
std::vector<uint8_t> goldenCounters() {
  ReporterRig rig;
  rig.dirtyBuffer();
  rig.reporter.registerSource(3, 70000);
  rig.reporter.addCounters(3, counters("eth0.1"));
  const auto sent = rig.sink.datagrams();
  return sent.size() == 2 ? sent[1] : std::vector<uint8_t>{};
}

TEST(CounterSampleGolden, InterfaceCountersAndPortName) {
  std::vector<uint8_t> expected;
  put(expected, {5, 1, 0x0a000005, 0, 2, 5000, 1});  // header: sequence 2, 1 sample
  put(expected, {2, 128, 1, 70000, 2});  // counter sample, length, sequence, source, 2 records
  put(expected, {1, 88, 5, 6, 2, 0x540be400, 1, 3});  // generic: ifIndex, type, 10 Gbit/s, ...
  put(expected, {1, 0x23456789, 10, 11, ~0u, 12, 13, ~0u});  // in: octets, ucast ... unknown
  put(expected, {2, 1, 20, ~0u, ~0u, 21, 22, 1});            // out: octets ... promiscuous
  put(expected, {1005, 12, 6});  // port name record, length, string length, then the text
  expected.insert(expected.end(), {'e', 't', 'h', '0', '.', '1', 0, 0});
  expectBytes(expected, goldenCounters());
}

// An independent reading: tshark's sFlow dissector on the golden datagrams.
TEST(PacketReporterGolden, TsharkDecodesTheGoldenDatagrams) {
  if (!haveTshark())
    GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";
  // agent;sequence;uptime;samples; per sample: sequence;source class;source index;rate;pool;
  // header length;frame length;stripped; then nothing malformed
  EXPECT_EQ(
      "10.0.0.5;2;5000;4;1,1,1,2;0,0,0,0;2,0,1,0;32,32,32,32;32,32,32,64;60,70,128,0;"
      "60,70,1514,60;0,0,1386,60;\n",
      tsharkFields(goldenDatagram(),
                   "sflow_245.agent sflow_245.sequence_number sflow_245.sysuptime "
                   "sflow_245.numsamples sflow.flow_sample.sequence_number "
                   "sflow.flow_sample.source_id_class sflow.flow_sample.index "
                   "sflow.flow_sample.sampling_rate sflow.flow_sample.sample_pool "
                   "sflow_245.header.sampled_header_length sflow_245.header.frame_length "
                   "sflow_245.header.payload_stripped"));
  EXPECT_EQ("1;70000;5;6;10000000000;4886718345;8589934593;1;\n",
            tsharkFields(goldenCounters(),
                         "sflow.counters_sample.sequence_number "
                         "sflow.counters_sample.source_id_index sflow_245.ifindex "
                         "sflow_245.iftype sflow_245.ifspeed sflow_245.ifinoct "
                         "sflow_245.ifoutoct sflow_245.ifpromisc"));
}

// The pending datagram leaves when the next sample would take it past 1300 bytes; a counter
// sample leaves at once, behind the pending flow samples when it fits, after them otherwise.
TEST(PacketReporterFlush, SendsWhenTheNextSampleWouldNotFit) {
  constexpr uint32_t kCounters = 0xFFFF;
  // n samples of one caplen, then further caplens or a counter sample: the datagrams sent.
  const std::tuple<int, uint32_t, std::vector<uint32_t>, std::vector<size_t>> cases[] = {
      {10, 60, {60}, {1268}},              // samples of 124 bytes: the 11th does not fit
      {6, 128, {56, 0}, {1300}},           // 28 + 6 * 192 + 120 ends exactly on 1300 and stays
      {6, 128, {57}, {1180}},              // 57 bytes pad to 60: 1304 would pass it
      {9, 60, {kCounters}, {1288}},        // 28 + 9 * 124 + 144 fits
      {10, 60, {kCounters}, {1268, 172}},  // 1412 would not
  };
  for (const auto& [n, caplen, then, sizes] : cases) {
    ReporterRig rig;
    for (int i = 0; i < n; ++i)
      addFrame(rig.reporter, pattern(caplen), 1514);
    for (uint32_t last : then)
      last == kCounters ? rig.reporter.addCounters(0, counters("abcdefghijklmno"))
                        : addFrame(rig.reporter, pattern(last), 1514);
    std::vector<size_t> sent;
    for (const auto& d : rig.sink.datagrams())
      sent.push_back(d.size());
    EXPECT_EQ(sizes, sent);
  }
}

// What each sample carries beside the packet. A pool wrap restarts only its own source, and
// rate 0 never wraps. A flush with nothing pending uses no datagram number, a failed send uses
// its own, and the sample whose arrival forced that send is kept. A caplen beyond len is not
// trusted (nothing stripped), and stripped counts from caplen, not from the 128 bytes copied.
TEST(PacketReporterSamples, CountersPerSourceLostDatagramsAndUntrustedLengths) {
  ReporterRig rig;
  rig.sink.failSendNumber = 1;
  rig.reporter.flush();
  for (int i = 0; i < 7; ++i)  // the 7th sends six, and that send fails
    addFrame(rig.reporter, pattern(200), 1514, 32, 1);
  for (int i = 0; i < 3; ++i) {  // at 0x55555556 the third pool wraps
    addFrame(rig.reporter, pattern(60), 60, 0x55555556, 3);
    addFrame(rig.reporter, pattern(100), 60, 0, 5);
  }
  const auto sent = rig.datagrams();
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(2u, sent[0].sequence);
  // source, sequence, pool, stripped, header bytes
  using Row = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, size_t>;
  std::vector<Row> seen;
  for (const auto& s : sent[0].samples)
    seen.emplace_back(s.sourceId, s.sequence, s.samplePool, s.stripped, s.header.size());
  const std::vector<Row> expected = {{1, 7, 224, 1314, 128}, {3, 1, 0x55555556, 0, 60},
                                     {5, 1, 0, 0, 100},      {3, 2, 0xaaaaaaac, 0, 60},
                                     {5, 2, 0, 0, 100},      {3, 1, 0x55555556, 0, 60},
                                     {5, 3, 0, 0, 100}};
  EXPECT_EQ(expected, seen);
  const ReporterStatistics counts = rig.reporter.statistics();  // the failed datagram too
  EXPECT_EQ((std::vector<uint64_t>{13, 2, 1}),
            (std::vector<uint64_t>{counts.samples, counts.datagrams, counts.sendErrors}));
}

// Two capture threads, and the service flushing all the while: strictly decoded, whole samples
// only, and every sequence consecutive.
TEST(PacketReporterThreads, ConcurrentCallersGiveWholeSamplesAndConsecutiveSequences) {
  constexpr uint32_t kPerThread = 4000;
  ReporterRig rig;
  std::atomic<int> running{2};
  auto capture = [&](uint16_t source) {
    for (uint32_t i = 0; i < kPerThread; ++i)
      addFrame(rig.reporter, pattern(i % 140), 1514, 32, source);
    --running;
  };
  std::thread first(capture, uint16_t{0}), second(capture, uint16_t{1});
  rig.reporter.setAgentAddress(inet_addr("10.0.0.5"));
  while (running > 0)
    rig.reporter.flush();
  first.join();
  second.join();
  std::map<uint32_t, uint32_t> last;  // source -> sequence
  uint32_t datagram = 0;
  for (const auto& d : rig.datagrams()) {
    EXPECT_EQ(++datagram, d.sequence);
    for (const auto& s : d.samples)
      EXPECT_EQ(++last[s.sourceId], s.sequence) << "source " << s.sourceId;
  }
  EXPECT_EQ((std::map<uint32_t, uint32_t>{{0, kPerThread}, {1, kPerThread}}), last);
}

// Each source counts its own counter samples from 1, apart from its flow samples, and a
// source that changes its id starts again.
TEST(CounterSampleReporter, CountedPerSource) {
  ReporterRig rig;
  addFrame(rig.reporter, pattern(60), 60, 32, 1);
  rig.reporter.addCounters(1, counters("a"));
  rig.reporter.addCounters(2, counters("b"));
  rig.reporter.addCounters(1, counters("a"));
  rig.reporter.registerSource(2, 2);  // unchanged: counts on
  rig.reporter.addCounters(2, counters("b"));
  rig.reporter.registerSource(1, 0x123456);
  rig.reporter.addCounters(1, counters("a"));
  addFrame(rig.reporter, pattern(60), 60, 32, 1);
  std::vector<std::tuple<uint32_t, uint32_t, std::string>> seen;  // source, sequence, name
  for (const DecodedDatagram& d : rig.datagrams()) {
    for (const DecodedSample& s : d.samples)  // the flow samples come first
      seen.emplace_back(s.sourceId, s.sequence, "flow");
    for (const DecodedCounters& c : d.counters)
      seen.emplace_back(c.sourceId, c.sequence, c.name);
  }
  const decltype(seen) expected = {{1, 1, "flow"},       {1, 1, "a"}, {2, 1, "b"},
                                   {1, 2, "a"},          {2, 2, "b"}, {0x123456, 1, "a"},
                                   {0x123456, 1, "flow"}};
  EXPECT_EQ(expected, seen);
}

}  // namespace
}  // namespace wendrel::test
