#include "value_file.h"

#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "file_settings_store.h"
#include "log_capture.h"

namespace wendrel {
namespace {

TEST(ValueFile, TypesFollowTheSyntax) {
  const ValueFile file = ValueFile::parse(
      "# the agent's settings\n"
      "\n"
      "CollectorAddress = \"192.0.2.10\"   # a comment\n"
      "Quoted = \"a \\\"b\\\" c\\\\d # not a comment\"\n"
      "Bare = collector.example.net  # bare text is a string\n"
      "Decimal = 0032\n"
      "Hex = 0X20\n"
      "Max = 4294967295\n"
      "MaxHex = 0xffffffff\n"
      "QuotedNumber = \"64\"\n"
      "NotHex = 0x\n"
      "Empty =\n"
      "  Indented\t=\t7\r\n");
  EXPECT_EQ(file.readString("CollectorAddress", 255), "192.0.2.10");
  EXPECT_EQ(file.readString("Quoted", 255), "a \"b\" c\\d # not a comment");
  EXPECT_EQ(file.readString("Bare", 255), "collector.example.net");
  EXPECT_EQ(file.readUInt32("Decimal"), 32u);
  EXPECT_EQ(file.readUInt32("Hex"), 32u);
  EXPECT_EQ(file.readUInt32("Max"), 0xFFFFFFFFu);
  EXPECT_EQ(file.readUInt32("MaxHex"), 0xFFFFFFFFu);
  EXPECT_EQ(file.readString("NotHex", 255), "0x");
  EXPECT_EQ(file.readString("Empty", 255), "");
  EXPECT_EQ(file.readUInt32("Indented"), 7u);
  // The registry's typed reads: a quoted number is text, a number is no text.
  EXPECT_FALSE(file.readUInt32("QuotedNumber"));
  EXPECT_EQ(file.readString("QuotedNumber", 255), "64");
  EXPECT_FALSE(file.readString("Decimal", 255));
  EXPECT_FALSE(file.readUInt32("Missing"));
  EXPECT_FALSE(file.readString("Missing", 255));
}

TEST(ValueFile, NamesIgnoreCaseAndTheLaterLineWins) {
  const ValueFile file = ValueFile::parse(
      "SamplingRate = 32\n"
      "samplingrate = \"text\"\n"
      "SAMPLINGRATE = 0x40\n");
  EXPECT_EQ(file.readUInt32("SamplingRate"), 64u);
  EXPECT_EQ(file.serialize(), "SamplingRate = 0x40\n");
}

TEST(ValueFile, CapacityCountsTheTerminatingZero) {
  const std::string text254(254, 'a');
  const ValueFile file = ValueFile::parse("A = \"" + text254 + "\"\nB = " + text254 + "b\n");
  EXPECT_EQ(file.readString("A", 255), text254);
  EXPECT_FALSE(file.readString("B", 255));
  EXPECT_EQ(file.readString("B", 256)->size(), 255u);
}

TEST(ValueFile, MalformedLinesAreSkippedAlone) {
  std::vector<int> malformed;
  const ValueFile file = ValueFile::parse(
      "Good = 1\n"
      "no equals sign\n"
      "= 5\n"
      "Bad Name = 5\n"
      "Bad-Name = 5\n"
      "Open = \"never closed\n"
      "Trailing = \"x\" y\n"
      "TooBig = 4294967296\n"
      "TooBigHex = 0x100000000\n"
      "Later = 2\n",
      &malformed);
  EXPECT_EQ(malformed, (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(file.readUInt32("Good"), 1u);
  EXPECT_EQ(file.readUInt32("Later"), 2u);
  EXPECT_FALSE(file.readUInt32("TooBig"));
  EXPECT_FALSE(file.readString("Open", 255));
}

TEST(ValueFile, WritesWhatItReadsBack) {
  ValueFile file;
  file.setString("Path", "/opt/a \"b\"\\c # d");
  file.setNumber("Locale", 0x409, true);
  file.setNumber("Count", 7);
  file.setString("Gone", "x");
  file.erase("gone");
  const ValueFile back = ValueFile::parse(file.serialize());
  EXPECT_EQ(back.readString("Path", 255), "/opt/a \"b\"\\c # d");
  EXPECT_EQ(back.readUInt32("Locale"), 0x409u);
  EXPECT_EQ(back.readUInt32("Count"), 7u);
  EXPECT_FALSE(back.readString("Gone", 255));
  EXPECT_NE(file.serialize().find("Locale = 0x409"), std::string::npos);
}

class SettingsFile : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/wendrel-settings-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/wendrel.conf";
  }
  void TearDown() override {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  void write(const std::string& text) { std::ofstream(path_) << text; }

  std::string dir_;
  std::string path_;
};

TEST_F(SettingsFile, MalformedLineIsLoggedAndTheRestIsRead) {
  write("CollectorAddress = 192.0.2.10\nSamplingRate 64\nPerformanceMode = 0\n");
  test::LogCapture log("Wendrel");
  FileSettingsStore store(path_);
  EXPECT_EQ(store.readString("CollectorAddress", 255), "192.0.2.10");
  EXPECT_FALSE(store.readUInt32("SamplingRate"));
  EXPECT_EQ(store.readUInt32("PerformanceMode"), 0u);
  // Read once: the warning is not repeated on later reads.
  EXPECT_EQ(log.messages(log4cplus::WARN_LOG_LEVEL),
            std::vector<std::string>{"Ignoring malformed line 2 of " + path_});
}

TEST_F(SettingsFile, MissingFileMeansEveryValueIsMissing) {
  ValueFile file;
  EXPECT_EQ(ValueFile::load(path_, file), ENOENT);
  FileSettingsStore store(path_);
  EXPECT_FALSE(store.readString("CollectorAddress", 255));
  EXPECT_FALSE(store.readUInt32("SamplingRate"));
}

}  // namespace
}  // namespace wendrel
