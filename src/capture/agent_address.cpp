#include "agent_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <algorithm>
#include <cstring>

#include "packet_reporter.h"

namespace wendrel {

namespace {

// Address bytes of an AF_INET or AF_INET6 socket address; nothing for another family.
std::optional<AgentAddress> bytesOf(const sockaddr* address) {
  if (address == nullptr)
    return std::nullopt;
  AgentAddress a;
  if (address->sa_family == AF_INET) {
    sockaddr_in in;
    std::memcpy(&in, address, sizeof in);
    std::memcpy(a.bytes.data(), &in.sin_addr, 4);
    return a;
  }
  if (address->sa_family == AF_INET6) {
    sockaddr_in6 in;
    std::memcpy(&in, address, sizeof in);
    std::memcpy(a.bytes.data(), &in.sin6_addr, 16);
    a.ipv6 = true;
    return a;
  }
  return std::nullopt;
}

bool globalIpv6(const std::array<uint8_t, 16>& b) {
  const bool unspecified = std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0; });
  const bool loopback =
      std::all_of(b.begin(), b.end() - 1, [](uint8_t x) { return x == 0; }) && b[15] == 1;
  const bool linkLocal = b[0] == 0xfe && (b[1] & 0xc0) == 0x80;
  return !unspecified && !loopback && !linkLocal && b[0] != 0xff;
}

bool within(const AgentAddressRule& block, const AgentAddress& a) {
  if (a.ipv6 != block.ipv6)
    return false;
  for (unsigned bit = 0; bit < block.prefix; ++bit) {
    const uint8_t mask = uint8_t(0x80 >> (bit % 8));
    if ((a.bytes[bit / 8] & mask) != (block.bytes[bit / 8] & mask))
      return false;
  }
  return true;
}

bool parseAddress(const std::string& text, AgentAddressRule& rule) {
  if (inet_pton(AF_INET, text.c_str(), rule.bytes.data()) == 1)
    return true;
  rule.ipv6 = true;
  return inet_pton(AF_INET6, text.c_str(), rule.bytes.data()) == 1;
}

}  // namespace

std::string AgentAddress::text() const {
  char buffer[INET6_ADDRSTRLEN] = "";
  inet_ntop(ipv6 ? AF_INET6 : AF_INET, bytes.data(), buffer, sizeof buffer);
  return buffer;
}

std::optional<AgentAddressRule> parseAgentAddress(const std::string& text) {
  AgentAddressRule rule;
  rule.text = text;
  if (text.empty())
    return rule;
  const size_t slash = text.find('/');
  if (slash != std::string::npos) {
    const std::string bits = text.substr(slash + 1);
    rule.kind = AgentAddressRule::Kind::kBlock;
    if (!parseAddress(text.substr(0, slash), rule) || bits.empty() || bits.size() > 3 ||
        !std::all_of(bits.begin(), bits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return std::nullopt;
    rule.prefix = unsigned(std::stoul(bits));
    if (rule.prefix > (rule.ipv6 ? 128u : 32u))
      return std::nullopt;
    return rule;
  }
  rule.kind = AgentAddressRule::Kind::kAddress;
  if (parseAddress(text, rule))
    return rule;
  // Not an address: an interface name, as the kernel allows them (at most 15 bytes, no
  // slash or blank), but not one that only an address would be made of.
  rule = AgentAddressRule{AgentAddressRule::Kind::kInterface, text};
  const bool nameChars = std::all_of(text.begin(), text.end(), [](char c) {
    return c > ' ' && c != '/' && c != ':' && c != 0x7f && c != '"';
  });
  const bool addressChars = std::all_of(text.begin(), text.end(),
                                        [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
  if (text.size() > 15 || !nameChars || addressChars)
    return std::nullopt;
  return rule;
}

std::optional<AgentAddress> chooseConfigured(const AgentAddressRule& rule,
                                             const pcap_if_t* devices) {
  using Kind = AgentAddressRule::Kind;
  if (rule.kind == Kind::kAddress) {
    AgentAddress a;
    a.ipv6 = rule.ipv6, a.bytes = rule.bytes, a.why = "set by AgentAddress";
    return a;
  }
  if (rule.kind == Kind::kAutomatic)
    return std::nullopt;
  for (const pcap_if_t* d = devices; d != nullptr; d = d->next) {
    if (d->name == nullptr)
      continue;
    if (rule.kind == Kind::kInterface) {
      if (rule.text != d->name)
        continue;
      std::optional<AgentAddress> v6;
      for (const pcap_addr* e = d->addresses; e != nullptr; e = e->next) {
        std::optional<AgentAddress> a = bytesOf(e->addr);
        if (a && !a->ipv6) {
          a->why = "the first IPv4 address of " + rule.text + ", as AgentAddress says";
          return a;
        }
        if (a && !v6 && globalIpv6(a->bytes))
          v6 = a;
      }
      if (v6)
        v6->why = "the first global IPv6 address of " + rule.text + ", as AgentAddress says";
      return v6;
    }
    for (const pcap_addr* e = d->addresses; e != nullptr; e = e->next) {
      std::optional<AgentAddress> a = bytesOf(e->addr);
      if (a && within(rule, *a)) {
        a->why = std::string("the first address of ") + d->name + " in " + rule.text +
                 ", as AgentAddress says";
        return a;
      }
    }
  }
  return std::nullopt;
}

std::optional<AgentAddress> firstGlobalIpv6(const char* device, const pcap_addr* addresses) {
  for (const pcap_addr* e = addresses; e != nullptr; e = e->next) {
    std::optional<AgentAddress> a = bytesOf(e->addr);
    if (a && a->ipv6 && globalIpv6(a->bytes)) {
      a->why = std::string("no captured interface has an IPv4 address: the first global IPv6 ") +
               "address of " + device;
      return a;
    }
  }
  return std::nullopt;
}

void AgentAddressChoice::pickConfigured(const pcap_if_t* devices) {
  if (automatic() || chosen_)
    return;
  if (const auto address = chooseConfigured(rule, devices)) {
    use(*address);
  } else if (!warned) {
    warned = true;
    LOG4CPLUS_WARN_FMT(log4cplus::Logger::getInstance("TrafficLogger"),
                       "AgentAddress %s names no address of this host yet; the datagrams carry "
                       "0.0.0.0 until one appears",
                       rule.text.c_str());
  }
}

void AgentAddressChoice::use(const AgentAddress& address) {
  chosen_ = address;
  if (address.ipv6) {
    reporter.setAgentAddress6(address.bytes);
  } else {
    uint32_t word;
    std::memcpy(&word, address.bytes.data(), 4);
    reporter.setAgentAddress(word);
  }
  LOG4CPLUS_INFO_FMT(log4cplus::Logger::getInstance("TrafficLogger"), "Agent address %s: %s",
                     address.text().c_str(), address.why.c_str());
}

}  // namespace wendrel
