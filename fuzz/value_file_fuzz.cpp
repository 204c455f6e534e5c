// Parses arbitrary bytes as a settings/record file. Whatever is accepted must survive a
// write and a second read unchanged, and the typed reads must agree with the value's type.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "value_file.h"

namespace {

[[noreturn]] void crash(const char* why, const std::string& name) {
  fprintf(stderr, "invariant broken: %s (%s)\n", why, name.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<int> malformed;
  const wendrel::ValueFile file = wendrel::ValueFile::parse(text, &malformed);
  for (size_t i = 1; i < malformed.size(); ++i)
    if (malformed[i] <= malformed[i - 1]) crash("malformed lines out of order", "");

  const std::string written = file.serialize();
  std::vector<int> malformedAgain;
  const wendrel::ValueFile again = wendrel::ValueFile::parse(written, &malformedAgain);
  if (!malformedAgain.empty()) crash("written file does not read back", written);
  if (again.serialize() != written) crash("second write differs from the first", written);

  // Every name the file holds reads back with the same type and content.
  const wendrel::ValueFile names = wendrel::ValueFile::parse(written);
  for (const std::string& line : {std::string("CollectorAddress"), std::string("SamplingRate"),
                                  std::string("PerformanceMode"), std::string("LocalService")}) {
    const auto s1 = file.readString(line, 255), s2 = again.readString(line, 255);
    const auto n1 = file.readUInt32(line), n2 = again.readUInt32(line);
    if (s1 != s2 || n1 != n2) crash("value changed across a write", line);
    if (s1 && n1) crash("value is both a string and a number", line);
    if (s1 && s1->size() >= 255) crash("string read past its capacity", line);
  }
  (void)names;
  return 0;
}
