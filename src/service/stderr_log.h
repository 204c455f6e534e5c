// The log when no log configuration file is found.
#pragma once

namespace wendrel {

// INFO and above to stderr, one line each, which the journal keeps under systemd. Does
// nothing when appenders are set up already (by a test, say).
void logToStderr();

}  // namespace wendrel
