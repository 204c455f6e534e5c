// The tests' main: log4cplus must be initialised for the whole run, as the agent's own
// entry does. Nothing is configured, so messages reach only the captures tests attach; the
// null appender keeps log4cplus from warning that no appender is set up.
#include <gtest/gtest.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>

int main(int argc, char** argv) {
  log4cplus::Initializer initializer;
  log4cplus::Logger::getRoot().addAppender(
      log4cplus::SharedAppenderPtr(new log4cplus::NullAppender));
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
