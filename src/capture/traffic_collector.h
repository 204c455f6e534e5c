// STUB: the public interface other subsystems build against; the capture work replaces the body.
#pragma once

#include <cstdint>

#include "packet_reporter.h"

namespace wendrel {

class TrafficCollector {
 public:
  TrafficCollector(uint16_t snapLength, PacketReporter* reporter, int32_t bufferSize,
                   uint32_t samplingRate, bool performanceMode);
  ~TrafficCollector();
  TrafficCollector(const TrafficCollector&) = delete;
  TrafficCollector& operator=(const TrafficCollector&) = delete;

  // Starts the supervisor thread and returns at once.
  void startCollecting();
  // Ends capture: returns once the supervisor and every capture thread have ended and every
  // device is closed. A second call, or a call before startCollecting, does nothing.
  void stop();
};

}  // namespace wendrel
