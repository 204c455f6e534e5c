// The typed key/value text format of the settings file and the registration records:
//   # comment
//   CollectorAddress = "192.0.2.10"   # a string (double quotes; \" and \\ escaped)
//   SamplingRate     = 32             # an unsigned 32-bit number, decimal or 0x hex
// A bare value that is not a number is a string. Names are compared without regard to case;
// the later of two lines with one name wins.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "record.h"

namespace wendrel::valueFile {

// The longest line read: a longer one is skipped as malformed, and only this much of it is
// ever held in memory.
constexpr size_t kMaxLineLength = 64 * 1024;

// Parses `text`; each line that is not empty, a comment or a valid entry, or that is longer
// than kMaxLineLength, is skipped and its 1-based number appended to `malformedLines` when
// given. A UTF-8 byte-order mark at the start is ignored.
Record parse(const std::string& text, std::vector<int>* malformedLines = nullptr);

// Reads and parses the file at `path`. Returns 0 or the errno of the failed read (the
// result is then empty; EINVAL when `path` is not a regular file, which is also logged at
// ERROR). Malformed lines are logged at WARN on the "Wendrel" logger.
int load(const std::string& path, Record& result);

// The file text: one "Name = value" line per value, in the order first set.
std::string serialize(const Record& record);

}  // namespace wendrel::valueFile
