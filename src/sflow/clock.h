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

// The process's monotonic clock (std::chrono::steady_clock). Setting the system time does
// not move it, so the sFlow uptime never jumps back and collectors see no false restart.
class SteadyClock : public Clock {
 public:
  uint64_t nowMs() override;
};

}  // namespace wendrel
