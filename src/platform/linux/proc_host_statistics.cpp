#include "proc_host_statistics.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace wendrel {

namespace {

constexpr uint32_t kMachineOther = 1, kOsLinux = 2;
constexpr uint64_t kSectorBytes = 512;  // /proc/diskstats counts in these, whatever the disk

std::string firstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// 32 hex digits, dashes ignored, into 16 bytes; false when it is not that.
bool parseUuid(const std::string& text, std::array<uint8_t, 16>& out) {
  std::string hex;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c)))
      hex += c;
    else if (c != '-' && !std::isspace(static_cast<unsigned char>(c)))
      return false;
  }
  if (hex.size() != 32)
    return false;
  for (size_t i = 0; i < 16; ++i)
    out[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return true;
}

uint32_t machineType(const std::string& machine) {
  static const std::map<std::string, uint32_t> kTypes = {
      {"i386", 2},    {"i486", 2},    {"i586", 2},   {"i686", 2}, {"x86_64", 3},   {"ia64", 4},
      {"sparc", 5},   {"sparc64", 5}, {"alpha", 6},  {"ppc", 7},  {"ppc64", 7},    {"ppc64le", 7},
      {"m68k", 8},    {"mips", 9},    {"mips64", 9}, {"arm", 10}, {"aarch64", 10}, {"armv7l", 10},
      {"parisc", 11}, {"s390", 12},   {"s390x", 12}};
  const auto it = kTypes.find(machine);
  return it != kTypes.end() ? it->second : kMachineOther;
}

}  // namespace

ProcHostStatistics::ProcHostStatistics(std::string root)
    : root_(std::move(root)), ticksPerSecond_(sysconf(_SC_CLK_TCK)) {
  if (ticksPerSecond_ <= 0)
    ticksPerSecond_ = 100;  // USER_HZ on every Linux architecture
}

HostCounters ProcHostStatistics::read() {
  HostCounters host;
  readDescription(host.description);
  readCpu(host.cpu);
  readMemory(host.memory);
  readDisks(host.disk);
  readNet(host.net);
  return host;
}

void ProcHostStatistics::readDescription(HostDescription& d) const {
  d.hostname = firstLine(root_ + "/proc/sys/kernel/hostname");
  // The firmware's UUID is the machine's own; the machine id, where it is not readable (it
  // is root's only), is as stable for the life of the installation.
  if (!parseUuid(firstLine(root_ + "/sys/class/dmi/id/product_uuid"), d.uuid) &&
      !parseUuid(firstLine(root_ + "/etc/machine-id"), d.uuid))
    d.uuid = {};
  utsname names{};
  if (uname(&names) == 0)
    d.machineType = machineType(names.machine);
  d.osName = kOsLinux;
  d.osRelease = firstLine(root_ + "/proc/sys/kernel/osrelease");
}

void ProcHostStatistics::readCpu(HostCpu& c) const {
  {
    std::ifstream in(root_ + "/proc/loadavg");
    float one, five, fifteen;
    unsigned running, total;
    char slash;
    if (in >> one >> five >> fifteen >> running >> slash >> total && slash == '/') {
      c.loadOne = one, c.loadFive = five, c.loadFifteen = fifteen;
      c.procRun = running, c.procTotal = total;
    }
  }
  {
    std::ifstream in(root_ + "/proc/uptime");
    double seconds;
    if (in >> seconds)
      c.uptimeS = static_cast<uint32_t>(seconds);
  }
  std::ifstream stat(root_ + "/proc/stat");
  uint32_t cpus = 0;
  // Ticks to milliseconds, wrapping at 32 bits as the counters do.
  const auto ms = [this](unsigned long long ticks) {
    return static_cast<uint32_t>(ticks * 1000 / static_cast<unsigned long long>(ticksPerSecond_));
  };
  for (std::string line; std::getline(stat, line);) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    unsigned long long v[7];
    if (key == "cpu" && fields >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5] >> v[6]) {
      c.user = ms(v[0]), c.nice = ms(v[1]), c.system = ms(v[2]), c.idle = ms(v[3]);
      c.wio = ms(v[4]), c.intr = ms(v[5]), c.sintr = ms(v[6]);
    } else if (key.compare(0, 3, "cpu") == 0 && key.size() > 3) {
      ++cpus;
    } else if (key == "intr" && fields >> v[0]) {
      c.interrupts = static_cast<uint32_t>(v[0]);
    } else if (key == "ctxt" && fields >> v[0]) {
      c.contexts = static_cast<uint32_t>(v[0]);
    }
  }
  if (cpus != 0)
    c.cpuNum = cpus;
  std::ifstream cpuinfo(root_ + "/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.compare(0, 7, "cpu MHz") == 0) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos)
        c.cpuSpeedMhz = static_cast<uint32_t>(std::stod(line.substr(colon + 1)));
      break;
    }
  }
}

