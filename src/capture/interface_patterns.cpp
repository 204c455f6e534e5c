#include "interface_patterns.h"

#include <fnmatch.h>
#include <net/if.h>

#include <algorithm>

namespace wendrel {

std::optional<InterfacePatterns> InterfacePatterns::parse(const std::string& text) {
  InterfacePatterns patterns;
  size_t at = 0;
  while ((at = text.find_first_not_of(" \t,", at)) != std::string::npos) {
    const size_t end = std::min(text.find_first_of(" \t,", at), text.size());
    const bool exclude = text[at] == '!';
    std::string pattern = text.substr(at + exclude, end - at - exclude);
    at = end;
    const bool wildcard = pattern.find_first_of("*?[") != std::string::npos;
    if (pattern.empty() || pattern[0] == '!' || pattern.find_first_of("/:") != std::string::npos ||
        (!wildcard && pattern.size() >= IFNAMSIZ))
      return std::nullopt;
    (exclude ? patterns.excludes : patterns.includes).push_back(std::move(pattern));
  }
  return patterns;
}

bool InterfacePatterns::selects(const std::string& name) const {
  const auto matches = [&name](const std::string& p) {
    return fnmatch(p.c_str(), name.c_str(), 0) == 0;
  };
  return std::none_of(excludes.begin(), excludes.end(), matches) &&
         (includes.empty() || std::any_of(includes.begin(), includes.end(), matches));
}

}  // namespace wendrel
