// The agent's capture engine on the host's devices with a reporter whose datagrams are
// counted, not sent. Usage: capture_bench_agent RATE PERFORMANCE(0|1). Runs until SIGTERM
// or SIGINT, stops the collector, then prints "samples N datagrams G cpu_seconds C" and the
// capture statistics lines of every device.
#include <log4cplus/consoleappender.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "clock.h"
#include "datagram_sink.h"
#include "packet_reporter.h"
#include "traffic_collector.h"

namespace {
class CountingSink : public wendrel::DatagramSink {
 public:
  void open(const std::string&) override {}
  void send(const uint8_t* data, size_t size) override {
    ++datagrams;
    // Flow samples in the datagram: its seventh header word.
    if (size >= 28)
      samples +=
          uint32_t(data[24]) << 24 | uint32_t(data[25]) << 16 | uint32_t(data[26]) << 8 | data[27];
  }
  std::atomic<unsigned long> datagrams{0};
  std::atomic<unsigned long> samples{0};
};

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s RATE PERFORMANCE\n", argv[0]);
    return 2;
  }
  log4cplus::Initializer initializer;
  log4cplus::Logger root = log4cplus::Logger::getRoot();
  root.addAppender(log4cplus::SharedAppenderPtr(new log4cplus::NullAppender));
  log4cplus::Logger traffic = log4cplus::Logger::getInstance("TrafficLogger");
  traffic.setLogLevel(log4cplus::DEBUG_LOG_LEVEL);
  traffic.addAppender(log4cplus::SharedAppenderPtr(new log4cplus::ConsoleAppender(true)));

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  wendrel::SteadyClock clock;
  CountingSink sink;
  wendrel::PacketReporter reporter("127.0.0.1", clock, sink);
  wendrel::TrafficCollector collector(128, &reporter, 2097152,
                                      static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)),
                                      std::atoi(argv[2]) == 1);
  collector.startCollecting();
  int signal = 0;
  sigwait(&stopSignals, &signal);
  collector.stop();
  reporter.flush();
  std::printf("samples %lu datagrams %lu cpu_seconds %.3f\n", sink.samples.load(),
              sink.datagrams.load(), cpuSeconds());
  return 0;
}
