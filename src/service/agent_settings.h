// The agent's settings as Run uses them: read from the store once at start, with a warning
// and the default for each one that is missing or wrong, and the settings in effect logged.
#pragma once

#include <log4cplus/logger.h>

#include <cstdint>
#include <optional>
#include <string>

#include "agent_factory.h"
#include "settings_store.h"

namespace wendrel {

struct AgentSettings {
  std::string collectorAddress;  // a list that parses
  uint32_t samplingRate = 32;    // never 0
  bool performanceMode = true;   // the kernel preselects packets
  CollectorSettings collector;
};

// Nothing, with the ERROR line logged, when there is no usable collector address: the agent
// cannot start then, and a reload (`reloading`) keeps the settings in effect. Every other
// setting falls back to its default.
std::optional<AgentSettings> readAgentSettings(SettingsStore& store, log4cplus::Logger& logger,
                                               bool reloading = false);

// Whether the settings ask for Capture = "ebpf", silently: for the unit, which grants more then.
bool capturesInKernel(SettingsStore& store);

}  // namespace wendrel
