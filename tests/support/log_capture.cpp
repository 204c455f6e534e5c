#include "log_capture.h"

#include <log4cplus/spi/loggingevent.h>

#include <algorithm>

namespace wendrel::test {

class LogCapture::Appender : public log4cplus::Appender {
 public:
  ~Appender() override { destructorImpl(); }
  void close() override {}
  void append(const log4cplus::spi::InternalLoggingEvent& e) override {
    std::lock_guard<std::mutex> lock(mutex);
    entries.push_back({e.getLoggerName(), e.getLogLevel(), e.getMessage()});
  }
  std::mutex mutex;
  std::vector<LogEntry> entries;
};

LogCapture::LogCapture(const std::string& loggerName)
    : logger_(log4cplus::Logger::getInstance(loggerName)),
      savedLevel_(logger_.getLogLevel()),
      sink_(new Appender),
      appender_(sink_) {
  logger_.addAppender(appender_);
  logger_.setLogLevel(log4cplus::TRACE_LOG_LEVEL);
}

LogCapture::~LogCapture() {
  logger_.removeAppender(appender_);
  logger_.setLogLevel(savedLevel_);
}

std::vector<LogEntry> LogCapture::entries() const {
  std::lock_guard<std::mutex> lock(sink_->mutex);
  return sink_->entries;
}

std::vector<std::string> LogCapture::messages(int level) const {
  std::vector<std::string> out;
  for (const auto& e : entries())
    if (level == -1 || e.level == level)
      out.push_back(e.message);
  return out;
}

size_t LogCapture::count(int level, const std::string& message) const {
  const auto all = messages(level);
  return size_t(std::count(all.begin(), all.end(), message));
}

}  // namespace wendrel::test
