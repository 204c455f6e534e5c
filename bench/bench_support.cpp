#include "bench_support.h"

#include <benchmark/benchmark.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>

#include <cstdlib>
#include <new>

namespace {
// Per thread, so a loop counts its own allocations and not those of the harness's threads.
thread_local uint64_t allocations = 0;
}  // namespace

// Every allocation of the process goes through here, so the loops can show they make none.
// GCC pairs the inlined malloc/free below with new/delete and warns; they do match.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size ? size : 1))
    return p;
  throw std::bad_alloc();
}
// The array forms default to these.
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace wendrel::bench {

uint64_t allocationCount() {
  return allocations;
}

void NullSink::send(const uint8_t* data, size_t size) {
  benchmark::DoNotOptimize(data);
  benchmark::DoNotOptimize(size);
}

}  // namespace wendrel::bench

int main(int argc, char** argv) {
  log4cplus::Initializer initializer;
  log4cplus::Logger::getRoot().addAppender(
      log4cplus::SharedAppenderPtr(new log4cplus::NullAppender));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
