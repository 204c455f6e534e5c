// The sample pool that random selection reports: every packet that reached the decision,
// counted as the packets it stands for, and carried by the sample that ends each run of them.
#include <gtest/gtest.h>

#include <tuple>

#include "../sflow/sflow_fakes.h"
#include "sampling.h"

namespace wendrel::test {
namespace {

// Packet n carries n in its first four bytes, so each sample says which packet it was: its
// pool must be step x n exactly (the kernel's preselection makes each arrival stand for `step`
// packets), on two interfaces at once, and the deterministic choice keeps rate x sequence.
TEST(SamplePool, CountsEveryPacketThatReachedTheDecision) {
  const std::tuple<bool, uint32_t, uint16_t> cases[] = {
      // random, rate, step
      {true, 32, 1},
      {true, 32, 8},
      {true, 1, 1},
      {false, 32, 8},
  };
  for (const auto& [random, rate, step] : cases) {
    ReporterRig rig;
    SamplingState states[2];
    for (uint16_t i = 0; i < 2; ++i) {
      states[i].reporter = &rig.reporter, states[i].samplingRate = rate;
      states[i].step = step, states[i].sourceIndex = i;
      if (random)
        chooseAtRandom(states[i], 42 + i);
    }
    const pcap_pkthdr header{{}, 60, 60};
    std::vector<uint8_t> frame(60);
    for (uint32_t n = 1; n <= 3000; ++n) {
      frame[0] = uint8_t(n >> 24), frame[1] = uint8_t(n >> 16), frame[2] = uint8_t(n >> 8);
      frame[3] = uint8_t(n);
      packetHandler(reinterpret_cast<u_char*>(&states[n % 2]), &header, frame.data());
    }
    const std::vector<DecodedSample> samples = rig.samples();
    ASSERT_LT(10u, samples.size());
    for (const DecodedSample& s : samples) {
      const uint32_t n =
          uint32_t{s.header[0]} << 24 | s.header[1] << 16 | s.header[2] << 8 | s.header[3];
      const uint32_t packets = (n + s.sourceId) / 2;  // of its interface, this one included
      EXPECT_EQ(random ? step * packets : rate * s.sequence, s.samplePool)
          << (random ? "random " : "every ") << rate << "/" << step << " packet " << n;
    }
  }
}

}  // namespace
}  // namespace wendrel::test
