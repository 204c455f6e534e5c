// addSample per sample (datagrams go to a sink that drops them) and per datagram sent to a
// loopback UDP socket, with the heap allocations made inside the timed loops counted.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "clock.h"
#include "collector_socket.h"
#include "datagram_sink.h"
#include "packet_reporter.h"

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
void* operator new[](std::size_t size) {
  return operator new(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

class NullSink : public wendrel::DatagramSink {
 public:
  void open(const std::string&) override {}
  void send(const uint8_t* data, size_t size) override {
    benchmark::DoNotOptimize(data);
    benchmark::DoNotOptimize(size);
  }
};

std::vector<uint8_t> frame(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  return bytes;
}

void reportAllocations(benchmark::State& state, uint64_t before, const char* per) {
  state.counters[per] = benchmark::Counter(static_cast<double>(allocations - before) /
                                           static_cast<double>(state.iterations()));
}

// One sample per iteration; every sixth to nineteenth sample also hands a full datagram to
// the sink, as in the agent. Arg: captured bytes of the packet.
void BM_AddSample(benchmark::State& state) {
  wendrel::SteadyClock clock;
  NullSink sink;
  wendrel::PacketReporter reporter("collector", clock, sink);
  const auto captured = static_cast<uint32_t>(state.range(0));
  const std::vector<uint8_t> packet = frame(captured);
  pcap_pkthdr header{};
  header.caplen = captured;
  header.len = 1514;
  uint16_t source = 0;
  const uint64_t before = allocations;
  for (auto _ : state) {
    reporter.addSample(&header, packet.data(), 32, source);
    source = static_cast<uint16_t>((source + 1) & 3);  // four interfaces take turns
  }
  reportAllocations(state, before, "allocs/sample");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddSample)->Arg(60)->Arg(128)->Arg(1514);

// Capture threads contending for the one reporter.
void BM_AddSampleContended(benchmark::State& state) {
  static wendrel::SteadyClock clock;
  static NullSink sink;
  static wendrel::PacketReporter reporter("collector", clock, sink);
  static const std::vector<uint8_t> packet = frame(128);
  pcap_pkthdr header{};
  header.caplen = 128;
  header.len = 1514;
  const auto source = static_cast<uint16_t>(state.thread_index());
  const uint64_t before = allocations;
  for (auto _ : state)
    reporter.addSample(&header, packet.data(), 32, source);
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
  pcap_pkthdr header{};
  header.caplen = 128;
  header.len = 1514;
  std::vector<uint8_t> drain(2048);
  const uint64_t before = allocations;
  for (auto _ : state) {
    for (int i = 0; i < 6; ++i)
      reporter.addSample(&header, packet.data(), 32, 0);
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
