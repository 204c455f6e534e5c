#include "collector_list.h"

#include <gtest/gtest.h>

namespace wendrel {
namespace {

TEST(CollectorList, ParsesEveryFormAndRefusesWhatIsNotOne) {
  using E = std::vector<CollectorEntry>;
  const std::string longName = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                               std::string(63, 'c') + "." + std::string(61, 'd');  // 253
  const std::pair<std::string, E> forms[] = {
      {"192.0.2.10:6344 host-1:65535 in_ternal.example",
       E{{"192.0.2.10", 6344, true}, {"host-1", 65535, false}, {"in_ternal.example", 6343, false}}},
      {"[2001:db8::1] [2001:db8::1]:6344 2001:db8::1",
       E{{"2001:db8::1", 6343, true}, {"2001:db8::1", 6344, true}, {"2001:db8::1", 6343, true}}},
      {" a.example ,b.example:7000\t[::1]:6000 ,, ",
       E{{"a.example", 6343, false}, {"b.example", 7000, false}, {"::1", 6000, true}}},
      {longName, E{{longName, 6343, false}}},
      {std::string(63, 'x') + ".example", E{{std::string(63, 'x') + ".example", 6343, false}}},
  };
  std::vector<std::string> refused = {
      "  , \t",        "host:0",       "host:65536",   "host:http",          "host:",
      "192.0.2.10:-1", "[2001:db8::1", "2001:db8::1]", "[2001:db8::1]6344",  "[192.0.2.10]",
      "192.0.2.300",   "bad_name!",    "a..b",         "good.example, :6343"};
  refused.insert(refused.end(), {longName + "x", std::string(64, 'x') + ".example"});
  for (const auto& [text, expected] : forms) {
    std::string error;
    EXPECT_EQ(expected, parseCollectorList(text, error).value_or(E{})) << text << ": " << error;
  }
  for (const std::string& text : refused) {
    std::string error;
    EXPECT_EQ(std::nullopt, parseCollectorList(text, error)) << '"' << text << '"';
    EXPECT_NE("", error) << text;
  }
}

}  // namespace
}  // namespace wendrel
