// Choosing packets: the capture filter with its sampling step; the per-packet decision and the
// sample pool on several interfaces; the hand-built selection programs, run by the kernel itself.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <tuple>

#include "../sflow/sflow_fakes.h"
#include "kernel_selection.h"
#include "sampling.h"

namespace wendrel::test {
namespace {

// An Ethernet frame numbered in its first four bytes, with an IPv4 header checksum.
std::vector<uint8_t> frame(uint32_t n, uint16_t checksum, uint16_t etherType = 0x0800) {
  std::vector<uint8_t> f = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
  f.resize(60);
  f[12] = uint8_t(etherType >> 8), f[13] = uint8_t(etherType), f[14] = 0x45, f[23] = 17;
  f[24] = uint8_t(checksum >> 8), f[25] = uint8_t(checksum);
  return f;
}

// The filter passes the IPv4 packets whose lowest log2(k) checksum bits are all set. Counting,
// packet n of an interface is taken when n * k / rate passes a whole number; at random, each
// sample's pool is k times the packets its interface has seen (the kernel's preselection makes each
// arrival stand for k packets).
TEST(SamplingTest, FilterStepTakenPacketsAndPoolOfEachInterface) {
  const std::tuple<uint32_t, bool, uint16_t, std::string> cases[] = {
      {32, false, 1, "ip"},
      {0, true, 1, "ip"},
      {3, true, 2, "ip[11] & 0x01 = 0x01"},
      {100, true, 64, "ip[11] & 0x3F = 0x3F"},
      {512, true, 256, "ip[11] & 0xFF = 0xFF"},
      {513, true, 512, "ip[10:2] & 0x01FF = 0x01FF"},
      {65536, true, 32768, "ip[10:2] & 0x7FFF = 0x7FFF"},
      {4294967295u, true, 32768, "ip[10:2] & 0x7FFF = 0x7FFF"},
  };
  const pcap_pkthdr header{{}, 60, 60};
  for (const auto& [rate, performanceMode, step, text] : cases) {
    const CaptureFilter filter = buildFilter(rate, performanceMode);
    EXPECT_EQ(std::tuple(text, step), std::tuple(filter.text, filter.step));
    ReporterRig rig;
    SamplingState interfaces[4];  // 0 and 1 count, 2 and 3 choose at random
    for (uint16_t i = 0; i < 4; ++i)
      if (interfaces[i] = {&rig.reporter, rate, 0, step, i}; i >= 2)
        chooseAtRandom(interfaces[i], 42 + i);
    std::map<uint32_t, std::vector<uint32_t>> expected, taken;  // counting source -> packets
    for (uint32_t n = 1; n <= (rate == 0 ? 3 : 2 * (rate / step + 1)); ++n) {
      const std::vector<uint8_t> f = frame(n, 0xFFFF);
      for (SamplingState& state : interfaces)
        packetHandler(reinterpret_cast<u_char*>(&state), &header, f.data());
      if (rate == 0 || uint64_t(n) * step / rate != uint64_t(n - 1) * step / rate)
        expected[0].push_back(n), expected[1].push_back(n);
    }
    for (const DecodedSample& s : rig.samples()) {
      EXPECT_EQ(rate, s.samplingRate);
      const uint32_t n =
          uint32_t{s.header[0]} << 24 | s.header[1] << 16 | s.header[2] << 8 | s.header[3];
      if (s.sourceId < 2)
        taken[s.sourceId].push_back(n);
      else
        EXPECT_EQ(step * n, s.samplePool) << text << " packet " << n;
    }
    EXPECT_EQ(expected, taken) << text;
  }
}

// Sends `count` frames of `etherType` with `checksum` through `program`, attached to one end
// of a datagram socket pair; returns how many it let through.
int passed(std::vector<bpf_insn> program, uint16_t etherType, uint16_t checksum, int count) {
  int ends[2];
  const sock_fprog fprog{uint16_t(program.size()), reinterpret_cast<sock_filter*>(program.data())};
  EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_DGRAM, 0, ends) |
                   setsockopt(ends[1], SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog));
  const std::vector<uint8_t> f = frame(0, checksum, etherType);
  int received = 0;
  for (uint8_t buffer[128]; count-- > 0;) {  // a datagram the filter refuses is dropped silently
    EXPECT_EQ(ssize_t(f.size()), send(ends[0], f.data(), f.size(), 0));
    received += recv(ends[1], buffer, sizeof buffer, MSG_DONTWAIT) > 0;
  }
  close(ends[0]), close(ends[1]);
  return received;
}

constexpr uint16_t kIpv4 = 0x0800, kIpv6 = 0x86DD, kArp = 0x0806;

TEST(KernelSelection, TheKernelRunsEachProgramAsBuilt) {
  // Of n frames passed with probability 1/k the count is binomial; 4 standard deviations
  // either side of n/k fail by chance about once in 16,000 runs.
  constexpr int n = 4000;
  const auto within = [](double k) { return 4 * std::sqrt(n / k * (1 - 1 / k)); };
  using K = KernelSelection;
  // The random draw on both families, and k = 1, meet real capture on veth links too.
  EXPECT_EQ(0, passed(kernelSelectionProgram(K::kRandom, 8, true, 128), kArp, 0xFFFF, 200));
  const auto random4 = kernelSelectionProgram(K::kRandom, 4, false, 128);
  EXPECT_NEAR(passed(random4, kIpv4, 0xFFFF, n), n / 4, within(4));
  EXPECT_EQ(0, passed(random4, kIpv6, 0xFFFF, 200));
  const auto checksumBits = kernelSelectionProgram(K::kChecksumBits, 16, true, 128);
  EXPECT_EQ(200, passed(checksumBits, kIpv4, 0x120F, 200));            // low four bits set: always
  EXPECT_EQ(0, passed(checksumBits, kIpv4, 0x1207, 200));              // one missing: never
  EXPECT_NEAR(passed(checksumBits, kIpv6, 0, n), n / 16, within(16));  // no checksum: random
}

}  // namespace
}  // namespace wendrel::test
