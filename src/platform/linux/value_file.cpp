#include "value_file.h"

#include "files.h"

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace wendrel {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string trim(const std::string& s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && isBlank(s[begin]))
    ++begin;
  while (end > begin && isBlank(s[end - 1]))
    --end;
  return s.substr(begin, end - begin);
}

bool isValidName(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  });
}

enum class Bare { String, Number, Overflow };

// Classifies a trimmed bare value: decimal digits, or 0x/0X and hex digits, within 32 bits.
Bare parseNumber(const std::string& s, uint32_t& out) {
  unsigned base = 10;
  size_t pos = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    pos = 2;
  }
  if (pos == s.size())
    return Bare::String;
  uint64_t value = 0;
  bool overflow = false;
  for (; pos < s.size(); ++pos) {
    const auto c = static_cast<unsigned char>(s[pos]);
    unsigned digit;
    if (std::isdigit(c)) {
      digit = c - '0';
    } else if (base == 16 && std::isxdigit(c)) {
      digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
    } else {
      return Bare::String;
    }
    value = value * base + digit;
    if (value > 0xFFFFFFFFu) {
      overflow = true;
      value = 0;  // keep scanning: a later non-digit makes it a string after all
    }
  }
  if (overflow)
    return Bare::Overflow;
  out = static_cast<uint32_t>(value);
  return Bare::Number;
}

// Parses the value part of a line (after '='); false when the line is malformed.
bool parseValue(const std::string& rest, Record::Value& value) {
  size_t pos = 0;
  while (pos < rest.size() && isBlank(rest[pos]))
    ++pos;
  if (pos < rest.size() && rest[pos] == '"') {
    std::string text;
    bool closed = false;
    for (++pos; pos < rest.size(); ++pos) {
      const char c = rest[pos];
      if (c == '"') {
        closed = true;
        ++pos;
        break;
      }
      if (c == '\\' && pos + 1 < rest.size() && (rest[pos + 1] == '"' || rest[pos + 1] == '\\')) {
        ++pos;
      }
      text += rest[pos];
    }
    if (!closed)
      return false;
    while (pos < rest.size() && isBlank(rest[pos]))
      ++pos;
    if (pos < rest.size() && rest[pos] != '#')
      return false;
    value.isNumber = false;
    value.text = std::move(text);
    return true;
  }
  const std::string bare = trim(rest.substr(pos, rest.find('#', pos) - pos));
  uint32_t number = 0;
  switch (parseNumber(bare, number)) {
    case Bare::Overflow:
      return false;
    case Bare::Number:
      value.isNumber = true;
      value.number = number;
      value.hex = bare.size() > 1 && (bare[1] == 'x' || bare[1] == 'X');
      return true;
    case Bare::String:
      value.isNumber = false;
      value.text = bare;
      return true;
  }
  return false;
}

std::string quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\')
      out += '\\';
    out += c;
  }
  return out + '"';
}

}  // namespace

namespace {

// Takes one line (without its end) into `file`; false when it is malformed.
bool addLine(Record& file, const std::string& line) {
  const std::string trimmed = trim(line);
  if (trimmed.empty() || trimmed[0] == '#')
    return true;
  const size_t eq = trimmed.find('=');
  Record::Value value;
  // A zero byte would silently cut a string short where it is used; refuse the line.
  const bool ok = eq != std::string::npos && trimmed.find('\0') == std::string::npos &&
                  isValidName(value.name = trim(trimmed.substr(0, eq))) &&
                  parseValue(trimmed.substr(eq + 1), value);
  if (ok)
    file.set(std::move(value));
  return ok;
}

// Splits the bytes it is fed into lines, keeping at most kMaxLineLength bytes of one.
class LineReader {
 public:
  LineReader(Record& file, std::vector<int>* malformed) : file_(file), malformed_(malformed) {}

  void feed(const char* data, size_t size) {
    if (!started_) {
      started_ = true;
      // Editors on other systems start UTF-8 files with a byte-order mark.
      static constexpr char kBom[] = "\xEF\xBB\xBF";
      if (size >= 3 && std::equal(kBom, kBom + 3, data)) {
        data += 3;
        size -= 3;
      }
    }
    while (size > 0) {
      const char* end = static_cast<const char*>(std::memchr(data, '\n', size));
      const size_t length = end ? static_cast<size_t>(end - data) : size;
      if (!tooLong_ && line_.size() + length <= valueFile::kMaxLineLength) {
        line_.append(data, length);
      } else {
        tooLong_ = true;
        line_.clear();
        line_.shrink_to_fit();
      }
      if (!end)
        return;
      endLine();
      data = end + 1;
      size -= length + 1;
    }
  }

  void finish() {
    if (!line_.empty() || tooLong_)
      endLine();
  }

 private:
  void endLine() {
    ++number_;
    if ((tooLong_ || !addLine(file_, line_)) && malformed_)
      malformed_->push_back(number_);
    line_.clear();
    tooLong_ = false;
  }

  Record& file_;
  std::vector<int>* malformed_;
  std::string line_;
  bool started_ = false;
  bool tooLong_ = false;
  int number_ = 0;
};

}  // namespace

Record valueFile::parse(const std::string& text, std::vector<int>* malformedLines) {
  Record file;
  LineReader reader(file, malformedLines);
  reader.feed(text.data(), text.size());
  reader.finish();
  return file;
}

int valueFile::load(const std::string& path, Record& result) {
  result = Record();
  std::vector<int> malformed;
  LineReader reader(result, &malformed);
  const int err = files::readRegularFile(
      path, [&reader](const char* data, size_t size) { reader.feed(data, size); });
  const log4cplus::Logger logger = log4cplus::Logger::getInstance("Wendrel");
  if (err != 0) {
    result = Record();
    if (err == EINVAL)
      LOG4CPLUS_ERROR_FMT(logger, "Ignoring %s: it is not a regular file", path.c_str());
    return err;
  }
  reader.finish();
  for (int line : malformed) {
    LOG4CPLUS_WARN_FMT(logger, "Ignoring malformed line %d of %s", line, path.c_str());
  }
  return 0;
}

std::string valueFile::serialize(const Record& record) {
  std::ostringstream out;
  for (const Record::Value& value : record.values()) {
    out << value.name << " = ";
    if (!value.isNumber) {
      out << quote(value.text);
    } else if (value.hex) {
      out << "0x" << std::hex << value.number << std::dec;
    } else {
      out << value.number;
    }
    out << '\n';
  }
  return out.str();
}

}  // namespace wendrel
