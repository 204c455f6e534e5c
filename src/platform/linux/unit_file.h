// The systemd unit that registration writes for the service.
#pragma once

#include <optional>
#include <string>

namespace wendrel {

// The ExecStart value for `executable`: the path in double quotation marks, with what
// systemd would otherwise expand or unquote escaped. Nothing for a path that is not
// absolute or holds a line break.
std::optional<std::string> quotedExecStart(const std::string& executable);

// The unit text for the service run from `executable` (packaging/wendrel.service with the
// quoted path on ExecStart); nothing when the path cannot be written there. With `ebpf` the
// unit also grants what sampling in the kernel needs: CAP_BPF, CAP_NET_ADMIN and bpf(2).
std::optional<std::string> unitFileText(const std::string& executable, bool ebpf = false);

}  // namespace wendrel
