// What the host itself counts, for the host's counter samples (ProcHostStatistics is the Linux
// reader). The adapters are the captured interfaces: the caller fills them in.
#pragma once

#include "host_records.h"

namespace wendrel {

class HostStatistics {
 public:
  virtual ~HostStatistics() = default;
  // The host's description and counters now; a field that cannot be read keeps its unknown
  // value.
  virtual HostCounters read() = 0;
};

}  // namespace wendrel
