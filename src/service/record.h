// Named values, each a string or an unsigned 32-bit number, as the settings file and the
// registration records hold them. Names are compared without regard to case; a name set
// again keeps its place and the spelling it was first written with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wendrel {

class Record {
 public:
  struct Value {
    std::string name;
    bool isNumber = false;
    std::string text;
    uint32_t number = 0;
    bool hex = false;  // how a number is written back
  };

  // The text stored under `name` when it is a string whose bytes plus a terminating zero fit
  // `capacity`.
  std::optional<std::string> readString(const std::string& name, size_t capacity) const;
  // The number stored under `name` when it is a number.
  std::optional<uint32_t> readUInt32(const std::string& name) const;
  // Every name, as first written, in the order first set.
  std::vector<std::string> names() const;

  void set(Value value);
  void setString(const std::string& name, const std::string& text);
  void setNumber(const std::string& name, uint32_t number, bool hex = false);
  // Removes `name`; whether it was there does not matter.
  void erase(const std::string& name);

  // In the order first set.
  const std::vector<Value>& values() const { return values_; }

 private:
  const Value* find(const std::string& name) const;

  std::vector<Value> values_;
};

}  // namespace wendrel
