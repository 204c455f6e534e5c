#include "log_capture.h"

#include <log4cplus/spi/loggingevent.h>

#include <algorithm>

namespace wendrel::test {

class LogCapture::Appender : public log4cplus::Appender {
 public:
  ~Appender() override { destructorImpl(); }
  void close() override {}
  std::vector<LogEntry> entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& event) override {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back({event.getLoggerName(), event.getLogLevel(), event.getMessage()});
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogEntry> entries_;
};

LogCapture::LogCapture(const std::string& loggerName)
    : logger_(log4cplus::Logger::getInstance(loggerName)),
      savedLevel_(logger_.getLogLevel()),
      sink_(new Appender) {
  appender_ = log4cplus::SharedAppenderPtr(sink_);
  logger_.addAppender(appender_);
  logger_.setLogLevel(log4cplus::TRACE_LOG_LEVEL);
}

LogCapture::~LogCapture() {
  logger_.removeAppender(appender_);
  logger_.setLogLevel(savedLevel_);
}

std::vector<LogEntry> LogCapture::entries() const {
  return sink_->entries();
}

std::vector<std::string> LogCapture::messages(int level) const {
  std::vector<std::string> out;
  for (const auto& e : sink_->entries())
    if (level == -1 || e.level == level)
      out.push_back(e.message);
  return out;
}

size_t LogCapture::count(int level, const std::string& message) const {
  const auto all = messages(level);
  return size_t(std::count(all.begin(), all.end(), message));
}

}  // namespace wendrel::test
