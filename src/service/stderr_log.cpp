#include "stderr_log.h"

#include <log4cplus/consoleappender.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>

#include <memory>

namespace wendrel {

void logToStderr() {
  log4cplus::Logger root = log4cplus::Logger::getRoot();
  if (!root.getAllAppenders().empty())
    return;
  log4cplus::SharedAppenderPtr console(new log4cplus::ConsoleAppender(true));
  console->setLayout(std::make_unique<log4cplus::PatternLayout>("%-5p %c - %m%n"));
  root.addAppender(console);
  root.setLogLevel(log4cplus::INFO_LOG_LEVEL);
}

}  // namespace wendrel
