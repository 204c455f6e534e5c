// Where the agent's three settings come from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wendrel {

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // The text stored under `name`, or nothing when it is missing, not a string, or its bytes
  // plus the terminating zero do not fit `capacity`.
  virtual std::optional<std::string> readString(const std::string& name, size_t capacity) = 0;
  // The 32-bit number stored under `name`, or nothing when it is missing or not a number.
  virtual std::optional<uint32_t> readUInt32(const std::string& name) = 0;
  // Every name stored, as written, so that unknown ones can be pointed out.
  virtual std::vector<std::string> names() { return {}; }
  // Forgets what was read, so that the next read takes the settings as they are now.
  virtual void forget() {}
  // Where the settings are kept, for the log.
  virtual std::string location() { return {}; }
};

}  // namespace wendrel
