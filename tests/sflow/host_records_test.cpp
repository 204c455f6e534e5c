// The host structures, byte by byte, and a whole host counter sample as the strict decoder and
// tshark read it.
#include "host_records.h"

#include <gtest/gtest.h>

#include "sflow_fakes.h"

namespace wendrel::test {
namespace {

template <size_t N, typename Write>
void expectRecord(const uint8_t (&expected)[N], Write write) {
  uint8_t buffer[kMaxHostRecordBytes];
  XdrWriter out(buffer, sizeof buffer);
  write(out);
  ASSERT_EQ(N, out.offset());
  for (size_t i = 0; i < N; ++i)
    EXPECT_EQ(expected[i], buffer[i]) << "byte " << i;
}

HostCounters sampleHost() {
  HostCounters h;
  h.description.hostname = "host1";
  h.description.uuid = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  h.description.machineType = 3, h.description.osName = 2;
  h.description.osRelease = "6.1.0";
  h.adapters = {{7, {{2, 0, 0, 0, 0, 1}}}, {9, {}}};
  h.cpu.loadOne = 0.5f, h.cpu.procRun = 2, h.cpu.cpuNum = 4, h.cpu.user = 100;
  h.memory.total = 0x100000000, h.memory.pageIn = 3;
  h.disk.total = 1000, h.disk.partMaxUsed = 5000, h.disk.bytesRead = 512;
  h.net.bytesIn = 64, h.net.packetsOut = 1;
  return h;
}

TEST(HostRecords, DescriptionAndAdapters) {
  static const uint8_t kDescription[] = {
      0,   0,   0x07, 0xd0,                                               // host_descr (2000)
      0,   0,   0,    48,                                                 // its length
      0,   0,   0,    5,                                                  // hostname length
      'h', 'o', 's',  't',  '1', 0, 0, 0,                                 // hostname, padded
      1,   2,   3,    4,    5,   6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,  // UUID
      0,   0,   0,    3,                                                  // machine type x86_64
      0,   0,   0,    2,                                                  // OS Linux
      0,   0,   0,    5,                                                  // release length
      '6', '.', '1',  '.',  '0', 0, 0, 0,                                 // release, padded
  };
  expectRecord(kDescription,
               [](XdrWriter& out) { writeHostDescription(out, sampleHost().description); });
  static const uint8_t kAdapters[] = {
      0, 0, 0x07, 0xd1,              // host_adapters (2001)
      0, 0, 0,    28,                // its length
      0, 0, 0,    2,                 // adapters
      0, 0, 0,    7,                 // ifIndex
      0, 0, 0,    1,                 // MAC addresses
      2, 0, 0,    0,    0, 1, 0, 0,  // MAC, padded
      0, 0, 0,    9,                 // ifIndex
      0, 0, 0,    0,                 // no MAC address
  };
  expectRecord(kAdapters, [](XdrWriter& out) { writeHostAdapters(out, sampleHost().adapters); });
}

TEST(HostRecords, CpuMemoryDiskAndNetworkWithUnknowns) {
  static const uint8_t kCpu[] = {
      0,    0,    0x07, 0xd3,  // host_cpu (2003)
      0,    0,    0,    68,    // its length
      0x3f, 0,    0,    0,     // load_one 0.5
      0xbf, 0x80, 0,    0,     // load_five unknown (-1)
      0xbf, 0x80, 0,    0,     // load_fifteen unknown
      0,    0,    0,    2,     // proc_run
      0xff, 0xff, 0xff, 0xff,  // proc_total unknown
      0,    0,    0,    4,     // cpu_num
      0xff, 0xff, 0xff, 0xff,  // cpu_speed unknown
      0xff, 0xff, 0xff, 0xff,  // uptime unknown
      0,    0,    0,    100,   // cpu_user ms
      0xff, 0xff, 0xff, 0xff,  // cpu_nice
      0xff, 0xff, 0xff, 0xff,  // cpu_system
      0xff, 0xff, 0xff, 0xff,  // cpu_idle
      0xff, 0xff, 0xff, 0xff,  // cpu_wio
      0xff, 0xff, 0xff, 0xff,  // cpu_intr
      0xff, 0xff, 0xff, 0xff,  // cpu_sintr
      0xff, 0xff, 0xff, 0xff,  // interrupts
      0xff, 0xff, 0xff, 0xff,  // contexts
  };
  expectRecord(kCpu, [](XdrWriter& out) { writeHostCpu(out, sampleHost().cpu); });
  static const uint8_t kMemory[] = {
      0,    0,    0x07, 0xd4,                          // host_memory (2004)
      0,    0,    0,    72,                            // its length
      0,    0,    0,    1,    0,    0,    0,    0,     // mem_total 4 GiB
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,  // mem_free unknown
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,  // mem_shared
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,  // mem_buffers
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,  // mem_cached
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,  // swap_total
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,  // swap_free
      0,    0,    0,    3,                             // page_in
      0xff, 0xff, 0xff, 0xff,                          // page_out
      0xff, 0xff, 0xff, 0xff,                          // swap_in
      0xff, 0xff, 0xff, 0xff,                          // swap_out
  };
  expectRecord(kMemory, [](XdrWriter& out) { writeHostMemory(out, sampleHost().memory); });
  static const uint8_t kDisk[] = {
      0,    0,    0x07, 0xd5,                          // host_disk_io (2005)
      0,    0,    0,    52,                            // its length
      0,    0,    0,    0,    0,    0,    0x03, 0xe8,  // disk_total 1000
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,  // disk_free unknown
      0,    0,    0x13, 0x88,                          // part_max_used 50.00 %
      0xff, 0xff, 0xff, 0xff,                          // reads
      0,    0,    0,    0,    0,    0,    0x02, 0,     // bytes_read 512
      0xff, 0xff, 0xff, 0xff,                          // read_time
      0xff, 0xff, 0xff, 0xff,                          // writes
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,  // bytes_written
      0xff, 0xff, 0xff, 0xff,                          // write_time
  };
  expectRecord(kDisk, [](XdrWriter& out) { writeHostDiskIo(out, sampleHost().disk); });
  static const uint8_t kNet[] = {
      0,    0,    0x07, 0xd6,                          // host_net_io (2006)
      0,    0,    0,    40,                            // its length
      0,    0,    0,    0,    0,    0,    0,    64,    // bytes_in
      0xff, 0xff, 0xff, 0xff,                          // pkts_in unknown
      0xff, 0xff, 0xff, 0xff,                          // errs_in
      0xff, 0xff, 0xff, 0xff,                          // drops_in
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,  // bytes_out
      0,    0,    0,    1,                             // packets_out
      0xff, 0xff, 0xff, 0xff,                          // errs_out
      0xff, 0xff, 0xff, 0xff,                          // drops_out
  };
  expectRecord(kNet, [](XdrWriter& out) { writeHostNetIo(out, sampleHost().net); });
}

// A whole sample from the reporter: class 2, its own sequence, every record read back; as
// many adapters as fit, so the sample never outgrows a datagram. (tshark 4.0 reads no host
// structure: its dissector does not skip counter records of a format it does not know.)
TEST(HostRecords, TheHostsSampleDecodesAndFitsWithAnyNumberOfAdapters) {
  for (size_t adapters : {2u, 200u}) {
    ReporterRig rig;
    HostCounters h = sampleHost();
    h.adapters.resize(adapters, HostAdapter{5, {{2, 0, 0, 0, 0, 2}}});
    uint8_t records[kMaxHostRecordBytes];
    uint32_t count = 0;
    for (int i = 0; i < 2; ++i) {
      const size_t length = writeHostRecords(h, records, count);
      rig.reporter.addHostCounters(records, length, count);
    }
    const auto sent = rig.sink.datagrams();
    const auto d = rig.datagrams();
    ASSERT_EQ(2u, d.size());
    ASSERT_EQ(1u, d[1].hosts.size());
    const DecodedHost& host = d[1].hosts[0];
    EXPECT_EQ(std::tuple(2u, 2u, 1u),
              std::tuple(host.sequence, host.sourceIdType, host.sourceIdIndex));
    EXPECT_EQ((std::vector<uint32_t>{2000, 2001, 2003, 2004, 2005, 2006}), host.recordTypes);
    EXPECT_EQ(
        std::tuple("host1", "6.1.0", 3u, 2u, 0.5f),
        std::tuple(host.hostname, host.osRelease, host.machineType, host.osName, host.load[0]));
    EXPECT_EQ(adapters == 2 ? 2u : 57u, host.adapters.size());  // 57 x 16 bytes fit, 58 would not
    EXPECT_EQ(0x100000000u, host.memory.at(0));
    EXPECT_EQ(5000u, host.disk.at(0));
    EXPECT_EQ(64u, host.netBytes.at(0));
    EXPECT_LE(sent[1].size(), DatagramWriter::kMaxLength);
  }
}

}  // namespace
}  // namespace wendrel::test
