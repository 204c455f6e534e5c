// Which address the datagrams carry as the agent's: the `AgentAddress` setting (an address,
// an interface name, or a block to pick from), or, without it, the first IPv4 address of the
// captured interfaces and, when none has one, their first global IPv6 address.
#pragma once

#include <pcap/pcap.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace wendrel {

class PacketReporter;

struct AgentAddressRule {
  enum class Kind { kAutomatic, kAddress, kInterface, kBlock };
  Kind kind = Kind::kAutomatic;
  std::string text;                 // as the setting gave it
  bool ipv6 = false;                // kAddress, kBlock: the family
  std::array<uint8_t, 16> bytes{};  // kAddress, kBlock: the address, as on the wire
  unsigned prefix = 0;              // kBlock: its length in bits
};

// The rule a setting's text gives; nothing when it is none of the three forms. The empty text
// is the automatic choice.
std::optional<AgentAddressRule> parseAgentAddress(const std::string& text);

// An address chosen, and why, for the log.
struct AgentAddress {
  bool ipv6 = false;
  std::array<uint8_t, 16> bytes{};  // the first 4 for IPv4
  std::string why;
  std::string text() const;
};

// The address the rule picks among the devices' addresses: the one the setting gives, the
// first of the named interface (IPv4 before IPv6), the first within the block. Nothing for the
// automatic rule, or when no device has one yet.
std::optional<AgentAddress> chooseConfigured(const AgentAddressRule& rule,
                                             const pcap_if_t* devices);

// The first global IPv6 address of `addresses` (not loopback, link-local, multicast or
// unspecified), for the automatic rule on a host without IPv4.
std::optional<AgentAddress> firstGlobalIpv6(const char* device, const pcap_addr* addresses);

// The address chosen so far, as both capture paths choose it: handed to the reporter and
// logged with the reason.
class AgentAddressChoice {
 public:
  explicit AgentAddressChoice(PacketReporter& to) : reporter(to) {}
  AgentAddressRule rule;
  bool automatic() const { return rule.kind == AgentAddressRule::Kind::kAutomatic; }
  const std::optional<AgentAddress>& chosen() const { return chosen_; }
  // A configured rule not met yet takes its pick among `devices`, or warns, once, that they
  // have none.
  void pickConfigured(const pcap_if_t* devices);
  void use(const AgentAddress& address);
  void forget() { chosen_.reset(); }

 private:
  PacketReporter& reporter;
  std::optional<AgentAddress> chosen_;
  bool warned = false;
};

}  // namespace wendrel
