// Records what the agent logs, on every logger, for the life of the object. Tests use it only
// to count records at a level, or for the documented messages, whose words are fixed.
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
  LogCapture()
      : root_(log4cplus::Logger::getRoot()),
        savedLevel_(root_.getLogLevel()),
        appender_(new log4cplus::CallbackAppender(&LogCapture::record, this)) {
    root_.addAppender(appender_);
    root_.setLogLevel(log4cplus::TRACE_LOG_LEVEL);
  }
  ~LogCapture() {
    root_.removeAppender(appender_);
    root_.setLogLevel(savedLevel_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The messages logged at `level`, in order.
  std::vector<std::string> messages(int level) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [l, message] : entries_)
      if (l == level)
        out.push_back(message);
    return out;
  }
  bool contains(int level, const std::string& message) const {
    const auto all = messages(level);
    return std::find(all.begin(), all.end(), message) != all.end();
  }

 private:
  static void record(void* self, const char* message, const char*, int level, const char*,
                     const char*, unsigned long long, unsigned long, const char*, const char*,
                     int) {
    auto* capture = static_cast<LogCapture*>(self);
    std::lock_guard<std::mutex> lock(capture->mutex_);
    capture->entries_.emplace_back(level, message);
  }

  log4cplus::Logger root_;
  log4cplus::LogLevel savedLevel_;
  mutable std::mutex mutex_;
  std::vector<std::pair<int, std::string>> entries_;
  log4cplus::SharedAppenderPtr appender_;
};

}  // namespace wendrel::test
