#include "agent_factory.h"

#include "packet_reporter.h"
#include "traffic_collector.h"

namespace wendrel {
namespace {

class RealReporter : public AgentReporter {
 public:
  explicit RealReporter(const std::string& collectorAddress) : reporter_(collectorAddress) {}
  bool isInitialized() const override { return reporter_.isInitialized(); }
  void flush() override { reporter_.flush(); }
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
