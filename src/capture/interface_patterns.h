// Which interfaces are captured, by name: shell patterns (fnmatch), those after a `!`
// excluding. A name is captured when it matches no exclude pattern and either some include
// pattern or there is no include pattern at all; no pattern at all captures every interface.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace wendrel {

class InterfacePatterns {
 public:
  // Every interface.
  InterfacePatterns() = default;
  // Patterns separated by blanks or commas. Nothing when one is a slip that can match no
  // interface name: a bare or doubled `!`, a '/' or ':', or a name without wildcards longer
  // than the kernel allows.
  static std::optional<InterfacePatterns> parse(const std::string& text);
  bool selects(const std::string& name) const;
  bool everything() const { return includes.empty() && excludes.empty(); }
  bool operator!=(const InterfacePatterns& other) const {
    return includes != other.includes || excludes != other.excludes;
  }

 private:
  std::vector<std::string> includes, excludes;
};

}  // namespace wendrel
