// Creates the agent's two working objects, so the run procedure can be driven without live
// capture. The default factory makes the real PacketReporter and TrafficCollector, the
// latter on the capture platform it is given.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace wendrel {

class CapturePlatform;
struct CollectorSettings;

// What the agent has done so far: the reporter fills in its part, the collector its own.
struct AgentFigures {
  uint32_t interfaces = 0;  // being captured now
  uint64_t packetsSeen = 0;
  uint64_t samples = 0;
  uint64_t datagrams = 0;
  uint64_t kernelDrops = 0;
  uint64_t sendErrors = 0;
  bool captureTried = false;      // devices have been looked for at least once
  std::string noInterfaceReason;  // why none opened, when every device failed alike
  uint64_t counterSamples = 0;    // `samples` are the flow samples
  std::string agentAddress;       // the one the datagrams carry; empty while there is none
  // The collectors that missed datagrams, each with how many, in the order of the list.
  std::vector<std::pair<std::string, uint64_t>> collectorErrors;
};

class AgentReporter {
 public:
  virtual ~AgentReporter() = default;
  virtual bool isInitialized() const = 0;
  virtual void flush() = 0;
  // Safe while capture runs.
  virtual void addFigures(AgentFigures&) {}
  // Sends to these collectors from the next datagram on; false, with the old ones kept, when
  // none of them resolves.
  virtual bool changeCollectors(const std::string& collectorAddress) = 0;
};

class AgentCollector {
 public:
  virtual ~AgentCollector() = default;
  virtual void startCollecting() = 0;
  // Ends capture and joins its threads; returns once nothing uses the reporter any more.
  virtual void stop() = 0;
  // Safe while capture runs.
  virtual void addFigures(AgentFigures&) {}
  // Applies changed settings while capture runs (see TrafficCollector::reconfigure); the
  // source ids, the agent address and the kind of capture stay as they were made.
  virtual void reconfigure(uint32_t samplingRate, bool performanceMode,
                           const CollectorSettings& settings) = 0;
};

// How packets are chosen, and which: the two sampling settings.
struct SamplingChoice {
  bool random = true;  // each packet with the same chance; else every N-th one counted
  bool ipv6 = true;    // IPv6 packets too; else IPv4 only
};

// Capture's optional settings beyond the documented three; the defaults are the settings'.
struct CollectorSettings {
  bool sourceIdIsIfIndex = true;   // SourceId = "ifindex": kernel indexes and direction
  uint32_t counterIntervalS = 30;  // CounterInterval; 0: no counter samples
  SamplingChoice sampling;
  bool ebpf = false;         // Capture = "ebpf": sampled in the kernel, libpcap where it cannot be
  std::string agentAddress;  // AgentAddress, valid; empty: the automatic choice
  std::string interfaces;    // Interfaces, valid; empty: every interface
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
                                                          const CollectorSettings& settings) = 0;
};

class DefaultAgentFactory : public AgentFactory {
 public:
  // `platform` outlives the factory and what it makes.
  explicit DefaultAgentFactory(CapturePlatform& platform) : platform_(platform) {}
  std::unique_ptr<AgentReporter> createReporter(const std::string& collectorAddress) override;
  std::unique_ptr<AgentCollector> createCollector(uint16_t snapLength, AgentReporter& reporter,
                                                  int32_t bufferSize, uint32_t samplingRate,
                                                  bool performanceMode,
                                                  const CollectorSettings& settings) override;

 private:
  CapturePlatform& platform_;
};

}  // namespace wendrel
