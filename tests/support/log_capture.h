// Records what the agent logs, on every logger, for the life of the object. Tests use it only
// to count records at a level, or for the documented messages, whose words are fixed.
#pragma once

#include <log4cplus/callbackappender.h>
#include <log4cplus/logger.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace wendrel::test {

class LogCapture {
 public:
  // On one logger and its children; by default on the root, so every logger.
  explicit LogCapture(const std::string& logger = "")
      : root_(logger.empty() ? log4cplus::Logger::getRoot()
                             : log4cplus::Logger::getInstance(logger)) {
    root_.addAppender(appender_), root_.setLogLevel(log4cplus::TRACE_LOG_LEVEL);
  }
  ~LogCapture() { root_.removeAppender(appender_), root_.setLogLevel(savedLevel_); }

  // The messages logged at `level`, in order.
  std::vector<std::string> messages(int level) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_[size_t(level / 10000)];
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
    capture->entries_[size_t(level / 10000)].push_back(message);  // TRACE 0 ... FATAL 50000
  }

  log4cplus::Logger root_;
  log4cplus::LogLevel savedLevel_ = root_.getLogLevel();
  mutable std::mutex mutex_;
  std::vector<std::string> entries_[6];
  log4cplus::SharedAppenderPtr appender_{
      new log4cplus::CallbackAppender(&LogCapture::record, this)};
};

}  // namespace wendrel::test
