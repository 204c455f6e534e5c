// The CollectorAddress setting as operators write it: one or more collectors separated by
// commas and/or blanks, each a host name, an IPv4 literal or an IPv6 literal, with an
// optional port ("host:port", "192.0.2.10:6344", "[2001:db8::1]:6344"; a bare IPv6 literal
// means port 6343).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wendrel {

struct CollectorEntry {
  std::string host;  // a name, or an address literal without brackets
  uint16_t port = 6343;
  bool literal = false;  // an IPv4 or IPv6 address, taken as it is

  bool operator==(const CollectorEntry& other) const {
    return host == other.host && port == other.port && literal == other.literal;
  }
};

// The entries of `text` in order, or nothing, with `error` naming the first bad entry (or
// saying that there is none).
std::optional<std::vector<CollectorEntry>> parseCollectorList(const std::string& text,
                                                              std::string& error);

}  // namespace wendrel
