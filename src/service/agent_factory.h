// Creates the agent's two working objects, so the run procedure can be driven without live
// capture. The default factory makes the real PacketReporter and TrafficCollector.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace wendrel {

class AgentReporter {
 public:
  virtual ~AgentReporter() = default;
  virtual bool isInitialized() const = 0;
  virtual void flush() = 0;
};

class AgentCollector {
 public:
  virtual ~AgentCollector() = default;
  virtual void startCollecting() = 0;
  // Ends capture and joins its threads; returns once nothing uses the reporter any more.
  virtual void stop() = 0;
};

// How packets are chosen, and which: the two sampling settings.
struct SamplingChoice {
  bool random = true;  // each packet with the same chance; else every N-th one counted
  bool ipv6 = true;    // IPv6 packets too; else IPv4 only
};

class AgentFactory {
 public:
  virtual ~AgentFactory() = default;
  virtual std::unique_ptr<AgentReporter> createReporter(const std::string& collectorAddress) = 0;
  // `reporter` was made by this factory and outlives the collector.
  virtual std::unique_ptr<AgentCollector> createCollector(uint16_t snapLength,
                                                          AgentReporter& reporter,
                                                          int32_t bufferSize, uint32_t samplingRate,
                                                          bool performanceMode,
                                                          const SamplingChoice& sampling) = 0;
};

class DefaultAgentFactory : public AgentFactory {
 public:
  std::unique_ptr<AgentReporter> createReporter(const std::string& collectorAddress) override;
  std::unique_ptr<AgentCollector> createCollector(uint16_t snapLength, AgentReporter& reporter,
                                                  int32_t bufferSize, uint32_t samplingRate,
                                                  bool performanceMode,
                                                  const SamplingChoice& sampling) override;
};

}  // namespace wendrel
