// The datagrams the reporter writes: exact bytes of every sample form (also as tshark reads
// them), when they leave, what each sample carries beside the packet, lost sends, concurrency.
#include "packet_reporter.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>
#include <tuple>

#include "host_records.h"
#include "sflow_fakes.h"
#include "test_util.h"

namespace wendrel::test {
namespace {

constexpr uint32_t kWide = 0x01000000;  // the first index that needs the expanded forms

void addHost(PacketReporter& reporter, const HostCounters& host) {
  uint8_t records[kMaxHostRecordBytes];
  uint32_t count = 0;
  const size_t length = writeHostRecords(host, records, count);
  reporter.addHostCounters(records, length, count);
}

// Appends `words` big-endian to `out`, then `tail`: golden bytes as the wire holds them.
void put(std::vector<uint8_t>& out, std::initializer_list<uint32_t> words,
         const std::vector<uint8_t>& tail = {}) {
  for (uint32_t w : words)
    out.insert(out.end(), {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)});
  out.insert(out.end(), tail.begin(), tail.end());
}

// The datagram that `add` fills over a buffer left full of 0xff (so that padding must be
// written), from agent 10.0.0.5 after 5 s: byte by byte, and the `fields` (after "sflow") as
// tshark's dissector, an independent reader, gives them: ';' between fields, ',' between
// repeated values, then whether anything was malformed.
void expectGolden(const std::function<void(PacketReporter&)>& add,
                  const std::vector<uint8_t>& expected, const char* fields = nullptr,
                  const char* read = nullptr) {
  ReporterRig rig;
  for (int i = 0; i < 6; ++i)
    addFrame(rig.reporter, std::vector<uint8_t>(128, 0xff), 128, 1, 9);
  rig.reporter.flush();
  rig.reporter.setAgentAddress(htonl(0x0a000005));
  rig.clock.now += 5000;
  add(rig.reporter);
  rig.reporter.flush();
  const auto sent = rig.sink.datagrams();
  ASSERT_EQ(2u, sent.size());
  EXPECT_EQ(expected, sent[1]);
  std::string hex = "0000", out = "/tmp/wendrel-tshark-" + std::to_string(getpid());
  for (uint8_t byte : sent[1])
    hex += {' ', "0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
  if (fields && shell("command -v tshark text2pcap")) {  // scripts/install-deps installs it
    shell("{ echo " + hex + " | text2pcap -q -u 40000,6343 - - | tshark -r - -T fields " +
          "-E separator=';' -E aggregator=, $(printf ' -e sflow%s' " + fields +
          ") -e _ws.malformed >" + out + "; }");
    EXPECT_EQ(read, readFile(out));
    std::remove(out.c_str());
  }
}

TEST(PacketReporterGolden, EverySampleForm) {
  std::vector<uint8_t> flows;
  put(flows, {5, 1, 0x0a000005, 0});  // version 5, agent IPv4 10.0.0.5, sub-agent 0
  put(flows, {2, 5000, 4});           // datagram sequence 2, uptime 5000 ms, 4 samples
  // Each sample: flow sample type 1, sample length, sequence, source id (type 0, index) |
  // rate, pool, drops, input, output | 1 record of type 1 (raw header), record length |
  // protocol 1 (Ethernet), frame length, stripped, header length | the header, zero-padded:
  // 60 bytes from source 2; 70 bytes and 2 of padding; 1514 bytes captured to 128, 1386
  // stripped; nothing captured, in the second sample of source 0.
  put(flows, {1, 116, 1, 2, 32, 32, 0, 0, 0, 1, 1, 76, 1, 60, 0, 60}, pattern(60, 60));
  put(flows, {1, 128, 1, 0, 32, 32, 0, 0, 0, 1, 1, 88, 1, 70, 0, 70}, pattern(70, 70));
  put(flows, {}, {0, 0});
  put(flows, {1, 184, 1, 1, 32, 32, 0, 0, 0, 1, 1, 144, 1, 1514, 1386, 128}, pattern(128, 128));
  put(flows, {1, 56, 2, 0, 32, 64, 0, 0, 0, 1, 1, 16, 1, 60, 60, 0});
  expectGolden(
      [](PacketReporter& r) {
        addFrame(r, pattern(60, 60), 60, 32, 2);
        addFrame(r, pattern(70, 70), 70, 32, 0);
        addFrame(r, pattern(128, 128), 1514, 32, 1);
        addFrame(r, {}, 60, 32, 0);
      },
      flows,
      "_245.agent _245.sequence_number _245.sysuptime .flow_sample.sequence_number "
      ".flow_sample.index .flow_sample.sampling_rate .flow_sample.sample_pool "
      "_245.header.sampled_header_length _245.header.frame_length _245.header.payload_stripped",
      "10.0.0.5;2;5000;1,1,1,2;2,0,1,0;32,32,32,32;32,32,32,64;60,70,128,0;60,70,1514,60;"
      "0,0,1386,60;\n");

  std::vector<uint8_t> counters;                     // sent without a flush
  put(counters, {5, 1, 0x0a000005, 0, 2, 5000, 1});  // header: sequence 2, 1 sample
  put(counters, {2, 128, 1, 70000, 2});  // counter sample, length, sequence, source, 2 records
  put(counters, {1, 88, 5, 6, 2, 0x540be400, 1, 3});  // generic: ifIndex, type, 10 Gbit/s, ...
  put(counters, {1, 0x23456789, 10, 11, ~0u, 12, 13, ~0u});  // in: octets, ucast ... unknown
  put(counters, {2, 1, 20, ~0u, ~0u, 21, 22, 1});            // out: octets ... promiscuous
  put(counters, {1005, 12, 6}, {'e', 't', 'h', '0', '.', '1', 0, 0});  // port name
  expectGolden(
      [](PacketReporter& r) {
        CounterSample c;
        c.ifIndex = 5, c.speed = 10000000000, c.direction = 1, c.status = 3;
        c.inOctets = 0x123456789, c.inUnicast = 10, c.inMulticast = 11, c.inBroadcast = ~0u;
        c.inDiscards = 12, c.inErrors = 13, c.inUnknownProtos = ~0u;
        c.outOctets = 0x200000001, c.outUnicast = 20, c.outMulticast = c.outBroadcast = ~0u;
        c.outDiscards = 21, c.outErrors = 22, c.promiscuous = 1;
        c.name = "eth0.1", c.nameLength = 6;
        r.registerSource(3, 70000);
        r.addCounters(3, c);
      },
      counters,
      ".counters_sample.source_id_index _245.ifindex _245.ifspeed _245.ifinoct _245.ifoutoct "
      "_245.ifpromisc",
      "70000;5;10000000000;4886718345;8589934593;1;\n");

  std::vector<uint8_t> expanded;
  put(expanded, {5, 2, 0x20010db8, 0, 0, 5, 0, 2, 5000, 2});  // IPv6 agent 2001:db8::5
  // Expanded flow sample: type 3, length, sequence, source class and index, rate, pool,
  // drops, input format and value, output format and the host itself | the raw header.
  put(expanded, {3, 72, 1, 0, kWide, 32, 32, 7, 0, kWide, 0, 0x3fffffff});
  put(expanded, {1, 1, 20, 1, 60, 56, 4, 0xdeadbeef});
  // Expanded counter sample: type 4, length, sequence, class and index, then compact records.
  put(expanded, {4, 128, 1, 0, kWide, 2, 1, 88, kWide, 6, 0, 0, 0, 0, 0, 1000});
  put(expanded, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1005, 8, 2}, {'e', '1', 0, 0});
  expectGolden(
      [](PacketReporter& r) {
        r.setAgentAddress6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5});
        r.registerSource(1, kWide);
        const uint8_t frame[] = {0xde, 0xad, 0xbe, 0xef};
        SampleExtra extra;
        extra.drops = 7, extra.input = kWide, extra.output = kInternalInterface;
        r.addSample({frame, 4, 60}, 32, 1, extra);
        CounterSample c;
        c.ifIndex = kWide, c.inOctets = 1000, c.promiscuous = 1, c.name = "e1", c.nameLength = 2;
        r.addCounters(1, c);
      },
      expanded,
      "_245.agent.v6 .flow_sample.source_id_index .flow_sample.input_interface_value "
      ".flow_sample.output_interface_value .counters_sample.source_id_type "
      ".counters_sample.source_id_index",
      "2001:db8::5;16777216;16777216;1073741823;0;16777216;\n");

  // The host's own counter sample (class 2, index 1), sent without a flush; every value not
  // set is unknown. (tshark 4.0 reads no host structure: its dissector does not skip counter
  // records of a format it does not know.)
  constexpr uint32_t U = ~0u, L = 0xbf800000;  // unknown: all ones, or -1 for a load
  std::vector<uint8_t> host;
  put(host, {5, 1, 0x0a000005, 0, 2, 5000, 1, 2, 368, 1, 0x02000001, 6});
  // host_descr: hostname, UUID, machine type x86_64, OS Linux, release
  put(host, {2000, 48, 5}, {'h', 'o', 's', 't', '1', 0, 0, 0});
  put(host, {0x01020304, 0x05060708, 0x090a0b0c, 0x0d0e0f10, 3, 2, 5}, {'6', '.', '1', '.'});
  put(host, {0x30000000, 2001, 28, 2, 7, 1, 0x02000000, 0x00010000, 9, 0});  // adapters 7, 9
  // host_cpu: loads, proc_run, proc_total, cpu_num, speed, uptime, user, nice ... contexts
  put(host, {2003, 68, 0x3f000000, L, L, 2, U, 4, U, U, 100, U, U, U, U, U, U, U, U});
  // host_memory: total 4 GiB, free ... swap_free, of 64 bits; page_in, page_out ... swap_out
  put(host, {2004, 72, 1, 0, U, U, U, U, U, U, U, U, U, U, U, U, 3, U, U, U});
  // host_disk_io: total, free, part_max_used 50.00 %, reads, bytes_read, read_time, writes ...
  put(host, {2005, 52, 0, 1000, U, U, 5000, U, 0, 512, U, U, U, U, U});
  put(host, {2006, 40, 0, 64, U, U, U, U, U, 1, U, U});  // host_net_io: bytes_in ... drops_out
  expectGolden(
      [](PacketReporter& r) {
        HostCounters h;
        h.description.hostname = "host1", h.description.osRelease = "6.1.0";
        h.description.uuid = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        h.description.machineType = 3, h.description.osName = 2;
        h.adapters = {{7, {{2, 0, 0, 0, 0, 1}}}, {9, {}}};
        h.cpu.loadOne = 0.5f, h.cpu.procRun = 2, h.cpu.cpuNum = 4, h.cpu.user = 100;
        h.memory.total = 0x100000000, h.memory.pageIn = 3;
        h.disk.total = 1000, h.disk.partMaxUsed = 5000, h.disk.bytesRead = 512;
        h.net.bytesIn = 64, h.net.packetsOut = 1;
        addHost(r, h);
      },
      host);
}

