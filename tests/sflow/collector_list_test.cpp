#include "collector_list.h"

#include <gtest/gtest.h>

namespace wendrel {
namespace {

TEST(CollectorList, ParsesEveryFormAndRefusesWhatIsNotOne) {
  using E = std::vector<CollectorEntry>;
  const std::string longName = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                               std::string(63, 'c') + "." + std::string(59, 'd');  // 251
  const std::pair<std::string, std::optional<E>> cases[] = {
      {"192.0.2.10:6344", E{{"192.0.2.10", 6344, true}}},
      {"host-1:65535", E{{"host-1", 65535, false}}},
      {"[2001:db8::1]", E{{"2001:db8::1", 6343, true}}},
      {"[2001:db8::1]:6344", E{{"2001:db8::1", 6344, true}}},
      {"2001:db8::1", E{{"2001:db8::1", 6343, true}}},
      {" a.example ,b.example:7000\t[::1]:6000 ,, ",
       E{{"a.example", 6343, false}, {"b.example", 7000, false}, {"::1", 6000, true}}},
      {longName, E{{longName, 6343, false}}},
      {"in_ternal.example", E{{"in_ternal.example", 6343, false}}},
      {std::string(63, 'x') + ".example", E{{std::string(63, 'x') + ".example", 6343, false}}},
      {std::string(64, 'x') + ".example", std::nullopt},
      {"  , \t", std::nullopt},
      {"host:0", std::nullopt},
      {"host:65536", std::nullopt},
      {"host:http", std::nullopt},
      {"host:", std::nullopt},
      {"192.0.2.10:-1", std::nullopt},
      {"[2001:db8::1", std::nullopt},
      {"2001:db8::1]", std::nullopt},
      {"[2001:db8::1]6344", std::nullopt},
      {"[192.0.2.10]", std::nullopt},
      {"192.0.2.300", std::nullopt},
      {"bad_name!", std::nullopt},
      {"a..b", std::nullopt},
      {"good.example, :6343", std::nullopt},
      {longName + "xyz", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    std::string error;
    const auto parsed = parseCollectorList(text, error);
    EXPECT_EQ(expected, parsed) << '"' << text << '"';
    EXPECT_EQ(parsed.has_value(), error.empty()) << text << ": " << error;
  }
  std::string error;
  parseCollectorList("ok.example [::1]:99999", error);
  EXPECT_EQ("\"[::1]:99999\" is not a host name or address with an optional port", error);
}

}  // namespace
}  // namespace wendrel
