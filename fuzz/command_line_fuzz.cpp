// Scans arbitrary command lines, and argv vectors rebuilt into one, for switches. A line
// that starts the agent must have run nothing; one that ran a switch must have run exactly
// one switch's steps, in the order the switch defines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "command_line.h"

namespace {

class RecordingOperations : public wendrel::RegistrationOperations {
 public:
  int32_t RegisterAppId(bool service) override { return step(service ? "AS" : "A"); }
  int32_t UnregisterAppId() override { return step("a"); }
  int32_t RegisterServer() override { return step("RT"); }
  int32_t UnregisterServer() override { return step("rT"); }
  void SetPerUserRegistration() override { calls += "U"; }

  int32_t step(const char* name) {
    calls += name;
    return failFirst && calls.size() <= 3 ? int32_t(0x80004005) : 0;
  }

  bool failFirst = false;
  std::string calls;
};

[[noreturn]] void crash(const char* why, const std::string& detail) {
  fprintf(stderr, "invariant broken: %s (%s)\n", why, detail.c_str());
  abort();
}

void check(const std::string& line, bool failFirst) {
  RecordingOperations ops;
  ops.failFirst = failFirst;
  int32_t status = 12345;
  const bool start = wendrel::parseCommandLine(line, ops, status);
  if (start) {
    if (!ops.calls.empty() || status != 0)
      crash("agent start after running a switch", line);
    return;
  }
  static const char* const kSequences[] = {"rTa", "ART", "UrTa", "UART", "ASRT"};
  static const char* const kFailedFirst[] = {"rT", "A", "UrT", "UA", "AS"};
  for (size_t i = 0; i < 5; ++i) {
    if (ops.calls == (failFirst ? kFailedFirst[i] : kSequences[i])) {
      if ((status == 0) == failFirst)
        crash("status does not match the steps' results", line);
      return;
    }
  }
  crash("unexpected registration steps", ops.calls);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  const bool failFirst = data[0] & 1;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  check(text, failFirst);

  // The same bytes split at zero bytes into an argv, quoted and joined as the platform does.
  std::vector<std::string> args(1);
  for (char c : text) {
    if (c == '\0')
      args.emplace_back();
    else
      args.back() += c;
  }
  std::vector<const char*> argv;
  for (const auto& a : args)
    argv.push_back(a.c_str());
  check(wendrel::buildCommandLine(int(argv.size()), argv.data()), failFirst);
  return 0;
}
