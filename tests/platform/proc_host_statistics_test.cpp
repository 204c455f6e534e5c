// The host's counters from /proc and /sys: exact on files of known content under a scratch
// root, all unknown where there are none, and in step with the host's own /proc.
#include "proc_host_statistics.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "test_util.h"

namespace wendrel {
namespace {

TEST(ProcHostStatistics, ReadsEachFileExactly) {
  const std::string root = "/tmp/wendrel-host-" + std::to_string(getpid());
  ASSERT_TRUE(test::shell("mkdir -p " + root + "/sys/block/sda"));  // a whole disk
  const std::pair<const char*, const char*> files[] = {
      {"/proc/sys/kernel/hostname", "box\n"},
      {"/proc/sys/kernel/osrelease", "6.1.0-9-amd64\n"},
      {"/sys/class/dmi/id/product_uuid", "01020304-0506-0708-090a-0b0c0d0e0f10\n"},
      {"/etc/machine-id", "ffffffffffffffffffffffffffffffff\n"},
      {"/proc/loadavg", "0.50 1.25 2.00 3/250 999\n"},
      {"/proc/uptime", "12345.67 100.00\n"},
      {"/proc/stat",
       "cpu  100 200 300 400 500 600 700 0 0 0\ncpu0 1 1 1 1 1 1 1\n"
       "cpu1 1 1 1 1 1 1 1\nintr 4242 1 2\nctxt 777\n"},
      {"/proc/cpuinfo", "processor\t: 0\ncpu MHz\t\t: 2400.123\n"},
      {"/proc/meminfo",
       "MemTotal:  1000 kB\nMemFree:  200 kB\nBuffers: 30 kB\nCached: 40 kB\n"
       "SwapCached: 9 kB\nSwapTotal: 500 kB\nSwapFree: 400 kB\nShmem: 5 kB\n"},
      {"/proc/vmstat", "pgpgin 11\npgpgout 12\npswpin 13\npswpout 14\n"},
      {"/proc/diskstats",
       "   8  0 sda 10 0 20 30 40 0 50 60 0 0 0\n"
       "   8  1 sda1 10 0 20 30 40 0 50 60 0 0 0\n"
       "   7  0 loop0 10 0 20 30 40 0 50 60 0 0 0\n"},
      {"/proc/net/dev",
       "Inter-|   Receive\n face |bytes packets errs drop fifo frame compressed "
       "multicast|bytes\n    lo: 9 9 9 9 0 0 0 0 9 9 9 9 0 0 0 0\n"
       "  eth0: 100 2 3 4 0 0 0 0 200 5 6 7 0 0 0 0\n"
       "  eth1: 1 1 0 0 0 0 0 0 1 1 0 0 0 0 0 0\n"},
  };
  for (const auto& [path, text] : files)
    test::shell("mkdir -p $(dirname " + root + path + ")"), std::ofstream(root + path) << text;
  const HostCounters h = ProcHostStatistics(root).read();
  test::shell("rm -rf " + root);
  auto ms = [hz = sysconf(_SC_CLK_TCK)](uint32_t ticks) { return uint32_t(ticks * 1000 / hz); };
  EXPECT_EQ(std::tuple("box", "6.1.0-9-amd64", 2u),
            std::tuple(h.description.hostname, h.description.osRelease, h.description.osName));
  EXPECT_EQ((std::array<uint8_t, 16>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}),
            h.description.uuid);
  EXPECT_EQ(std::tuple(0.5f, 1.25f, 2.0f),
            std::tuple(h.cpu.loadOne, h.cpu.loadFive, h.cpu.loadFifteen));
  EXPECT_EQ((std::vector<uint32_t>{3, 250, 2, 2400, 12345, ms(100), ms(200), ms(300), ms(400),
                                   ms(500), ms(600), ms(700), 4242, 777}),
            (std::vector<uint32_t>{h.cpu.procRun, h.cpu.procTotal, h.cpu.cpuNum, h.cpu.cpuSpeedMhz,
                                   h.cpu.uptimeS, h.cpu.user, h.cpu.nice, h.cpu.system, h.cpu.idle,
                                   h.cpu.wio, h.cpu.intr, h.cpu.sintr, h.cpu.interrupts,
                                   h.cpu.contexts}));
  const HostMemory& m = h.memory;
  EXPECT_EQ(
      (std::vector<uint64_t>{1024000, 204800, 5120, 30720, 40960, 512000, 409600, 11, 12, 13, 14}),
      (std::vector<uint64_t>{m.total, m.free, m.shared, m.buffers, m.cached, m.swapTotal,
                             m.swapFree, m.pageIn, m.pageOut, m.swapIn, m.swapOut}));
  // The whole disk only, not its partition nor the loop device; no file system known without
  // /proc/mounts; the interfaces but loopback.
  const HostDiskIo& d = h.disk;
  const HostNetIo& n = h.net;
  EXPECT_EQ((std::vector<uint64_t>{10, 20 * 512, 30, 40, 50 * 512, 60, kUnknown64, 101, 3, 3, 4,
                                   201, 6, 6, 7}),
            (std::vector<uint64_t>{d.reads, d.bytesRead, d.readTimeMs, d.writes, d.bytesWritten,
                                   d.writeTimeMs, d.total, n.bytesIn, n.packetsIn, n.errorsIn,
                                   n.dropsIn, n.bytesOut, n.packetsOut, n.errorsOut, n.dropsOut}));
  // Where nothing can be read, everything is unknown but what uname(2) says.
  const HostCounters none = ProcHostStatistics("/nonexistent").read();
  EXPECT_EQ(std::tuple("", std::array<uint8_t, 16>{}, "", kUnknown32, kUnknown32, kUnknown64,
                       kUnknown32, kUnknown64, kUnknown64, -1.0f),
            std::tuple(none.description.hostname, none.description.uuid, none.description.osRelease,
                       none.cpu.user, none.cpu.cpuNum, none.memory.total, none.disk.reads,
                       none.disk.total, none.net.bytesIn, none.cpu.loadOne));
}

// The host's own files, in their real formats; memory within 1 % of what /proc/meminfo says.
TEST(ProcHostStatistics, AgreesWithTheHost) {
  const HostCounters h = ProcHostStatistics().read();
  auto meminfo = [](const std::string& key) {  // in bytes
    const std::string text = test::readFile("/proc/meminfo");
    return std::stoull(text.substr(text.find(key + ":") + key.size() + 1)) * 1024;
  };
  EXPECT_EQ(meminfo("MemTotal"), h.memory.total);
  EXPECT_NEAR(double(meminfo("MemFree")), double(h.memory.free), 0.01 * double(h.memory.total));
  EXPECT_EQ(uint32_t(sysconf(_SC_NPROCESSORS_ONLN)), h.cpu.cpuNum);
  EXPECT_NE(kUnknown32, h.cpu.user);
  char name[256] = "";
  gethostname(name, sizeof name);
  EXPECT_EQ(name, h.description.hostname);
  EXPECT_NE((std::array<uint8_t, 16>{}), h.description.uuid);  // the machine id at least
  EXPECT_NE(kUnknown64, h.disk.total);
  EXPECT_LE(h.disk.free, h.disk.total);
}

}  // namespace
}  // namespace wendrel
