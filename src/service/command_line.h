// The command line: rebuilt from argv as one text, then scanned for the registration
// switches "UnregServer", "RegServer", "UnregServerPerUser", "RegServerPerUser" and "Service".
#pragma once

#include <cstdint>
#include <string>

namespace wendrel {

// The registration operations a switch runs; each returns a 32-bit status code.
class RegistrationOperations {
 public:
  virtual ~RegistrationOperations() = default;
  virtual int32_t RegisterAppId(bool service) = 0;
  virtual int32_t UnregisterAppId() = 0;
  // The type-library record is written and removed with the server's registration.
  virtual int32_t RegisterServer() = 0;
  virtual int32_t UnregisterServer() = 0;
  virtual void SetPerUserRegistration() = 0;
};

// One argument as the platform's quoting writes it: in quotation marks when it is empty or
// holds a space, a tab or a quotation mark, with inner quotation marks escaped and the
// backslashes before them (or before the closing mark) doubled.
std::string quoteArgument(const std::string& arg);

// argv[0..argc) quoted and joined by single spaces.
std::string buildCommandLine(int argc, const char* const* argv);

// Scans `commandLine` (the program's path included) for a switch: each '-' or '/' starts a
// candidate word, which matches a switch name when equal to it without regard to case and
// ended by the end of the line, a space or a tab. A first pass looks for the registration
// switches, a second for "Service"; the leftmost match of a pass decides. Returns false
// when a switch was acted on (`status` then holds its result), true when the agent is to
// start (`status` 0).
bool parseCommandLine(const std::string& commandLine, RegistrationOperations& ops, int32_t& status);

}  // namespace wendrel
