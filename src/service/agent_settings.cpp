#include "agent_settings.h"

#include <log4cplus/loggingmacros.h>
#include <strings.h>

#include <algorithm>
#include <initializer_list>
#include <iterator>

#include "agent_address.h"
#include "collector_list.h"
#include "interface_patterns.h"

namespace wendrel {
namespace {

constexpr size_t kCollectorAddressSize = 255;
constexpr uint32_t kDefaultSamplingRate = 32;
constexpr uint32_t kDefaultPerformanceMode = 1;
constexpr size_t kChoiceSize = 64;
constexpr size_t kOptionalTextSize = 256;
constexpr uint32_t kMaxCounterInterval = 3600;
constexpr std::initializer_list<const char*> kCaptureChoices = {"pcap", "ebpf"};
// Every setting the agent reads; another name in the file is likely a mistyped one.
constexpr const char* kKnownSettings[] = {
    "CollectorAddress", "SamplingRate",    "PerformanceMode", "SamplingMethod", "Traffic",
    "SourceId",         "CounterInterval", "AgentAddress",    "Capture",        "Interfaces"};

class Reader {
 public:
  Reader(SettingsStore& store, log4cplus::Logger& logger) : store_(store), logger_(logger) {}

  void warnUnknownSettings() {
    for (const std::string& name : store_.names()) {
      const bool known =
          std::any_of(std::begin(kKnownSettings), std::end(kKnownSettings),
                      [&name](const char* k) { return strcasecmp(k, name.c_str()) == 0; });
      if (!known) {
        LOG4CPLUS_WARN_FMT(logger_, "Unknown setting %s in %s is ignored", name.c_str(),
                           store_.location().c_str());
      }
    }
  }

  // The index of the setting's value among `allowed` (compared without regard to case); the
  // first one, with a warning when the setting is there but none of them.
  size_t readChoice(const char* name, std::initializer_list<const char*> allowed,
                    size_t capacity = kChoiceSize) {
    if (const auto text = store_.readString(name, capacity)) {
      for (size_t i = 0; i < allowed.size(); ++i) {
        if (strcasecmp(text->c_str(), allowed.begin()[i]) == 0)
          return i;
      }
      warnBad(name, "\"" + *text + "\"", "\"" + std::string(*allowed.begin()) + "\"");
    } else if (const auto number = store_.readUInt32(name)) {
      warnBad(name, std::to_string(*number), "\"" + std::string(*allowed.begin()) + "\"");
    }
    return 0;
  }

  // Absent, or empty, is the automatic choice, silently.
  std::string readAgentAddress() {
    const char* kName = "AgentAddress";
    const char* kAutomatic = "\"\" (an address of the first captured interface with one)";
    if (const auto text = store_.readString(kName, kOptionalTextSize)) {
      if (parseAgentAddress(*text))
        return *text;
      warnBad(kName, "\"" + *text + "\"", kAutomatic);
    } else if (const auto number = store_.readUInt32(kName)) {
      warnBad(kName, std::to_string(*number), kAutomatic);
    }
    return "";
  }

  // Absent, or empty, is every interface, silently.
  std::string readInterfaces() {
    const char* kName = "Interfaces";
    const char* kEvery = "\"\" (every interface)";
    if (const auto text = store_.readString(kName, kOptionalTextSize)) {
      if (InterfacePatterns::parse(*text))
        return *text;
      warnBad(kName, "\"" + *text + "\"", kEvery);
    } else if (const auto number = store_.readUInt32(kName)) {
      warnBad(kName, std::to_string(*number), kEvery);
    }
    return "";
  }

  // Absent is the default, silently.
  uint32_t readCounterInterval(uint32_t fallback) {
    if (const auto number = store_.readUInt32("CounterInterval")) {
      if (*number <= kMaxCounterInterval)
        return *number;
      warnBad("CounterInterval", std::to_string(*number), std::to_string(fallback));
    } else if (const auto text = store_.readString("CounterInterval", kOptionalTextSize)) {
      warnBad("CounterInterval", "\"" + *text + "\"", std::to_string(fallback));
    }
    return fallback;
  }

  // A setting present with a value it cannot have: one warning, and the default.
  void warnBad(const char* name, const std::string& value, const std::string& fallback) {
    LOG4CPLUS_WARN_FMT(logger_, "Setting %s = %s is not valid, using the default %s", name,
                       value.c_str(), fallback.c_str());
  }

