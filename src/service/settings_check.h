// "wendrel --check": the settings read exactly as a start reads them, with every line that a
// start would log about them printed on standard output.
#pragma once

#include <log4cplus/logger.h>

#include "settings_store.h"

namespace wendrel {

// Exit statuses of the check.
constexpr int kCheckClean = 0;     // the settings in effect, and nothing to warn about
constexpr int kCheckWarnings = 1;  // the agent would start, on defaults for what was warned of
constexpr int kCheckNoStart = 2;   // the agent would not start

// Reads the settings from `store` and logs to `logger` as Run does, with the log sent to
// standard output ("LEVEL message") for the duration; returns one of the statuses above.
int checkSettings(SettingsStore& store, log4cplus::Logger& logger);

}  // namespace wendrel
