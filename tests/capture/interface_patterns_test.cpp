// Which interface names the Interfaces patterns capture, and which lists are refused.
#include "interface_patterns.h"

#include <gtest/gtest.h>

#include <sstream>

namespace wendrel {
namespace {

TEST(InterfacePatterns, ANameIsCapturedWhenIncludedAndNotExcluded) {
  const struct {
    const char* patterns;
    const char* captured;  // blank-separated names
    const char* left;
  } cases[] = {
      {"", "eth0 veth1 wqbr0", ""},
      {"eth* bond*", "eth0 bond1", "veth0 et bon"},
      {"eth*,bond?\t!eth9", "eth0 bond1", "eth9 bond10"},
      {"!veth* !docker0", "eth0 aveth0 docker1", "veth0 docker0"},  // the rest is captured
      {"eth[0-1] !eth1 ens3", "eth0 ens3", "eth1 eth2 ens33"},
  };
  for (const auto& c : cases) {
    const auto patterns = InterfacePatterns::parse(c.patterns);
    ASSERT_TRUE(patterns) << c.patterns;
    for (const auto& [names, want] : {std::pair{c.captured, true}, std::pair{c.left, false}}) {
      std::istringstream in(names);
      for (std::string name; in >> name;)
        EXPECT_EQ(patterns->selects(name), want) << c.patterns << " / " << name;
    }
  }
  for (const char* refused : {"eth0 !", "!!veth*", "eth0/1", "eth0:1", "averyveryverylong0"})
    EXPECT_FALSE(InterfacePatterns::parse(refused)) << refused;
}

}  // namespace
}  // namespace wendrel
