#include "unit_file.h"

#include "unit_template.h"

namespace wendrel {

std::optional<std::string> quotedExecStart(const std::string& executable) {
  if (executable.empty() || executable[0] != '/')
    return std::nullopt;
  std::string out = "\"";
  for (char c : executable) {
    switch (c) {
      case '\n':
      case '\r':
      case '\0':
        return std::nullopt;
      case '"':
      case '\\':
        out += '\\';
        out += c;
        break;
      case '%':  // a specifier
        out += "%%";
        break;
      case '$':  // an environment variable
        out += "$$";
        break;
      default:
        out += c;
    }
  }
  return out + '"';
}

std::optional<std::string> unitFileText(const std::string& executable, bool ebpf) {
  const auto execStart = quotedExecStart(executable);
  if (!execStart)
    return std::nullopt;
  std::string text = kUnitTemplate;
  static const std::string kPlaceholder = "@EXEC_START@";
  const size_t pos = text.find(kPlaceholder);
  if (pos == std::string::npos)
    return std::nullopt;
  text.replace(pos, kPlaceholder.size(), *execStart);
  if (ebpf) {
    // Loading the sampling program and its ring (CAP_BPF, the bpf call that @privileged
    // holds) and attaching it to the interfaces (CAP_NET_ADMIN).
    for (const std::string key : {"AmbientCapabilities=", "CapabilityBoundingSet="}) {
      const size_t at = text.find("\n" + key + "CAP_NET_RAW\n");
      if (at == std::string::npos)
        return std::nullopt;
      text.insert(at + 1 + key.size() + 11, " CAP_BPF CAP_NET_ADMIN");
    }
    const std::string filter = "\nSystemCallFilter=~@privileged @resources\n";
    const size_t at = text.find(filter);
    if (at == std::string::npos)
      return std::nullopt;
    text.insert(at + filter.size(), "SystemCallFilter=bpf\n");
  }
  return text;
}

}  // namespace wendrel
