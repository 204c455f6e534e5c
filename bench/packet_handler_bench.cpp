// packetHandler per packet: the path that drops the packet (one add, one compare; no lock,
// no allocation) and the paths that take one packet in 2 or in 32 into a reporter whose
// datagrams go nowhere, counting every N-th or at random. Heap allocations inside the timed loops
// are counted.
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>

#include <vector>

#include "bench_support.h"
#include "clock.h"
#include "datagram_sink.h"
#include "packet_reporter.h"
#include "sampling.h"

namespace {

class FixedClock : public wendrel::Clock {
 public:
  uint64_t nowMs() override { return 0; }
};

void runHandler(benchmark::State& state, uint32_t rate, bool performanceMode, bool random = false) {
  FixedClock clock;
  wendrel::bench::NullSink sink;
  wendrel::PacketReporter reporter("127.0.0.1", clock, sink);
  wendrel::SamplingState sampling;
  sampling.reporter = &reporter;
  sampling.samplingRate = rate;
  sampling.step = wendrel::buildFilter(rate, performanceMode).step;
  if (random)
    wendrel::chooseAtRandom(sampling, 1);
  std::vector<uint8_t> frame(128, 0x5A);
  pcap_pkthdr header{};
  header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());

  const uint64_t before = wendrel::bench::allocationCount();
  for (auto _ : state) {
    wendrel::packetHandler(reinterpret_cast<u_char*>(&sampling), &header, frame.data());
    benchmark::ClobberMemory();
  }
  state.counters["allocs/packet"] =
      benchmark::Counter(static_cast<double>(wendrel::bench::allocationCount() - before),
                         benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(state.iterations());
}

// The largest rate with performance mode off: the counter never reaches the rate within
// any run, so every packet takes the drop path.
void BM_PacketHandlerNotTaken(benchmark::State& state) {
  runHandler(state, 4294967295u, false);
}
// Rate 32 in performance mode: every second packet that passes the filter is taken.
void BM_PacketHandlerRate32Performance(benchmark::State& state) {
  runHandler(state, 32, true);
}
// Rate 32 with performance mode off: one packet in 32 is taken.
void BM_PacketHandlerRate32(benchmark::State& state) {
  runHandler(state, 32, false);
}

// The same two with random skips (mean 32 packets, or 2 after the kernel's preselection).
void BM_PacketHandlerRate32PerformanceRandom(benchmark::State& state) {
  runHandler(state, 32, true, true);
}
void BM_PacketHandlerRate32Random(benchmark::State& state) {
  runHandler(state, 32, false, true);
}

BENCHMARK(BM_PacketHandlerNotTaken);
BENCHMARK(BM_PacketHandlerRate32PerformanceRandom);
BENCHMARK(BM_PacketHandlerRate32Random);
BENCHMARK(BM_PacketHandlerRate32Performance);
BENCHMARK(BM_PacketHandlerRate32);

}  // namespace
