// The host structures, byte by byte, and whole host counter samples as the strict decoder
// reads them. (tshark 4.0 reads no host structure: its dissector does not skip counter
// records of a format it does not know.)
#include "host_records.h"

#include <gtest/gtest.h>

#include "sflow_fakes.h"

namespace wendrel::test {
namespace {

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

// Every value not set above is the structure's unknown: all ones, or -1 for a load.
TEST(HostRecords, EveryRecordWithItsUnknownsAndASampleThatFitsAnyNumberOfAdapters) {
  constexpr uint32_t U = ~0u, kMinusOne = 0xbf800000;
  std::vector<uint8_t> expected;
  // host_descr: hostname, UUID, machine type x86_64, OS Linux, release
  put(expected, {2000, 48, 5}, {'h', 'o', 's', 't', '1', 0, 0, 0});
  put(expected, {0x01020304, 0x05060708, 0x090a0b0c, 0x0d0e0f10, 3, 2, 5}, {'6', '.', '1', '.'});
  put(expected, {0x30000000});
  // host_adapters: two, the first with one MAC address (padded), the second with none
  put(expected, {2001, 28, 2, 7, 1, 0x02000000, 0x00010000, 9, 0});
  // host_cpu: loads 0.5 and unknown, proc_run, proc_total, cpu_num, speed, uptime, user ...
  put(expected, {2003, 68, 0x3f000000, kMinusOne, kMinusOne, 2, U, 4, U, U, 100});
  put(expected, {U, U, U, U, U, U, U, U});
  // host_memory: total 4 GiB and six unknowns, of 64 bits; page_in 3, page_out ... swap_out
  put(expected, {2004, 72, 1, 0, U, U, U, U, U, U, U, U, U, U, U, U, 3, U, U, U});
  // host_disk_io: total, free, part_max_used 50.00 %, reads, bytes_read 512, read_time,
  // writes, bytes_written, write_time
  put(expected, {2005, 52, 0, 1000, U, U, 5000, U, 0, 512, U, U, U, U, U});
  // host_net_io: bytes_in, pkts_in, errs_in, drops_in, bytes_out, pkts_out, ...
  put(expected, {2006, 40, 0, 64, U, U, U, U, U, 1, U, U});
  uint8_t records[kMaxHostRecordBytes];
  uint32_t count = 0;
  const size_t length = writeHostRecords(sampleHost(), records, count);
  EXPECT_EQ(6u, count);
  ASSERT_EQ(expected.size(), length);
  for (size_t i = 0; i < length; ++i)
    EXPECT_EQ(expected[i], records[i]) << "byte " << i;
  // From the reporter: class 2 index 1, its own sequence; as many adapters as fit, so that
  // the sample never outgrows a datagram.
  for (size_t adapters : {2u, 200u}) {
    ReporterRig rig;
    HostCounters h = sampleHost();
    h.adapters.resize(adapters, HostAdapter{5, {{2, 0, 0, 0, 0, 2}}});
    const size_t written = writeHostRecords(h, records, count);
    for (int i = 0; i < 2; ++i)
      rig.reporter.addHostCounters(records, written, count);
    const auto d = rig.datagrams();
    ASSERT_EQ(2u, d.size());
    ASSERT_EQ(1u, d[1].hosts.size());
    const DecodedHost& host = d[1].hosts[0];
    EXPECT_EQ(std::tuple(2u, 2u, 1u),
              std::tuple(host.sequence, host.sourceIdType, host.sourceIdIndex));
    EXPECT_EQ((std::vector<uint32_t>{2000, 2001, 2003, 2004, 2005, 2006}), host.recordTypes);
    EXPECT_EQ(adapters == 2 ? 2u : 57u, host.adapters.size());  // 57 x 16 bytes fit, 58 would not
  }
}

}  // namespace
}  // namespace wendrel::test
