#include "command_line.h"

#include <cctype>
#include <vector>

namespace wendrel {
namespace {

// The word at `pos` equals `name` up to the case and ends where `name` ends.
bool wordEquals(const std::string& line, size_t pos, const char* name) {
  for (; *name != '\0'; ++pos, ++name) {
    if (pos >= line.size())
      return false;
    if (std::toupper(static_cast<unsigned char>(line[pos])) !=
        std::toupper(static_cast<unsigned char>(*name))) {
      return false;
    }
  }
  return pos == line.size() || line[pos] == ' ' || line[pos] == '\t';
}

// The start of every candidate: the character after each '-' or '/'.
std::vector<size_t> candidates(const std::string& line) {
  std::vector<size_t> starts;
  for (size_t pos = 0; pos < line.size(); ++pos) {
    if (line[pos] == '-' || line[pos] == '/')
      starts.push_back(pos + 1);
  }
  return starts;
}

int32_t unregister(RegistrationOperations& ops) {
  int32_t status = ops.UnregisterServer();
  if (status >= 0)
    status = ops.UnregisterAppId();
  return status;
}

int32_t registerServer(RegistrationOperations& ops, bool service) {
  int32_t status = ops.RegisterAppId(service);
  if (status >= 0)
    status = ops.RegisterServer();
  return status;
}

}  // namespace

std::string quoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
    return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quotation mark are doubled, and the mark itself escaped.
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + '"';
}

std::string buildCommandLine(int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0)
      line += ' ';
    line += quoteArgument(argv[i] ? argv[i] : "");
  }
  return line;
}

bool parseCommandLine(const std::string& commandLine, RegistrationOperations& ops,
                      int32_t& status) {
  status = 0;
  const std::vector<size_t> starts = candidates(commandLine);
  for (size_t pos : starts) {
    if (wordEquals(commandLine, pos, "UnregServer")) {
      status = unregister(ops);
      return false;
    }
    if (wordEquals(commandLine, pos, "RegServer")) {
      status = registerServer(ops, false);
      return false;
    }
    if (wordEquals(commandLine, pos, "UnregServerPerUser")) {
      ops.SetPerUserRegistration();
      status = unregister(ops);
      return false;
    }
    if (wordEquals(commandLine, pos, "RegServerPerUser")) {
      ops.SetPerUserRegistration();
      status = registerServer(ops, false);
      return false;
    }
  }
  for (size_t pos : starts) {
    if (wordEquals(commandLine, pos, "Service")) {
      status = registerServer(ops, true);
      return false;
    }
  }
  return true;
}

}  // namespace wendrel
