// The hand-built selection programs, run by the kernel itself: attached to a UDP socket on
// loopback, where the filter sees the datagram from its UDP header on, so the payload is
// laid out to put an EtherType at offset 12 and an "IPv4 checksum" at offset 24.
#include "kernel_selection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>

#include "random_skip.h"

namespace wendrel {
namespace {

class LoopbackPair {
 public:
  explicit LoopbackPair(std::vector<bpf_insn> program) {
    receiver_ = socket(AF_INET, SOCK_DGRAM, 0);
    sender_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(0, bind(receiver_, reinterpret_cast<sockaddr*>(&address), length));
    EXPECT_EQ(0, getsockname(receiver_, reinterpret_cast<sockaddr*>(&address), &length));
    EXPECT_EQ(0, connect(sender_, reinterpret_cast<sockaddr*>(&address), length));
    sock_fprog fprog{static_cast<unsigned short>(program.size()),
                     reinterpret_cast<sock_filter*>(program.data())};
    EXPECT_EQ(0, setsockopt(receiver_, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog));
  }
  ~LoopbackPair() {
    close(receiver_);
    close(sender_);
  }

  // Sends `count` datagrams shaped as frames of `etherType` with `checksum`; returns how
  // many the filter let through.
  int passed(uint16_t etherType, uint16_t checksum, int count) {
    uint8_t payload[64] = {};
    payload[4] = static_cast<uint8_t>(etherType >> 8);
    payload[5] = static_cast<uint8_t>(etherType);
    payload[16] = static_cast<uint8_t>(checksum >> 8);
    payload[17] = static_cast<uint8_t>(checksum);
    int received = 0;
    uint8_t buffer[128];
    for (int i = 0; i < count; ++i) {
      EXPECT_EQ(static_cast<ssize_t>(sizeof payload), send(sender_, payload, sizeof payload, 0));
      // Loopback delivers within send; draining each time keeps the queue from overflowing.
      while (recv(receiver_, buffer, sizeof buffer, MSG_DONTWAIT) > 0)
        ++received;
    }
    return received;
  }

 private:
  int receiver_ = -1;
  int sender_ = -1;
};

constexpr uint16_t kIpv4 = 0x0800, kIpv6 = 0x86DD, kArp = 0x0806;

// A frame passed with probability 1/k: the count is binomial, and 4 standard deviations
// either side of n/k fails by chance about once in 16,000 runs.
void expectBinomial(int passed, int n, double k, const char* what) {
  const double p = 1.0 / k;
  const double bound = 4 * std::sqrt(n * p * (1 - p));
  EXPECT_NEAR(passed, n * p, bound) << what;
}

TEST(KernelSelection, TheKernelRunsEachProgramAsBuilt) {
  constexpr int n = 4000;
  {
    LoopbackPair pair(kernelSelectionProgram(KernelSelection::kRandom, 8, true, 128));
    expectBinomial(pair.passed(kIpv4, 0, n), n, 8, "random IPv4");
    expectBinomial(pair.passed(kIpv6, 0, n), n, 8, "random IPv6");
    EXPECT_EQ(0, pair.passed(kArp, 0xFFFF, 200));
  }
  {
    LoopbackPair pair(kernelSelectionProgram(KernelSelection::kRandom, 4, false, 128));
    expectBinomial(pair.passed(kIpv4, 0xFFFF, n), n, 4, "random IPv4 only");
    EXPECT_EQ(0, pair.passed(kIpv6, 0xFFFF, 200));
  }
  {
    LoopbackPair pair(kernelSelectionProgram(KernelSelection::kChecksumBits, 16, true, 128));
    EXPECT_EQ(200, pair.passed(kIpv4, 0x120F, 200));  // low four bits set: always
    EXPECT_EQ(0, pair.passed(kIpv4, 0x1207, 200));    // one missing: never
    expectBinomial(pair.passed(kIpv6, 0, n), n, 16, "IPv6 beside checksum bits");
  }
  {
    LoopbackPair pair(kernelSelectionProgram(KernelSelection::kRandom, 1, true, 128));
    EXPECT_EQ(50, pair.passed(kIpv6, 0, 50));
  }
}

TEST(RandomSkip, SkipsAreGeometricWithTheConfiguredMean) {
  for (double rate : {1.0, 2.0, 32.0, 1000.0}) {
    RandomSkip skip(1.0 / rate, 7);
    constexpr int draws = 20000;
    double sum = 0;
    int ones = 0;
    for (int i = 0; i < draws; ++i) {
      const uint32_t s = skip.next();
      ASSERT_GE(s, 1u);
      sum += s;
      ones += s == 1;
    }
    // A geometric skip has variance (1 - p) / p^2; its mean over the draws is within 4
    // standard errors of the rate.
    const double p = 1.0 / rate;
    EXPECT_NEAR(sum / draws, rate, 4 * std::sqrt((1 - p) / (p * p) / draws) + 1e-9) << rate;
    expectBinomial(ones, draws, rate, "skips of one");
  }
}

}  // namespace
}  // namespace wendrel
