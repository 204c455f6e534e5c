// Records what the agent logs on one log4cplus logger (and its children) for the life of
// the object, so tests can check messages word for word and their levels.
#pragma once

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace wendrel::test {

class LogCapture {
 public:
  // Attaches to the logger named `loggerName` and lowers its level to TRACE.
  explicit LogCapture(const std::string& loggerName);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The messages in order, only those at `level` (a log4cplus level) when it is not -1.
  std::vector<std::string> messages(int level = -1) const;
  bool contains(int level, const std::string& message) const { return count(level, message) > 0; }
  size_t count(int level, const std::string& message) const;

 private:
  class Appender;
  log4cplus::Logger logger_;
  log4cplus::LogLevel savedLevel_;
  Appender* sink_;
  log4cplus::SharedAppenderPtr appender_;  // owns sink_
};

}  // namespace wendrel::test
