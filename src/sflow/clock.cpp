#include "clock.h"

#include <chrono>

namespace wendrel {

uint64_t SteadyClock::nowMs() {
  const auto sinceOrigin = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(sinceOrigin).count());
}

}  // namespace wendrel