// The pending datagram leaves when the next sample would take it past 1300 bytes; a counter
// sample leaves at once, behind the pending flow samples when it fits, after them otherwise.
TEST(PacketReporterFlush, SendsWhenTheNextSampleWouldNotFit) {
  constexpr uint32_t kCounters = 0xFFFF;
  CounterSample named;  // 144 bytes with its name
  named.name = "abcdefghijklmno", named.nameLength = 15;
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
      last == kCounters ? rig.reporter.addCounters(0, named)
                        : addFrame(rig.reporter, pattern(last), 1514);
    std::vector<size_t> sent;
    for (const auto& d : rig.sink.datagrams())
      sent.push_back(d.size());
    EXPECT_EQ(sizes, sent);
  }
}

// What each sample carries beside the packet, source by source, in the order sent.
TEST(PacketReporterSamples, SequencesPoolsLengthsAndFormsPerSource) {
  ReporterRig rig;
  auto add = [&](uint16_t source, uint32_t caplen, uint32_t len, uint32_t rate,
                 uint32_t packets = 0, uint32_t input = 0) {
    SampleExtra extra;
    extra.packets = packets, extra.input = input;
    rig.reporter.addSample({pattern(caplen).data(), caplen, len}, rate, source, extra);
  };
  auto counters = [&](uint16_t source) { rig.reporter.addCounters(source, CounterSample{}); };
  // A flush with nothing pending uses no datagram number, a failed send uses its own, and the
  // sample whose arrival forced that send is kept; stripped counts from caplen, not from the
  // 128 bytes copied.
  rig.sink.failSendNumber = 1;
  rig.reporter.flush();
  for (int i = 0; i < 7; ++i)
    add(1, 200, 1514, 32);
  // A pool wrap restarts only its own source, at 0x55555556 the third; rate 0 never wraps. A
  // caplen beyond len is not trusted: nothing stripped.
  for (int i = 0; i < 3; ++i)
    add(3, 60, 60, 0x55555556), add(5, 100, 60, 0);
  // The pool that capture counts runs on over wraps; without a count it is rate x sequence.
  // Counter samples have sequences of their own; a new kernel index restarts them alone, a
  // new source id restarts both.
  rig.reporter.registerSource(6, 10, 10);
  add(6, 60, 60, 32, 40), add(6, 60, 60, 32, 0xFFFFFFF0), add(6, 60, 60, 32, 17);
  add(2, 60, 60, 32), add(2, 60, 60, 32);
  counters(6), counters(2);
  rig.reporter.registerSource(6, 10, 10);  // opened again: counts on
  counters(6);
  rig.reporter.registerSource(6, 10, 11);  // made anew under the same id
  counters(6);
  add(6, 60, 60, 32, 1);
  rig.reporter.registerSource(6, 12, 12);
  add(6, 60, 60, 32, 5);
  // Compact up to 24 bits, whichever number needs more.
  rig.reporter.registerSource(7, kWide - 1);
  add(7, 60, 60, 32, 0, kWide - 1), counters(7);
  rig.reporter.registerSource(8, 50);
  add(8, 60, 60, 32, 0, kInternalInterface), add(8, 60, 60, 32, 0, kWide), counters(8);
  rig.reporter.registerSource(9, kWide);
  add(9, 60, 60, 32), counters(9);
  // The host's sample counts on, and takes as many adapters as fit (57 of 16 bytes, not 58), so
  // that it never outgrows a datagram.
  HostCounters host;
  host.adapters.resize(200, HostAdapter{5, {{2, 0, 0, 0, 0, 2}}});
  addHost(rig.reporter, host), addHost(rig.reporter, host);
  const auto sent = rig.datagrams();
  EXPECT_EQ(2u, sent.at(0).sequence);
  // source index, format, sequence, pool (adapters of the host), stripped, header bytes;
  // counter samples after the flow samples sent with them
  using Row = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, size_t>;
  std::vector<Row> seen;
  for (const DecodedDatagram& d : sent) {
    for (const DecodedSample& s : d.samples)
      seen.emplace_back(s.sourceIdIndex, s.format, s.sequence, s.samplePool, s.stripped,
                        s.header.size());
    for (const DecodedCounters& c : d.counters)
      seen.emplace_back(c.sourceIdIndex, c.format, c.sequence, 0, 0, 0);
    for (const DecodedHost& h : d.hosts)
      seen.emplace_back(h.sourceIdIndex, 2, h.sequence, uint32_t(h.adapters.size()), 0, 0);
  }
  const std::vector<Row> expected = {
      {1, 1, 7, 224, 1314, 128},    {3, 1, 1, 0x55555556, 0, 60}, {5, 1, 1, 0, 0, 100},
      {3, 1, 2, 0xaaaaaaac, 0, 60}, {5, 1, 2, 0, 0, 100},         {3, 1, 1, 0x55555556, 0, 60},
      {5, 1, 3, 0, 0, 100},         {10, 1, 1, 40, 0, 60},        {10, 1, 2, 24, 0, 60},
      {10, 1, 3, 41, 0, 60},        {2, 1, 1, 32, 0, 60},         {2, 1, 2, 64, 0, 60},
      {10, 2, 1, 0, 0, 0},          {2, 2, 1, 0, 0, 0},           {10, 2, 2, 0, 0, 0},
      {10, 2, 1, 0, 0, 0},          {10, 1, 4, 42, 0, 60},        {12, 1, 1, 5, 0, 60},
      {kWide - 1, 1, 1, 32, 0, 60}, {kWide - 1, 2, 1, 0, 0, 0},   {50, 1, 1, 32, 0, 60},
      {50, 3, 2, 64, 0, 60},        {50, 2, 1, 0, 0, 0},          {kWide, 3, 1, 32, 0, 60},
      {kWide, 4, 1, 0, 0, 0},       {1, 2, 1, 57, 0, 0},          {1, 2, 2, 57, 0, 0}};
  EXPECT_EQ(expected, seen);
  const ReporterStatistics counts = rig.reporter.statistics();  // the failed datagram too
  EXPECT_EQ(std::tuple(24u, 9u, sent.size() + 1, 1u),
            std::tuple(counts.samples, counts.counterSamples, counts.datagrams, counts.sendErrors));
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
  rig.reporter.setAgentAddress(htonl(0x0a000005));
  while (running > 0)
    rig.reporter.flush();
  first.join(), second.join();
  std::map<uint32_t, uint32_t> last;  // source -> sequence
  uint32_t datagram = 0;
  for (const auto& d : rig.datagrams()) {
    EXPECT_EQ(++datagram, d.sequence);
    for (const auto& s : d.samples)
      EXPECT_EQ(++last[s.sourceId], s.sequence) << "source " << s.sourceId;
  }
  EXPECT_EQ((std::map<uint32_t, uint32_t>{{0, kPerThread}, {1, kPerThread}}), last);
}

}  // namespace
}  // namespace wendrel::test
