// What the micro-benchmarks share: a count of the heap allocations made by the calling
// thread, a datagram sink that drops everything, and a main that sets up log4cplus.
#pragma once

#include <cstdint>
#include <string>

#include "datagram_sink.h"

namespace wendrel::bench {

// Heap allocations made so far by the calling thread (every operator new is counted).
uint64_t allocationCount();

class NullSink : public DatagramSink {
 public:
  void open(const std::string&) override {}
  void send(const uint8_t* data, size_t size) override;
};

}  // namespace wendrel::bench
