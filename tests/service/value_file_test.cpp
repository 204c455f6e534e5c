#include "value_file.h"

#include <gtest/gtest.h>

namespace wendrel {
namespace {

TEST(ValueFile, ReadsTypedValuesAndSkipsMalformedLinesAlone) {
  const struct {
    const char* line;
    std::optional<std::string> text;
    std::optional<uint32_t> number;
  } cases[] = {
      {"A = \"192.0.2.10\"   # a comment", "192.0.2.10", {}},
      {"A = \"a \\\"b\\\" c\\\\d # no comment\"", "a \"b\" c\\d # no comment", {}},
      {"A = collector.example.net  # bare text", "collector.example.net", {}},
      {"A = \"64\"", "64", {}},
      {"A =", "", {}},
      {"A = 9\na = 0032", {}, 32},  // the later line wins
      {"A = 0X20", {}, 32},
      {"A = 4294967295", {}, 0xFFFFFFFFu},
      {"  a\t=\t7\r", {}, 7},
  };
  for (const auto& c : cases) {
    const ValueFile file = ValueFile::parse(c.line);
    EXPECT_EQ(file.readString("a", 255), c.text) << c.line;
    EXPECT_EQ(file.readUInt32("A"), c.number) << c.line;
  }
  std::vector<int> malformed;
  const ValueFile file = ValueFile::parse(
      "# comment\n\nA 5\n= 5\nA B = 5\nA-B = 5\nA = \"never closed\nA = \"x\" y\nA = 4294967296\n"
      "A = 0x100000000\nB = 2\n",
      &malformed);
  EXPECT_EQ(malformed, (std::vector<int>{3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_FALSE(file.readUInt32("A"));
  EXPECT_EQ(file.readUInt32("B"), 2u);
}

}  // namespace
}  // namespace wendrel