void ProcHostStatistics::readMemory(HostMemory& m) const {
  const std::map<std::string, uint64_t*> kilobytes = {
      {"MemTotal:", &m.total},   {"MemFree:", &m.free},  {"Shmem:", &m.shared},
      {"Buffers:", &m.buffers},  {"Cached:", &m.cached}, {"SwapTotal:", &m.swapTotal},
      {"SwapFree:", &m.swapFree}};
  std::ifstream meminfo(root_ + "/proc/meminfo");
  std::string key;
  unsigned long long value;
  std::string unit;
  for (std::string line; std::getline(meminfo, line);) {
    std::istringstream fields(line);
    if (!(fields >> key >> value))
      continue;
    const auto it = kilobytes.find(key);
    if (it != kilobytes.end())
      *it->second = value * 1024;
  }
  const std::map<std::string, uint32_t*> counts = {{"pgpgin", &m.pageIn},
                                                   {"pgpgout", &m.pageOut},
                                                   {"pswpin", &m.swapIn},
                                                   {"pswpout", &m.swapOut}};
  std::ifstream vmstat(root_ + "/proc/vmstat");
  while (vmstat >> key >> value) {
    const auto it = counts.find(key);
    if (it != counts.end())
      *it->second = static_cast<uint32_t>(value);
  }
}

void ProcHostStatistics::readDisks(HostDiskIo& d) const {
  // Whole disks only (those /sys/block lists), and not the loop, RAM or device-mapper ones
  // that stand on other disks or on nothing: their partitions and layers would count twice.
  std::ifstream diskstats(root_ + "/proc/diskstats");
  uint64_t reads = 0, readSectors = 0, readMs = 0, writes = 0, writeSectors = 0, writeMs = 0;
  bool any = false;
  for (std::string line; std::getline(diskstats, line);) {
    std::istringstream fields(line);
    unsigned major, minor;
    std::string name;
    unsigned long long v[8];
    if (!(fields >> major >> minor >> name >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5] >>
          v[6] >> v[7]))
      continue;
    struct stat info;
    if (name.compare(0, 4, "loop") == 0 || name.compare(0, 3, "ram") == 0 ||
        name.compare(0, 3, "dm-") == 0 ||
        ::stat((root_ + "/sys/block/" + name).c_str(), &info) != 0)
      continue;
    any = true;
    reads += v[0], readSectors += v[2], readMs += v[3];
    writes += v[4], writeSectors += v[6], writeMs += v[7];
  }
  if (any) {
    d.reads = static_cast<uint32_t>(reads), d.readTimeMs = static_cast<uint32_t>(readMs);
    d.bytesRead = readSectors * kSectorBytes;
    d.writes = static_cast<uint32_t>(writes), d.writeTimeMs = static_cast<uint32_t>(writeMs);
    d.bytesWritten = writeSectors * kSectorBytes;
  }
  // The file systems on block devices, each device once.
  std::ifstream mounts(root_ + "/proc/mounts");
  std::set<std::string> seen;
  uint64_t total = 0, free = 0;
  uint32_t fullest = 0;
  bool anyMount = false;
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string device, point;
    if (!(fields >> device >> point) || device.compare(0, 5, "/dev/") != 0 ||
        !seen.insert(device).second)
      continue;
    struct statvfs fs;
    if (statvfs((root_ + point).c_str(), &fs) != 0 || fs.f_blocks == 0)
      continue;
    anyMount = true;
    const uint64_t size = uint64_t{fs.f_blocks} * fs.f_frsize;
    const uint64_t available = uint64_t{fs.f_bfree} * fs.f_frsize;
    total += size, free += available;
    fullest = std::max(fullest, static_cast<uint32_t>((size - available) * 10000 / size));
  }
  if (anyMount)
    d.total = total, d.free = free, d.partMaxUsed = fullest;
}

void ProcHostStatistics::readNet(HostNetIo& n) const {
  std::ifstream dev(root_ + "/proc/net/dev");
  uint64_t sums[8] = {};
  bool any = false;
  for (std::string line; std::getline(dev, line);) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos)
      continue;
    std::istringstream name(line.substr(0, colon));
    std::string interface;
    name >> interface;
    std::istringstream fields(line.substr(colon + 1));
    unsigned long long v[12];
    bool ok = true;
    for (unsigned long long& value : v)
      ok = ok && static_cast<bool>(fields >> value);
    if (!ok || interface == "lo")
      continue;
    any = true;
    // bytes, packets, errs, drop received; then 4 more; bytes, packets, errs, drop sent
    const int columns[8] = {0, 1, 2, 3, 8, 9, 10, 11};
    for (int i = 0; i < 8; ++i)
      sums[i] += v[columns[i]];
  }
  if (!any)
    return;
  n.bytesIn = sums[0], n.packetsIn = static_cast<uint32_t>(sums[1]);
  n.errorsIn = static_cast<uint32_t>(sums[2]), n.dropsIn = static_cast<uint32_t>(sums[3]);
  n.bytesOut = sums[4], n.packetsOut = static_cast<uint32_t>(sums[5]);
  n.errorsOut = static_cast<uint32_t>(sums[6]), n.dropsOut = static_cast<uint32_t>(sums[7]);
}

}  // namespace wendrel
