// The host structures of sFlow (enterprise 0, formats 2000 to 2006): what a counter sample of
// the host itself (data source class 2) carries. Pure encoding; the values come from the
// caller. A value that cannot be known is the structure's unknown: all ones for unsigned
// numbers, -1 for the loads, empty for text, zeros for the UUID.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "xdr_writer.h"

namespace wendrel {

constexpr uint32_t kUnknown32 = 0xFFFFFFFF;
constexpr uint64_t kUnknown64 = ~uint64_t{0};

struct HostDescription {
  std::string hostname;            // at most 64 bytes are sent
  std::array<uint8_t, 16> uuid{};  // all zero when unknown
  uint32_t machineType = 0;        // 0 unknown, 1 other, 2 x86, 3 x86_64, ... 10 arm
  uint32_t osName = 0;             // 0 unknown, 2 Linux
  std::string osRelease;           // at most 32 bytes are sent
};

struct HostAdapter {
  uint32_t ifIndex = 0;
  std::vector<std::array<uint8_t, 6>> macs;
};

struct HostCpu {
  float loadOne = -1, loadFive = -1, loadFifteen = -1;
  uint32_t procRun = kUnknown32, procTotal = kUnknown32, cpuNum = kUnknown32;
  uint32_t cpuSpeedMhz = kUnknown32, uptimeS = kUnknown32;
  // Milliseconds of CPU time since boot, wrapping at 32 bits.
  uint32_t user = kUnknown32, nice = kUnknown32, system = kUnknown32, idle = kUnknown32;
  uint32_t wio = kUnknown32, intr = kUnknown32, sintr = kUnknown32;
  uint32_t interrupts = kUnknown32, contexts = kUnknown32;
};

struct HostMemory {  // bytes, and pages and swaps since boot
  uint64_t total = kUnknown64, free = kUnknown64, shared = kUnknown64, buffers = kUnknown64;
  uint64_t cached = kUnknown64, swapTotal = kUnknown64, swapFree = kUnknown64;
  uint32_t pageIn = kUnknown32, pageOut = kUnknown32, swapIn = kUnknown32, swapOut = kUnknown32;
};

struct HostDiskIo {
  uint64_t total = kUnknown64, free = kUnknown64;  // bytes of the local file systems
  uint32_t partMaxUsed = kUnknown32;               // hundredths of a percent, the fullest one
  uint32_t reads = kUnknown32;
  uint64_t bytesRead = kUnknown64;
  uint32_t readTimeMs = kUnknown32, writes = kUnknown32;
  uint64_t bytesWritten = kUnknown64;
  uint32_t writeTimeMs = kUnknown32;
};

struct HostNetIo {  // every interface but loopback
  uint64_t bytesIn = kUnknown64;
  uint32_t packetsIn = kUnknown32, errorsIn = kUnknown32, dropsIn = kUnknown32;
  uint64_t bytesOut = kUnknown64;
  uint32_t packetsOut = kUnknown32, errorsOut = kUnknown32, dropsOut = kUnknown32;
};

struct HostCounters {
  HostDescription description;
  std::vector<HostAdapter> adapters;
  HostCpu cpu;
  HostMemory memory;
  HostDiskIo disk;
  HostNetIo net;
};

// Each writes one record: its type, its length, then the structure.
void writeHostDescription(XdrWriter& out, const HostDescription& d);
void writeHostAdapters(XdrWriter& out, const std::vector<HostAdapter>& adapters);
void writeHostCpu(XdrWriter& out, const HostCpu& c);
void writeHostMemory(XdrWriter& out, const HostMemory& m);
void writeHostDiskIo(XdrWriter& out, const HostDiskIo& d);
void writeHostNetIo(XdrWriter& out, const HostNetIo& n);

// The largest record bytes a host counter sample holds, so that it fits a datagram on its own.
constexpr size_t kMaxHostRecordBytes = 1300 - 40 - 24;

// All six records into `out` (at least kMaxHostRecordBytes); returns their length. The
// adapters that would not fit are left out, the last first.
size_t writeHostRecords(const HostCounters& host, uint8_t* out, uint32_t& recordCount);

}  // namespace wendrel
