#include "agent_factory.h"

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <utility>

#include "capture_platform.h"
#include "ebpf_collector.h"
#include "packet_reporter.h"
#include "traffic_collector.h"

namespace wendrel {
namespace {

class RealReporter : public AgentReporter {
 public:
  explicit RealReporter(const std::string& collectorAddress) : reporter_(collectorAddress) {}
  bool isInitialized() const override { return reporter_.isInitialized(); }
  void flush() override { reporter_.flush(); }
  bool changeCollectors(const std::string& collectorAddress) override {
    return reporter_.changeCollectors(collectorAddress);
  }
  void addFigures(AgentFigures& figures) override {
    const ReporterStatistics counts = reporter_.statistics();
    figures.samples = counts.samples;
    figures.counterSamples = counts.counterSamples;
    figures.datagrams = counts.datagrams;
    figures.sendErrors = counts.sendErrors;
    for (const CollectorFailures& collector : counts.collectorFailures)
      figures.collectorErrors.emplace_back(collector.collector, collector.count);
  }
  PacketReporter& get() { return reporter_; }

 private:
  PacketReporter reporter_;
};

CaptureOptions optionsOf(const CollectorSettings& settings, LinkEvents& linkEvents,
                         InterfaceStatistics& statistics, HostStatistics* host) {
  CaptureOptions options;
  options.host = host;
  options.linkEvents = &linkEvents;
  options.statistics = &statistics;
  options.sourceId = settings.sourceIdIsIfIndex ? SourceIdKind::IfIndex : SourceIdKind::Index;
  options.counterIntervalS = settings.counterIntervalS;
  options.method =
      settings.sampling.random ? SamplingMethod::kRandom : SamplingMethod::kDeterministic;
  options.ipv6 = settings.sampling.ipv6;
  options.agentAddress = parseAgentAddress(settings.agentAddress).value_or(AgentAddressRule{});
  options.interfaces = InterfacePatterns::parse(settings.interfaces).value_or(InterfacePatterns{});
  return options;
}

// The kernel's link events and counters are made here, on the run thread, so they watch the
// agent's network namespace, and before the collector, so no change escapes the first
// enumeration.
class RealCollector : public AgentCollector {
 public:
  RealCollector(CapturePlatform& platform, uint16_t snapLength, PacketReporter& reporter,
                int32_t bufferSize, uint32_t samplingRate, bool performanceMode,
                const CollectorSettings& settings)
      : linkEvents_(platform.linkEvents()),
        statistics_(platform.interfaceStatistics()),
        host_(platform.hostStatistics()),
        collector_(snapLength, &reporter, bufferSize, samplingRate, performanceMode,
                   platform.pcap(), optionsOf(settings, *linkEvents_, *statistics_, host_.get())) {}
  void startCollecting() override { collector_.startCollecting(); }
  void stop() override { collector_.stop(); }
  void reconfigure(uint32_t samplingRate, bool performanceMode,
                   const CollectorSettings& settings) override {
    collector_.reconfigure(samplingRate, performanceMode,
                           optionsOf(settings, *linkEvents_, *statistics_, host_.get()));
  }
  void addFigures(AgentFigures& figures) override {
    CaptureStatistics counts = collector_.statistics();
    figures.interfaces = counts.interfaces;
    figures.packetsSeen = counts.packetsSeen;
    figures.kernelDrops = counts.kernelDrops;
    figures.captureTried = counts.tried;
    figures.noInterfaceReason = std::move(counts.noInterfaceReason);
    figures.agentAddress = std::move(counts.agentAddress);
  }

 private:
  std::unique_ptr<LinkEvents> linkEvents_;
  std::unique_ptr<InterfaceStatistics> statistics_;
  std::unique_ptr<HostStatistics> host_;
  TrafficCollector collector_;
};

void addCaptureFigures(const CaptureStatistics& counts, AgentFigures& figures) {
  figures.interfaces = counts.interfaces;
  figures.packetsSeen = counts.packetsSeen;
  figures.kernelDrops = counts.kernelDrops;
  figures.captureTried = counts.tried;
  figures.noInterfaceReason = counts.noInterfaceReason;
  figures.agentAddress = counts.agentAddress;
}

// Capture = "ebpf" where the kernel and the privileges allow it.
class KernelCollector : public AgentCollector {
 public:
  KernelCollector(CapturePlatform& platform, std::unique_ptr<KernelSampler> sampler,
                  PacketReporter& reporter, uint32_t samplingRate,
                  const CollectorSettings& settings)
      : linkEvents_(platform.linkEvents()),
        statistics_(platform.interfaceStatistics()),
        host_(platform.hostStatistics()),
        collector_(std::move(sampler), &reporter, samplingRate, platform.pcap(),
                   optionsOf(settings, *linkEvents_, *statistics_, host_.get())) {}
  void startCollecting() override { collector_.startCollecting(); }
  void stop() override { collector_.stop(); }
  void addFigures(AgentFigures& figures) override {
    addCaptureFigures(collector_.statistics(), figures);
  }
  // Performance mode has no meaning here: nothing is preselected.
  void reconfigure(uint32_t samplingRate, bool, const CollectorSettings& settings) override {
    collector_.reconfigure(samplingRate,
                           optionsOf(settings, *linkEvents_, *statistics_, host_.get()));
  }

 private:
  std::unique_ptr<LinkEvents> linkEvents_;
  std::unique_ptr<InterfaceStatistics> statistics_;
  std::unique_ptr<HostStatistics> host_;
  EbpfCollector collector_;
};

}  // namespace

std::unique_ptr<AgentReporter> DefaultAgentFactory::createReporter(
    const std::string& collectorAddress) {
  return std::make_unique<RealReporter>(collectorAddress);
}

std::unique_ptr<AgentCollector> DefaultAgentFactory::createCollector(
    uint16_t snapLength, AgentReporter& reporter, int32_t bufferSize, uint32_t samplingRate,
    bool performanceMode, const CollectorSettings& settings) {
  if (settings.ebpf) {
    std::string missing;
    if (auto sampler = platform_.kernelSampler(samplingRate, settings.sampling.ipv6, missing)) {
      return std::make_unique<KernelCollector>(platform_, std::move(sampler),
                                               static_cast<RealReporter&>(reporter).get(),
                                               samplingRate, settings);
    }
    LOG4CPLUS_WARN_FMT(log4cplus::Logger::getInstance("Wendrel"),
                       "Capture = \"ebpf\" is not possible here, capturing with libpcap: "
                       "missing %s",
                       missing.c_str());
  }
  return std::make_unique<RealCollector>(platform_, snapLength,
                                         static_cast<RealReporter&>(reporter).get(), bufferSize,
                                         samplingRate, performanceMode, settings);
}

}  // namespace wendrel
