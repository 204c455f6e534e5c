#include "syslog_event_log.h"

#include <syslog.h>

#include <mutex>

namespace wendrel {

void SyslogEventLog::write(const std::string& source, const std::string& text) {
  // openlog keeps the ident pointer, so it must stay valid until closelog; and events come
  // from two threads, whose open/close pairs must not interleave.
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  openlog(source.c_str(), LOG_PID, LOG_DAEMON);
  syslog(LOG_INFO, "%s", text.c_str());
  closelog();
}

}  // namespace wendrel
