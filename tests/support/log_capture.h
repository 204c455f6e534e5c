// Records what the agent logs on one log4cplus logger (and its children) for the life of
// the object, so tests can check messages word for word and their levels.
#pragma once

#include <log4cplus/callbackappender.h>
#include <log4cplus/logger.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace wendrel::test {

class LogCapture {
 public:
  // Attaches to the logger named `loggerName` and lowers its level to TRACE.
  explicit LogCapture(const std::string& loggerName)
      : logger_(log4cplus::Logger::getInstance(loggerName)),
        savedLevel_(logger_.getLogLevel()),
        appender_(new log4cplus::CallbackAppender(&LogCapture::record, this)) {
    logger_.addAppender(appender_);
    logger_.setLogLevel(log4cplus::TRACE_LOG_LEVEL);
  }
  ~LogCapture() {
    logger_.removeAppender(appender_);
    logger_.setLogLevel(savedLevel_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The messages in order, only those at `level` (a log4cplus level) when it is not -1.
  std::vector<std::string> messages(int level = -1) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [l, message] : entries_)
      if (level == -1 || l == level)
        out.push_back(message);
    return out;
  }
  bool contains(int level, const std::string& message) const { return count(level, message) > 0; }
  size_t count(int level, const std::string& message) const {
    const auto all = messages(level);
    return size_t(std::count(all.begin(), all.end(), message));
  }

 private:
  static void record(void* self, const char* message, const char*, int level, const char*,
                     const char*, unsigned long long, unsigned long, const char*, const char*,
                     int) {
    auto* capture = static_cast<LogCapture*>(self);
    std::lock_guard<std::mutex> lock(capture->mutex_);
    capture->entries_.emplace_back(level, message);
  }

  log4cplus::Logger logger_;
  log4cplus::LogLevel savedLevel_;
  mutable std::mutex mutex_;
  std::vector<std::pair<int, std::string>> entries_;
  log4cplus::SharedAppenderPtr appender_;
};

}  // namespace wendrel::test
