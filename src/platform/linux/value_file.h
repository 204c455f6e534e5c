// The typed key/value text format of the settings file and the registration records:
//   # comment
//   CollectorAddress = "192.0.2.10"   # a string (double quotes; \" and \\ escaped)
//   SamplingRate     = 32             # an unsigned 32-bit number, decimal or 0x hex
// A bare value that is not a number is a string. Names are compared without regard to case;
// the later of two lines with one name wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wendrel {

class ValueFile {
 public:
  struct Value {
    std::string name;  // as first written
    bool isNumber = false;
    std::string text;
    uint32_t number = 0;
    bool hex = false;  // how a number is written back
  };

  // The longest line read: a longer one is skipped as malformed, and only this much of it is
  // ever held in memory.
  static constexpr size_t kMaxLineLength = 64 * 1024;

  // Parses `text`; each line that is not empty, a comment or a valid entry, or that is longer
  // than kMaxLineLength, is skipped and its 1-based number appended to `malformedLines` when
  // given. A UTF-8 byte-order mark at the start is ignored.
  static ValueFile parse(const std::string& text, std::vector<int>* malformedLines = nullptr);

  // Reads and parses the file at `path`. Returns 0 or the errno of the failed read (the
  // result is then empty; EINVAL when `path` is not a regular file, which is also logged at
  // ERROR). Malformed lines are logged at WARN on the "Wendrel" logger.
  static int load(const std::string& path, ValueFile& result);

  // The text stored under `name` when it is a string whose bytes plus a terminating zero fit
  // `capacity`.
  std::optional<std::string> readString(const std::string& name, size_t capacity) const;
  // The number stored under `name` when it is a number.
  std::optional<uint32_t> readUInt32(const std::string& name) const;

  // Every name, as first written, in the order first set.
  std::vector<std::string> names() const;

  void setString(const std::string& name, const std::string& text);
  void setNumber(const std::string& name, uint32_t number, bool hex = false);
  // Removes `name`; whether it was there does not matter.
  void erase(const std::string& name);

  // The file text: one "Name = value" line per value, in the order first set.
  std::string serialize() const;

 private:
  class LineReader;

  // Takes one line (without its end); false when it is malformed.
  bool addLine(const std::string& line);
  const Value* find(const std::string& name) const;
  Value& slot(const std::string& name);

  std::vector<Value> values_;
};

}  // namespace wendrel
