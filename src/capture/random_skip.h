// The distance to the next sample, drawn at random: each counted packet is taken with the
// same probability whatever came before it, so regular traffic (two strictly alternating
// flows, say) cannot lock onto the sampling phase.
#pragma once

#include <cassert>
#include <cmath>
#include <cstdint>

namespace wendrel {

// xoshiro256** seeded through splitmix64: fast, small, and good enough for sampling; one per
// capture thread, so the per-packet path takes no lock.
class SampleRandom {
 public:
  explicit SampleRandom(uint64_t seed) {
    for (uint64_t& word : state_) {
      seed += 0x9E3779B97F4A7C15u;
      uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
      word = z ^ (z >> 31);
    }
  }

  uint64_t next() {
    const uint64_t result = rotl(state_[1] * 5, 7) * 9;
    const uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return result;
  }

  // Uniform in (0, 1]: never 0, so its logarithm is finite.
  double unitInterval() { return static_cast<double>((next() >> 11) + 1) * 0x1.0p-53; }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t state_[4];
};

// Geometric skips: packets up to and including the next one taken, when each is taken with
// probability `probability` (clamped to (0, 1]). The mean skip is 1 / probability.
class RandomSkip {
 public:
  RandomSkip(double probability, uint64_t seed)
      : random_(seed),
        logNotTaken_(probability >= 1.0 ? 0.0 : std::log1p(-probability)),
        threshold_(probability >= kTrialsBelow && probability < 1.0
                       ? static_cast<uint64_t>(probability * 0x1.0p64)
                       : 0) {
    assert(probability > 0.0);
  }

  uint32_t next() {
    if (logNotTaken_ == 0.0)
      return 1;
    if (threshold_ != 0) {
      // A likely take: a few integer trials cost less than the logarithm.
      uint32_t skip = 1;
      while (random_.next() >= threshold_)
        ++skip;
      return skip;
    }
    const double skip = std::floor(std::log(random_.unitInterval()) / logNotTaken_);
    return skip >= 4294967294.0 ? 4294967295u : static_cast<uint32_t>(skip) + 1;
  }

 private:
  // At most 8 trials on average; below that the logarithm is cheaper.
  static constexpr double kTrialsBelow = 0.125;

  SampleRandom random_;
  double logNotTaken_;
  uint64_t threshold_;  // probability in 2^-64 units, when trials are used; else 0
};

}  // namespace wendrel
