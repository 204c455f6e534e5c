// EventLog over syslog(3): facility LOG_DAEMON, priority LOG_INFO, ident the source name.
#pragma once

#include "event_log.h"

namespace wendrel {

class SyslogEventLog : public EventLog {
 public:
  void write(const std::string& source, const std::string& text) override;
};

}  // namespace wendrel
