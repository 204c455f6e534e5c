// The capture settings' forms: which interface names the Interfaces patterns capture, and the
// address each AgentAddress rule picks from the devices' addresses.
#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "agent_address.h"
#include "capture_fakes.h"
#include "interface_patterns.h"

namespace wendrel::test {
namespace {

TEST(InterfacePatterns, ANameIsCapturedWhenIncludedAndNotExcluded) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      // patterns, names captured, names left
      {"", "eth0 veth1 wqbr0", ""},
      {"eth* bond*", "eth0 bond1", "veth0 et bon"},
      {"eth*,bond?\t!eth9", "eth0 bond1", "eth9 bond10"},
      {"!veth* !docker0", "eth0 aveth0 docker1", "veth0 docker0"},  // the rest is captured
      {"eth[0-1] !eth1 ens3", "eth0 ens3", "eth1 eth2 ens33"},
  };
  for (const auto& [text, captured, left] : cases) {
    const auto patterns = InterfacePatterns::parse(text);
    ASSERT_TRUE(patterns) << text;
    for (const auto& [names, want] : {std::pair{captured, true}, std::pair{left, false}}) {
      std::istringstream in(names);
      for (std::string name; in >> name;)
        EXPECT_EQ(patterns->selects(name), want) << text << " / " << name;
    }
  }
  for (const char* refused : {"eth0 !", "!!veth*", "eth0/1", "eth0:1", "averyveryverylong0"})
    EXPECT_FALSE(InterfacePatterns::parse(refused)) << refused;
}

// Each form of the setting, and the address it picks from the devices' addresses: one given
// need not be the host's; an interface's first IPv4, else its first global IPv6; the first
// device's first in the block. The automatic rule picks no configured one, and its IPv6 choice
// is neither link-local nor multicast nor loopback.
TEST(AgentAddress, WhatEachFormPicks) {
  FakePcap pcap;
  pcap.devices = {{"lo", "", "127.0.0.1 ::1"},
                  {"eth0", "", "hw fe80::1 2001:db8:1::5 192.0.2.5"},
                  {"eth1", "", "fe80::2 2001:db8:2::5 198.51.100.5"},
                  {"v6only", "", "fe80::3 ff02::1 2001:db8:3::5 2001:db8:3::6"}};
  pcap_if_t* host = nullptr;
  char errbuf[PCAP_ERRBUF_SIZE];
  ASSERT_EQ(0, pcap.findAllDevs(&host, errbuf));
  const std::tuple<const char*, const char*> cases[] = {// setting, address picked ("" none)
                                                        {"", ""},
                                                        {"203.0.113.9", "203.0.113.9"},
                                                        {"eth1", "198.51.100.5"},
                                                        {"v6only", "2001:db8:3::5"},
                                                        {"lo", "127.0.0.1"},
                                                        {"enp0s31f6.100", ""},
                                                        {"198.51.100.4/31", "198.51.100.5"},
                                                        {"2001:db8::/32", "2001:db8:1::5"},
                                                        {"2001:db8:3::6/128", "2001:db8:3::6"},
                                                        {"198.51.100.6/31", ""}};
  for (const auto& [setting, picked] : cases) {
    const auto rule = parseAgentAddress(setting);
    ASSERT_TRUE(rule) << setting;
    const auto chosen = chooseConfigured(*rule, host);
    EXPECT_EQ(picked, chosen ? chosen->text() : "") << setting;
  }
  // "10.0.0.256": digits and dots are a mistyped address, not an interface name
  for (const char* refused :
       {"10.0.0.0/33", "10.0.0.0/", "eth0/8", "10.0.0.256", "a-name-too-long-1", "two words"})
    EXPECT_FALSE(parseAgentAddress(refused)) << refused;
  std::vector<std::string> automatic;
  for (const pcap_if_t* device = host; device != nullptr; device = device->next) {
    const auto chosen = firstGlobalIpv6(device->name, device->addresses);
    automatic.push_back(chosen ? chosen->text() : "");
  }
  EXPECT_EQ((std::vector<std::string>{"", "2001:db8:1::5", "2001:db8:2::5", "2001:db8:3::5"}),
            automatic);
}

}  // namespace
}  // namespace wendrel::test
