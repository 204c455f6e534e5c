// The reporter's time source: milliseconds on a clock that never steps back.
#pragma once

#include <cstdint>

namespace wendrel {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary fixed origin; never decreases.
  virtual uint64_t nowMs() = 0;
};

// The process's monotonic clock (std::chrono::steady_clock).
class SteadyClock : public Clock {
 public:
  uint64_t nowMs() override;
};

}  // namespace wendrel
