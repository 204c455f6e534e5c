// The hand-built selection programs, run by the kernel itself: attached to a UDP socket on
// loopback, where the filter sees the datagram from its UDP header on, so the payload is
// laid out to put an EtherType at offset 12 and an "IPv4 checksum" at offset 24.
#include "kernel_selection.h"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>

#include "random_skip.h"

namespace wendrel {
namespace {

constexpr uint16_t kIpv4 = 0x0800, kIpv6 = 0x86DD, kArp = 0x0806;

// Sends `count` datagrams shaped as frames of `etherType` with `checksum` through `program`;
// returns how many it let through.
int passed(std::vector<bpf_insn> program, uint16_t etherType, uint16_t checksum, int count) {
  const int receiver = socket(AF_INET, SOCK_DGRAM, 0), sender = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  const sock_fprog fprog{uint16_t(program.size()), reinterpret_cast<sock_filter*>(program.data())};
  EXPECT_EQ(0, bind(receiver, reinterpret_cast<sockaddr*>(&address), length) |
                   getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length) |
                   connect(sender, reinterpret_cast<sockaddr*>(&address), length) |
                   setsockopt(receiver, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog));
  uint8_t payload[64] = {};
  payload[4] = uint8_t(etherType >> 8), payload[5] = uint8_t(etherType);
  payload[16] = uint8_t(checksum >> 8), payload[17] = uint8_t(checksum);
  int received = 0;
  uint8_t buffer[128];
  for (int i = 0; i < count; ++i) {
    EXPECT_EQ(ssize_t(sizeof payload), send(sender, payload, sizeof payload, 0));
    // Loopback delivers within send; draining each time keeps the queue from overflowing.
    while (recv(receiver, buffer, sizeof buffer, MSG_DONTWAIT) > 0)
      ++received;
  }
  close(receiver), close(sender);
  return received;
}

// A frame passed with probability 1/k: the count is binomial, and 4 standard deviations
// either side of n/k fails by chance about once in 16,000 runs.
void expectBinomial(int passed, int n, double k, const char* what) {
  EXPECT_NEAR(passed, n / k, 4 * std::sqrt(n / k * (1 - 1 / k))) << what;
}

TEST(KernelSelection, TheKernelRunsEachProgramAsBuilt) {
  constexpr int n = 4000;
  using K = KernelSelection;
  expectBinomial(passed(kernelSelectionProgram(K::kRandom, 8, true, 128), kIpv4, 0, n), n, 8,
                 "random IPv4");
  expectBinomial(passed(kernelSelectionProgram(K::kRandom, 8, true, 128), kIpv6, 0, n), n, 8,
                 "random IPv6");
  EXPECT_EQ(0, passed(kernelSelectionProgram(K::kRandom, 8, true, 128), kArp, 0xFFFF, 200));
  expectBinomial(passed(kernelSelectionProgram(K::kRandom, 4, false, 128), kIpv4, 0xFFFF, n), n, 4,
                 "random IPv4 only");
  EXPECT_EQ(0, passed(kernelSelectionProgram(K::kRandom, 4, false, 128), kIpv6, 0xFFFF, 200));
  const auto checksumBits = kernelSelectionProgram(K::kChecksumBits, 16, true, 128);
  EXPECT_EQ(200, passed(checksumBits, kIpv4, 0x120F, 200));  // low four bits set: always
  EXPECT_EQ(0, passed(checksumBits, kIpv4, 0x1207, 200));    // one missing: never
  expectBinomial(passed(checksumBits, kIpv6, 0, n), n, 16, "IPv6 beside checksum bits");
  EXPECT_EQ(50, passed(kernelSelectionProgram(K::kRandom, 1, true, 128), kIpv6, 0, 50));
}

// A geometric skip has variance (1 - p) / p^2; its mean over the draws is within 4 standard
// errors of the rate.
TEST(RandomSkip, SkipsAreGeometricWithTheConfiguredMean) {
  for (double rate : {1.0, 2.0, 32.0, 1000.0}) {
    RandomSkip skip(1.0 / rate, 7);
    constexpr int draws = 20000;
    double sum = 0;
    int ones = 0;
    for (int i = 0; i < draws; ++i) {
      const uint32_t s = skip.next();
      ASSERT_GE(s, 1u);
      sum += s, ones += s == 1;
    }
    const double p = 1.0 / rate;
    EXPECT_NEAR(sum / draws, rate, 4 * std::sqrt((1 - p) / (p * p) / draws) + 1e-9) << rate;
    expectBinomial(ones, draws, rate, "skips of one");
  }
}

}  // namespace
}  // namespace wendrel
