#include "agent_factory.h"

#include <utility>

#include "packet_reporter.h"
#include "traffic_collector.h"

namespace wendrel {
namespace {

class RealReporter : public AgentReporter {
 public:
  explicit RealReporter(const std::string& collectorAddress) : reporter_(collectorAddress) {}
  bool isInitialized() const override { return reporter_.isInitialized(); }
  void flush() override { reporter_.flush(); }
  void addFigures(AgentFigures& figures) override {
    const ReporterStatistics counts = reporter_.statistics();
    figures.samples = counts.samples;
    figures.datagrams = counts.datagrams;
    figures.sendErrors = counts.sendErrors;
  }
  PacketReporter& get() { return reporter_; }

 private:
  PacketReporter reporter_;
};

class RealCollector : public AgentCollector {
 public:
  RealCollector(uint16_t snapLength, PacketReporter& reporter, int32_t bufferSize,
                uint32_t samplingRate, bool performanceMode, const CaptureOptions& options)
      : collector_(snapLength, &reporter, bufferSize, samplingRate, performanceMode,
                   LivePcap::instance(), options) {}
  void startCollecting() override { collector_.startCollecting(); }
  void stop() override { collector_.stop(); }
  void addFigures(AgentFigures& figures) override {
    CaptureStatistics counts = collector_.statistics();
    figures.interfaces = counts.interfaces;
    figures.packetsSeen = counts.packetsSeen;
    figures.kernelDrops = counts.kernelDrops;
    figures.captureTried = counts.tried;
    figures.noInterfaceReason = std::move(counts.noInterfaceReason);
  }

 private:
  TrafficCollector collector_;
};

}  // namespace

std::unique_ptr<AgentReporter> DefaultAgentFactory::createReporter(
    const std::string& collectorAddress) {
  return std::make_unique<RealReporter>(collectorAddress);
}

std::unique_ptr<AgentCollector> DefaultAgentFactory::createCollector(
    uint16_t snapLength, AgentReporter& reporter, int32_t bufferSize, uint32_t samplingRate,
    bool performanceMode, const SamplingChoice& sampling) {
  CaptureOptions options;
  options.method = sampling.random ? SamplingMethod::kRandom : SamplingMethod::kDeterministic;
  options.ipv6 = sampling.ipv6;
  return std::make_unique<RealCollector>(snapLength, static_cast<RealReporter&>(reporter).get(),
                                         bufferSize, samplingRate, performanceMode, options);
}

}  // namespace wendrel
