// The agent address rule: the setting's three forms, and the address each picks from the
// devices' addresses.
#include "agent_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <deque>
#include <tuple>

namespace wendrel {
namespace {

TEST(AgentAddress, TheSettingsForms) {
  using Kind = AgentAddressRule::Kind;
  const std::tuple<const char*, bool, Kind, unsigned> cases[] = {
      // text, valid, kind, prefix
      {"", true, Kind::kAutomatic, 0},
      {"2001:db8::7", true, Kind::kAddress, 0},
      {"enp0s31f6.100", true, Kind::kInterface, 0},
      {"10.0.0.0/8", true, Kind::kBlock, 8},
      {"2001:db8::/128", true, Kind::kBlock, 128},
      {"10.0.0.0/33", false, Kind::kBlock, 0},
      {"10.0.0.0/", false, Kind::kBlock, 0},
      {"eth0/8", false, Kind::kBlock, 0},
      {"10.0.0.256", false, Kind::kInterface, 0},  // digits and dots: a mistyped address
      {"a-name-too-long-1", false, Kind::kInterface, 0},
      {"two words", false, Kind::kInterface, 0},
  };
  for (const auto& [text, valid, kind, prefix] : cases) {
    const auto rule = parseAgentAddress(text);
    EXPECT_EQ(valid, rule.has_value()) << text;
    if (rule) {
      EXPECT_EQ(std::tuple(kind, prefix), std::tuple(rule->kind, rule->prefix)) << text;
    }
  }
}

// Devices built by hand as libpcap lists them.
class Devices {
 public:
  Devices& add(const char* name, std::initializer_list<const char*> addresses) {
    pcap_if_t& d = devices_.emplace_back();
    d.name = const_cast<char*>(name);
    pcap_addr** tail = &d.addresses;
    for (const char* text : addresses) {
      sockaddr_storage& s = storage_.emplace_back();
      if (inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in&>(s).sin_addr) == 1)
        s.ss_family = AF_INET;
      else if (inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6&>(s).sin6_addr) == 1)
        s.ss_family = AF_INET6;
      else
        s.ss_family = AF_PACKET;
      pcap_addr& a = addresses_.emplace_back();
      a.addr = reinterpret_cast<sockaddr*>(&s);
      *tail = &a, tail = &a.next;
    }
    for (size_t i = 1; i < devices_.size(); ++i)
      devices_[i - 1].next = &devices_[i];
    return *this;
  }
  const pcap_if_t* head() const { return &devices_.front(); }
  const pcap_if_t& operator[](size_t i) const { return devices_[i]; }

 private:
  std::deque<pcap_if_t> devices_;
  std::deque<pcap_addr> addresses_;
  std::deque<sockaddr_storage> storage_;
};

TEST(AgentAddress, WhatEachRulePicks) {
  Devices host;
  host.add("lo", {"127.0.0.1", "::1"})
      .add("eth0", {"hw", "fe80::1", "2001:db8:1::5", "192.0.2.5"})
      .add("eth1", {"fe80::2", "2001:db8:2::5", "198.51.100.5"})
      .add("v6only", {"fe80::3", "ff02::1", "2001:db8:3::5", "2001:db8:3::6"});
  const std::tuple<const char*, const char*> cases[] = {
      // setting, address picked ("" none)
      {"", ""},
      {"203.0.113.9", "203.0.113.9"},  // need not be the host's
      {"eth1", "198.51.100.5"},        // IPv4 first
      {"v6only", "2001:db8:3::5"},     // then the first global IPv6
      {"lo", "127.0.0.1"},
      {"eth9", ""},
      {"198.51.100.4/31", "198.51.100.5"},
      {"2001:db8::/32", "2001:db8:1::5"},  // the first device's first in the block
      {"2001:db8:3::6/128", "2001:db8:3::6"},
      {"198.51.100.6/31", ""},
      {"10.0.0.0/8", ""},
  };
  for (const auto& [setting, picked] : cases) {
    const auto chosen = chooseConfigured(*parseAgentAddress(setting), host.head());
    EXPECT_EQ(picked, chosen ? chosen->text() : "") << setting;
  }
  // The automatic rule's IPv6 choice: neither link-local nor multicast nor loopback.
  const std::tuple<size_t, const char*> automatic[] = {
      {0, ""}, {1, "2001:db8:1::5"}, {3, "2001:db8:3::5"}};
  for (const auto& [device, picked] : automatic) {
    const auto chosen = firstGlobalIpv6(host[device].name, host[device].addresses);
    EXPECT_EQ(picked, chosen ? chosen->text() : "") << device;
  }
}

}  // namespace
}  // namespace wendrel
