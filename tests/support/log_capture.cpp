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
    entries.emplace_back(e.getLogLevel(), e.getMessage());
  }
  std::mutex mutex;
  std::vector<std::pair<int, std::string>> entries;
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

std::vector<std::string> LogCapture::messages(int level) const {
  std::lock_guard<std::mutex> lock(sink_->mutex);
  std::vector<std::string> out;
  for (const auto& [l, message] : sink_->entries)
    if (level == -1 || l == level)
      out.push_back(message);
  return out;
}

size_t LogCapture::count(int level, const std::string& message) const {
  const auto all = messages(level);
  return size_t(std::count(all.begin(), all.end(), message));
}

}  // namespace wendrel::test
