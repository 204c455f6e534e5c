// Parses arbitrary bytes as a settings/record file. Whatever is accepted must survive a
// write and a second read unchanged, and the typed reads must agree with the value's type.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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
  const wendrel::Record file = wendrel::valueFile::parse(text, &malformed);
  for (size_t i = 1; i < malformed.size(); ++i)
    if (malformed[i] <= malformed[i - 1])
      crash("malformed lines out of order", "");

  const std::string written = wendrel::valueFile::serialize(file);
  std::vector<int> malformedAgain;
  const wendrel::Record again = wendrel::valueFile::parse(written, &malformedAgain);
  if (!malformedAgain.empty())
    crash("written file does not read back", written);
  if (wendrel::valueFile::serialize(again) != written)
    crash("second write differs from the first", written);

  // Every name the input mentions (the text before each '=') reads back alike from the file,
  // from its rewrite and under another letter case; a value is a string or a number, never
  // both, and a string never exceeds the capacity asked for.
  std::vector<std::string> names{"CollectorAddress", "SamplingRate", "PerformanceMode",
                                 "LocalService"};
  size_t start = 0;
  while (start < text.size() && names.size() < 64) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t eq = line.find('=');
    if (eq != std::string::npos) {
      std::string name = line.substr(0, eq);
      while (!name.empty() && (name.front() == ' ' || name.front() == '\t'))
        name.erase(0, 1);
      while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
        name.pop_back();
      names.push_back(name);
    }
    start = end + 1;
  }
  for (const std::string& name : names) {
    std::string flipped = name;
    for (char& c : flipped)
      c = std::isupper(static_cast<unsigned char>(c)) ? char(std::tolower(c))
                                                      : char(std::toupper(c));
    const size_t capacity = 1 + name.size() % 300;
    const auto s1 = file.readString(name, 65536), s2 = again.readString(name, 65536);
    const auto n1 = file.readUInt32(name), n2 = again.readUInt32(name);
    if (s1 != s2 || n1 != n2)
      crash("value changed across a write", name);
    if (s1 && n1)
      crash("value is both a string and a number", name);
    if (file.readString(flipped, 65536) != s1 || file.readUInt32(flipped) != n1)
      crash("names differ by letter case", name);
    const auto limited = file.readString(name, capacity);
    if (limited && (limited->size() + 1 > capacity || limited != s1))
      crash("string read past its capacity", name);
    if (!limited && s1 && s1->size() + 1 <= capacity)
      crash("string that fits refused", name);
  }
  return 0;
}
