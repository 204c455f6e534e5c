// The shipped examples/log4j.properties: log4cplus takes it as it stands, and its rolling file
// appender bounds the disk the log takes however much the agent logs (a collector that is
// down costs one line per lost datagram).
#include <gtest/gtest.h>
#include <log4cplus/configurator.h>
#include <log4cplus/fileappender.h>
#include <log4cplus/helpers/property.h>
#include <log4cplus/hierarchy.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
const std::string kFile = "log4cplus.appender.file.";

// "10MB", "512KB" or plain bytes, as log4cplus reads MaxFileSize.
uint64_t bytesOf(const std::string& text) {
  size_t end = 0;
  const uint64_t number = std::stoull(text, &end);
  const std::string unit = text.substr(end);
  EXPECT_TRUE(unit.empty() || unit == "KB" || unit == "MB") << "unit " << unit;
  return number << (unit == "MB" ? 20 : unit == "KB" ? 10 : 0);
}

TEST(Log4jExample, RollsOverWithinABoundedNumberOfBoundedFiles) {
  log4cplus::helpers::Properties properties(LOG4CPLUS_TEXT(WENDREL_EXAMPLE_LOG4J));
  ASSERT_EQ(properties.getProperty("log4cplus.appender.file"), "log4cplus::RollingFileAppender");
  const uint64_t maxSize = bytesOf(properties.getProperty(kFile + "MaxFileSize"));
  const uint64_t backups = std::stoull(properties.getProperty(kFile + "MaxBackupIndex"));
  EXPECT_GT(maxSize, 0u);
  EXPECT_LE(maxSize * (backups + 1), 100u << 20);  // some tens of megabytes at most

  // The same in a scratch directory, with log4cplus's smallest file size (200 KB) so that a
  // few megabytes of log roll it over many times.
  char pattern[] = "/tmp/wendrel-log4j.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  properties.setProperty(kFile + "File", (dir / "wendrel.log").string());
  properties.setProperty(kFile + "MaxFileSize", "200KB");
  log4cplus::PropertyConfigurator(properties).configure();
  auto appender = log4cplus::Logger::getRoot().getAppender("file");
  EXPECT_NE(dynamic_cast<log4cplus::RollingFileAppender*>(appender.get()), nullptr);
  const log4cplus::Logger logger = log4cplus::Logger::getInstance("PacketReporter");
  const std::string line(150, 'x');
  for (int i = 0; i < 30000; ++i)  // about 6 MB with the layout's prefix
    LOG4CPLUS_ERROR_FMT(logger, "Failed to send sFlow packet: %s %d", line.c_str(), i);
  appender = nullptr;
  log4cplus::Logger::getDefaultHierarchy().resetConfiguration();

  size_t files = 0;
  for (const auto& file : fs::directory_iterator(dir)) {
    ++files;
    EXPECT_LE(file.file_size(), 200u * 1024 + 512) << file.path();
  }
  EXPECT_GE(files, 2u);  // it did roll over
  EXPECT_LE(files, backups + 1);
  fs::remove_all(dir);
}

}  // namespace
