#include "collector_list.h"

#include <boost/asio/ip/address.hpp>
#include <cctype>

namespace wendrel {

namespace {

bool isSeparator(char c) {
  return c == ',' || std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::optional<uint16_t> parsePort(const std::string& text) {
  if (text.empty() || text.size() > 5)
    return std::nullopt;
  uint32_t port = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  if (port == 0 || port > 65535)
    return std::nullopt;
  return static_cast<uint16_t>(port);
}

bool isAddress(const std::string& text, bool v6) {
  boost::system::error_code error;
  if (v6)
    boost::asio::ip::make_address_v6(text, error);
  else
    boost::asio::ip::make_address_v4(text, error);
  return !error;
}

// A DNS name: dot-separated labels of letters, digits, '-' and '_' (seen in internal zones),
// none empty or longer than 63, 253 characters at most. A last label of digits only is a
// mistyped address ("192.0.2.300"), not a name.
bool isHostName(const std::string& text) {
  if (text.empty() || text.size() > 253)
    return false;
  const size_t lastDot = text.rfind('.');
  const std::string last = lastDot == std::string::npos ? text : text.substr(lastDot + 1);
  if (last.find_first_not_of("0123456789") == std::string::npos)
    return false;
  size_t label = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.') {
      if (label == 0)
        return false;
      label = 0;
      continue;
    }
    if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '-' && c != '_')
      return false;
    if (++label > 63)
      return false;
  }
  return true;
}

std::optional<CollectorEntry> parseEntry(const std::string& entry) {
  CollectorEntry result;
  std::string host = entry;
  if (entry.front() == '[') {
    const size_t close = entry.find(']');
    if (close == std::string::npos)
      return std::nullopt;
    host = entry.substr(1, close - 1);
    const std::string rest = entry.substr(close + 1);
    if (!rest.empty()) {
      auto port = rest[0] == ':' ? parsePort(rest.substr(1)) : std::nullopt;
      if (!port)
        return std::nullopt;
      result.port = *port;
    }
    if (!isAddress(host, true))
      return std::nullopt;
    result.host = host;
    result.literal = true;
    return result;
  }
  if (entry.find(']') != std::string::npos)
    return std::nullopt;
  const size_t colon = entry.find(':');
  if (colon != std::string::npos && entry.find(':', colon + 1) != std::string::npos) {
    // Two colons or more: a bare IPv6 literal, which cannot carry a port.
    if (!isAddress(entry, true))
      return std::nullopt;
    result.host = entry;
    result.literal = true;
    return result;
  }
  if (colon != std::string::npos) {
    auto port = parsePort(entry.substr(colon + 1));
    if (!port)
      return std::nullopt;
    result.port = *port;
    host = entry.substr(0, colon);
  }
  result.literal = isAddress(host, false);
  if (!result.literal && !isHostName(host))
    return std::nullopt;
  result.host = host;
  return result;
}

}  // namespace

std::optional<std::vector<CollectorEntry>> parseCollectorList(const std::string& text,
                                                              std::string& error) {
  std::vector<CollectorEntry> entries;
  size_t i = 0;
  while (i < text.size()) {
    if (isSeparator(text[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && !isSeparator(text[end]))
      ++end;
    const std::string entry = text.substr(i, end - i);
    auto parsed = parseEntry(entry);
    if (!parsed) {
      error = "\"" + entry + "\" is not a host name or address with an optional port";
      return std::nullopt;
    }
    entries.push_back(*parsed);
    i = end;
  }
  if (entries.empty()) {
    error = "no collector is given";
    return std::nullopt;
  }
  return entries;
}

}  // namespace wendrel
