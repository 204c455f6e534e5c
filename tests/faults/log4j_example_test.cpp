// The shipped examples/log4j.properties: log4cplus accepts it as it stands, and its rolling
// file appender bounds the disk the log takes, however much the agent logs (a collector that
// is down costs one line per lost datagram).
#include <gtest/gtest.h>
#include <log4cplus/configurator.h>
#include <log4cplus/fileappender.h>
#include <log4cplus/helpers/property.h>
#include <log4cplus/hierarchy.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const std::string kPrefix = "log4cplus.appender.file.";

// "10MB", "512KB" or plain bytes, as log4cplus reads MaxFileSize.
uint64_t bytesOf(const std::string& text) {
  size_t end = 0;
  const uint64_t number = std::stoull(text, &end);
  const std::string unit = text.substr(end);
  if (unit == "MB")
    return number * 1024 * 1024;
  if (unit == "KB")
    return number * 1024;
  EXPECT_TRUE(unit.empty()) << "unit " << unit;
  return number;
}

class Log4jExample : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/wendrel-log4j.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    log4cplus::Logger::getDefaultHierarchy().resetConfiguration();
    std::system(("rm -rf '" + dir + "'").c_str());
  }

  log4cplus::helpers::Properties example() const {
    return log4cplus::helpers::Properties(LOG4CPLUS_TEXT(WENDREL_EXAMPLE_LOG4J));
  }

  std::vector<std::pair<std::string, off_t>> files() const {
    std::vector<std::pair<std::string, off_t>> found;
    DIR* d = ::opendir(dir.c_str());
    while (dirent* e = d ? ::readdir(d) : nullptr) {
      const std::string name = e->d_name;
      if (name == "." || name == "..")
        continue;
      struct stat st {};
      ::stat((dir + "/" + name).c_str(), &st);
      found.emplace_back(name, st.st_size);
    }
    if (d)
      ::closedir(d);
    return found;
  }

  std::string dir;
};

TEST_F(Log4jExample, RollsOverWithinABoundedNumberOfBoundedFiles) {
  log4cplus::helpers::Properties properties = example();
  ASSERT_EQ(properties.getProperty("log4cplus.appender.file"), "log4cplus::RollingFileAppender");
  const std::string maxSize = properties.getProperty(kPrefix + "MaxFileSize");
  const std::string maxBackups = properties.getProperty(kPrefix + "MaxBackupIndex");
  ASSERT_FALSE(maxSize.empty());
  ASSERT_FALSE(maxBackups.empty());
  // The bound as shipped: some tens of megabytes at most.
  const uint64_t shippedBound = bytesOf(maxSize) * (std::stoull(maxBackups) + 1);
  EXPECT_GT(bytesOf(maxSize), 0u);
  EXPECT_LE(shippedBound, 100u * 1024 * 1024);

  // The same configuration in a scratch directory, with log4cplus's smallest file size
  // (200 KB) so that a few megabytes of log roll it over many times.
  properties.setProperty(kPrefix + "File", dir + "/wendrel.log");
  properties.setProperty(kPrefix + "MaxFileSize", "200KB");
  log4cplus::PropertyConfigurator configurator(properties);
  configurator.configure();
  auto appender = log4cplus::Logger::getRoot().getAppender("file");
  ASSERT_TRUE(appender);
  ASSERT_NE(dynamic_cast<log4cplus::RollingFileAppender*>(appender.get()), nullptr);

  log4cplus::Logger logger = log4cplus::Logger::getInstance("PacketReporter");
  const std::string line(150, 'x');
  for (int i = 0; i < 30000; ++i) {  // about 6 MB with the layout's prefix
    LOG4CPLUS_ERROR_FMT(logger, "Failed to send sFlow packet: %s %d", line.c_str(), i);
  }
  log4cplus::Logger::getDefaultHierarchy().resetConfiguration();

  const auto found = files();
  const uint64_t backups = std::stoull(maxBackups);
  EXPECT_LE(found.size(), backups + 1);
  EXPECT_GE(found.size(), 2u);  // it did roll over
  for (const auto& [name, size] : found) {
    EXPECT_LE(static_cast<uint64_t>(size), 200u * 1024 + 512) << name;
  }
}

}  // namespace
