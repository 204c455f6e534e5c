// Small file helpers for the settings, the records and the unit file. Each returns 0 or the
// errno of the operation that failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace wendrel::files {

// Hands the bytes of the regular file at `path` to `consume`, a piece at a time, so a huge
// file never sits in memory whole. EINVAL when `path` is not a regular file: a FIFO or a
// device would block the read or never end.
int readRegularFile(const std::string& path,
                    const std::function<void(const char* data, size_t size)>& consume);

// Writes `text` to a temporary file beside `path`, syncs it and renames it over `path`, so a
// crash leaves either the old file or the new one. Creates missing parent directories.
int writeFileAtomic(const std::string& path, const std::string& text, unsigned mode = 0644);

int removeFile(const std::string& path);

// mkdir -p, with mode 0755 for the directories it creates.
int makeDirectories(const std::string& path);

// The root prefix from WENDREL_ROOT, without a trailing '/' ("" for the real root).
std::string rootPrefix();

// The full path of the running executable (from /proc/self/exe), or "" when unavailable.
std::string executablePath();

// A failed file operation's errno as the Win32 code that a registry call would have given.
int32_t win32FromErrno(int err);

// Raises the soft limit of open descriptors to the hard one: each captured interface takes
// two, and a host has hundreds. Where the process may not, the limit stays as it was.
void raiseOpenFileLimit();

}  // namespace wendrel::files