 private:
  SettingsStore& store_;
  log4cplus::Logger& logger_;
};

}  // namespace

bool capturesInKernel(SettingsStore& store) {
  const auto text = store.readString("Capture", kChoiceSize);
  return text && strcasecmp(text->c_str(), kCaptureChoices.begin()[1]) == 0;
}

std::optional<AgentSettings> readAgentSettings(SettingsStore& store, log4cplus::Logger& logger,
                                               bool reloading) {
  Reader reader(store, logger);
  reader.warnUnknownSettings();

  AgentSettings s;
  const auto collectorAddress = store.readString("CollectorAddress", kCollectorAddressSize);
  std::string listError;
  if (reloading && (!collectorAddress || !parseCollectorList(*collectorAddress, listError))) {
    LOG4CPLUS_ERROR_FMT(logger, "Settings from %s not reloaded: %s; the settings in effect stay",
                        store.location().c_str(),
                        collectorAddress ? listError.c_str() : "no usable CollectorAddress");
    return std::nullopt;
  }
  if (!collectorAddress) {
    LOG4CPLUS_ERROR(logger, "Failed to read collector address from the registry, cannot start");
    return std::nullopt;
  }
  // Checked here, so that an empty or mistyped list stops the start with a clear reason
  // rather than sending to whatever the resolver makes of it.
  if (!parseCollectorList(*collectorAddress, listError)) {
    LOG4CPLUS_ERROR_FMT(logger,
                        "Failed to read collector address from the registry, cannot start: %s",
                        listError.c_str());
    return std::nullopt;
  }
  s.collectorAddress = *collectorAddress;
  // The documented numbers: absent, or not a number, is the default, with a warning.
  const auto readNumber = [&](const char* name, const char* what, uint32_t fallback) {
    if (const auto value = store.readUInt32(name))
      return *value;
    LOG4CPLUS_WARN_FMT(logger, "Failed to read %s from the registry, using the default of %u", what,
                       static_cast<unsigned>(fallback));
    return fallback;
  };
  s.samplingRate = readNumber("SamplingRate", "sampling rate", kDefaultSamplingRate);
  if (s.samplingRate == 0) {
    // Collectors scale counts by the rate; with 0 every sample would count for nothing.
    LOG4CPLUS_WARN(logger, "Sampling rate 0 is not valid, using 1 (every packet)");
    s.samplingRate = 1;
  }
  uint32_t performanceMode =
      readNumber("PerformanceMode", "performance mode", kDefaultPerformanceMode);
  if (performanceMode > 1) {
    // A switch: 2 is more likely a slip than a wish to turn the kernel's preselection off.
    reader.warnBad("PerformanceMode", std::to_string(performanceMode),
                   std::to_string(kDefaultPerformanceMode));
    performanceMode = kDefaultPerformanceMode;
  }
  s.performanceMode = performanceMode == 1;

  SamplingChoice& sampling = s.collector.sampling;
  sampling.random = reader.readChoice("SamplingMethod", {"random", "deterministic"}) == 0;
  sampling.ipv6 = reader.readChoice("Traffic", {"ip", "ipv4"}) == 0;
  s.collector.sourceIdIsIfIndex =
      reader.readChoice("SourceId", {"ifindex", "index"}, kOptionalTextSize) == 0;
  s.collector.counterIntervalS = reader.readCounterInterval(s.collector.counterIntervalS);
  s.collector.agentAddress = reader.readAgentAddress();
  s.collector.ebpf = reader.readChoice("Capture", kCaptureChoices) == 1;
  s.collector.interfaces = reader.readInterfaces();

  LOG4CPLUS_INFO_FMT(logger,
                     "Settings from %s: CollectorAddress = %s, SamplingRate = %u, "
                     "PerformanceMode = %u, SamplingMethod = %s, Traffic = %s, SourceId = %s, "
                     "CounterInterval = %u, AgentAddress = \"%s\", Interfaces = \"%s\"",
                     store.location().c_str(), s.collectorAddress.c_str(),
                     static_cast<unsigned>(s.samplingRate), static_cast<unsigned>(performanceMode),
                     sampling.random ? "random" : "deterministic", sampling.ipv6 ? "ip" : "ipv4",
                     s.collector.sourceIdIsIfIndex ? "ifindex" : "index",
                     static_cast<unsigned>(s.collector.counterIntervalS),
                     s.collector.agentAddress.c_str(), s.collector.interfaces.c_str());
  LOG4CPLUS_INFO_FMT(logger, "Sampling 1 in %u packets of %s traffic %s%s", s.samplingRate,
                     sampling.ipv6 ? "IPv4 and IPv6" : "IPv4",
                     sampling.random ? "at random" : "deterministically",
                     !s.performanceMode ? ""
                     : sampling.random  ? ", preselected in the kernel"
                                        : ", preselected in the kernel on IPv4 header checksums");
  return s;
}

}  // namespace wendrel
