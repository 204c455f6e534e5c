// addSample per sample (datagrams go to a sink that drops them) and per datagram sent to a
// loopback UDP socket, with the heap allocations made inside the timed loops counted.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench_support.h"
#include "clock.h"
#include "collector_socket.h"
#include "datagram_sink.h"
#include "packet_reporter.h"

namespace {

std::vector<uint8_t> frame(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  return bytes;
}

void reportAllocations(benchmark::State& state, uint64_t before, const char* per) {
  state.counters[per] =
      benchmark::Counter(static_cast<double>(wendrel::bench::allocationCount() - before) /
                         static_cast<double>(state.iterations()));
}

// One sample per iteration; every sixth to nineteenth sample also hands a full datagram to
// the sink, as in the agent. Arg: captured bytes of the packet.
void BM_AddSample(benchmark::State& state) {
  wendrel::SteadyClock clock;
  wendrel::bench::NullSink sink;
  wendrel::PacketReporter reporter("collector", clock, sink);
  const auto captured = static_cast<uint32_t>(state.range(0));
  const std::vector<uint8_t> packet = frame(captured);
  const wendrel::PacketView view{packet.data(), captured, 1514};
  uint16_t source = 0;
  const uint64_t before = wendrel::bench::allocationCount();
  for (auto _ : state) {
    reporter.addSample(view, 32, source);
    source = static_cast<uint16_t>((source + 1) & 3);  // four interfaces take turns
  }
  reportAllocations(state, before, "allocs/sample");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddSample)->Arg(60)->Arg(128)->Arg(1514);

// Capture threads contending for the one reporter.
void BM_AddSampleContended(benchmark::State& state) {
  static wendrel::SteadyClock clock;
  static wendrel::bench::NullSink sink;
  static wendrel::PacketReporter reporter("collector", clock, sink);
  static const std::vector<uint8_t> packet = frame(128);
  const wendrel::PacketView view{packet.data(), 128, 1514};
  const auto source = static_cast<uint16_t>(state.thread_index());
  const uint64_t before = wendrel::bench::allocationCount();
  for (auto _ : state)
    reporter.addSample(view, 32, source);
  reportAllocations(state, before, "allocs/sample");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddSampleContended)->Threads(1)->Threads(2)->UseRealTime();

// One full datagram (six 192-byte samples, 1180 bytes) per iteration, sent over loopback
// to a socket bound on port 6343 of a loopback address of this process's own.
void BM_DatagramToLoopback(benchmark::State& state) {
  const unsigned pid = static_cast<unsigned>(getpid());
  const std::string address =
      "127.43." + std::to_string(pid / 254 % 256) + "." + std::to_string(pid % 254 + 1);
  const int receiver = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(6343);
  inet_pton(AF_INET, address.c_str(), &local.sin_addr);
  if (receiver < 0 || ::bind(receiver, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    state.SkipWithError("cannot bind the loopback collector");
    if (receiver >= 0)
      ::close(receiver);
    return;
  }
  wendrel::SteadyClock clock;
  wendrel::CollectorSocket socket;
  wendrel::PacketReporter reporter(address, clock, socket);
  if (!reporter.isInitialized()) {
    state.SkipWithError("reporter not initialized");
    ::close(receiver);
    return;
  }
  const std::vector<uint8_t> packet = frame(128);
  const wendrel::PacketView view{packet.data(), 128, 1514};
  std::vector<uint8_t> drain(2048);
  const uint64_t before = wendrel::bench::allocationCount();
  for (auto _ : state) {
    for (int i = 0; i < 6; ++i)
      reporter.addSample(view, 32, 0);
    reporter.flush();
    state.PauseTiming();
    // Keep the receive queue short so the kernel does not drop; not part of the figure.
    benchmark::DoNotOptimize(::recv(receiver, drain.data(), drain.size(), MSG_DONTWAIT));
    state.ResumeTiming();
  }
  reportAllocations(state, before, "allocs/datagram");
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 1180);
  ::close(receiver);
}
BENCHMARK(BM_DatagramToLoopback);

}  // namespace

// log4cplus must be initialised, as in the agent; the reporter's messages go nowhere here.
