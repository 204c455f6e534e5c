#include "settings_check.h"

#include <log4cplus/callbackappender.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/layout.h>

#include <memory>

#include "agent_settings.h"

namespace wendrel {
namespace {

void countWarning(void* count, const char*, const char*, int level, const char*, const char*,
                  unsigned long long, unsigned long, const char*, const char*, int) {
  if (level >= log4cplus::WARN_LOG_LEVEL)
    ++*static_cast<int*>(count);
}

}  // namespace

int checkSettings(SettingsStore& store, log4cplus::Logger& logger) {
  // Whatever log4j.properties says: the operator running the check reads the terminal.
  log4cplus::Logger root = log4cplus::Logger::getRoot();
  log4cplus::SharedAppenderPtr out(new log4cplus::ConsoleAppender(false, true));
  out->setLayout(std::make_unique<log4cplus::PatternLayout>("%-5p %m%n"));
  int warnings = 0;
  log4cplus::SharedAppenderPtr counter(new log4cplus::CallbackAppender(&countWarning, &warnings));
  root.addAppender(out);
  root.addAppender(counter);
  const log4cplus::LogLevel level = root.getLogLevel();
  root.setLogLevel(log4cplus::INFO_LOG_LEVEL);

  const bool starts = readAgentSettings(store, logger).has_value();

  root.setLogLevel(level);
  root.removeAppender(counter);
  root.removeAppender(out);
  if (!starts)
    return kCheckNoStart;
  return warnings > 0 ? kCheckWarnings : kCheckClean;
}

}  // namespace wendrel
