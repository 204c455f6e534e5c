#include "host_records.h"

#include <algorithm>
#include <cstring>

namespace wendrel {

namespace {

constexpr uint32_t kHostDescription = 2000;
constexpr uint32_t kHostAdapters = 2001;
constexpr uint32_t kHostCpu = 2003;
constexpr uint32_t kHostMemory = 2004;
constexpr uint32_t kHostDiskIo = 2005;
constexpr uint32_t kHostNetIo = 2006;
constexpr size_t kMaxHostname = 64;
constexpr size_t kMaxOsRelease = 32;
constexpr size_t kMacBytes = 8;  // six bytes and two of padding

void string(XdrWriter& out, const std::string& text, size_t max) {
  const size_t length = std::min(text.size(), max);
  out.u32(static_cast<uint32_t>(length));
  out.bytes(reinterpret_cast<const uint8_t*>(text.data()), length);
}

size_t stringSize(const std::string& text, size_t max) {
  return 4 + XdrWriter::paddedSize(std::min(text.size(), max));
}

void head(XdrWriter& out, uint32_t type, size_t length) {
  out.u32(type);
  out.u32(static_cast<uint32_t>(length));
}

size_t adaptersSize(const std::vector<HostAdapter>& adapters, size_t count) {
  size_t size = 4;
  for (size_t i = 0; i < count; ++i)
    size += 8 + kMacBytes * adapters[i].macs.size();
  return size;
}

void writeAdapters(XdrWriter& out, const std::vector<HostAdapter>& adapters, size_t count) {
  head(out, kHostAdapters, adaptersSize(adapters, count));
  out.u32(static_cast<uint32_t>(count));
  for (size_t i = 0; i < count; ++i) {
    out.u32(adapters[i].ifIndex);
    out.u32(static_cast<uint32_t>(adapters[i].macs.size()));
    for (const auto& mac : adapters[i].macs)
      out.bytes(mac.data(), mac.size());
  }
}

uint32_t bitsOf(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

}  // namespace

void writeHostDescription(XdrWriter& out, const HostDescription& d) {
  head(out, kHostDescription,
       stringSize(d.hostname, kMaxHostname) + 16 + 8 + stringSize(d.osRelease, kMaxOsRelease));
  string(out, d.hostname, kMaxHostname);
  out.bytes(d.uuid.data(), d.uuid.size());
  out.u32(d.machineType);
  out.u32(d.osName);
  string(out, d.osRelease, kMaxOsRelease);
}

void writeHostAdapters(XdrWriter& out, const std::vector<HostAdapter>& adapters) {
  writeAdapters(out, adapters, adapters.size());
}

void writeHostCpu(XdrWriter& out, const HostCpu& c) {
  head(out, kHostCpu, 68);
  for (float load : {c.loadOne, c.loadFive, c.loadFifteen})
    out.u32(bitsOf(load));  // IEEE 754 single precision, big-endian like every word
  for (uint32_t word : {c.procRun, c.procTotal, c.cpuNum, c.cpuSpeedMhz, c.uptimeS, c.user, c.nice,
                        c.system, c.idle, c.wio, c.intr, c.sintr, c.interrupts, c.contexts})
    out.u32(word);
}

void writeHostMemory(XdrWriter& out, const HostMemory& m) {
  head(out, kHostMemory, 72);
  for (uint64_t bytes : {m.total, m.free, m.shared, m.buffers, m.cached, m.swapTotal, m.swapFree})
    out.u64(bytes);
  for (uint32_t count : {m.pageIn, m.pageOut, m.swapIn, m.swapOut})
    out.u32(count);
}

void writeHostDiskIo(XdrWriter& out, const HostDiskIo& d) {
  head(out, kHostDiskIo, 52);
  out.u64(d.total);
  out.u64(d.free);
  out.u32(d.partMaxUsed);
  out.u32(d.reads);
  out.u64(d.bytesRead);
  out.u32(d.readTimeMs);
  out.u32(d.writes);
  out.u64(d.bytesWritten);
  out.u32(d.writeTimeMs);
}

void writeHostNetIo(XdrWriter& out, const HostNetIo& n) {
  head(out, kHostNetIo, 40);
  out.u64(n.bytesIn);
  out.u32(n.packetsIn);
  out.u32(n.errorsIn);
  out.u32(n.dropsIn);
  out.u64(n.bytesOut);
  out.u32(n.packetsOut);
  out.u32(n.errorsOut);
  out.u32(n.dropsOut);
}

size_t writeHostRecords(const HostCounters& host, uint8_t* buffer, uint32_t& recordCount) {
  const HostDescription& d = host.description;
  const size_t fixed = 8 + stringSize(d.hostname, kMaxHostname) + 24 +
                       stringSize(d.osRelease, kMaxOsRelease) + 8 + 68 + 8 + 72 + 8 + 52 + 8 + 40 +
                       8;
  size_t adapters = host.adapters.size();
  while (adapters > 0 && fixed + adaptersSize(host.adapters, adapters) > kMaxHostRecordBytes)
    --adapters;
  XdrWriter out(buffer, kMaxHostRecordBytes);
  writeHostDescription(out, d);
  writeAdapters(out, host.adapters, adapters);
  writeHostCpu(out, host.cpu);
  writeHostMemory(out, host.memory);
  writeHostDiskIo(out, host.disk);
  writeHostNetIo(out, host.net);
  recordCount = 6;
  return out.offset();
}

}  // namespace wendrel
