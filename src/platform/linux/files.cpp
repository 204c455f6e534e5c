#include "files.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "status_codes.h"

namespace wendrel::files {

int readRegularFile(const std::string& path,
                    const std::function<void(const char* data, size_t size)>& consume) {
  // Not blocking, so that opening a FIFO with no writer returns at once and can be refused.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return errno;
  struct stat st {};
  const int err = ::fstat(fd, &st) != 0 ? errno : !S_ISREG(st.st_mode) ? EINVAL : 0;
  if (err != 0) {
    ::close(fd);
    return err;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0)
      break;
    if (n < 0) {
      if (errno == EINTR)
        continue;
      const int readError = errno;
      ::close(fd);
      return readError;
    }
    consume(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return 0;
}

namespace {

std::string parentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

int makeDirectories(const std::string& path) {
  if (path.empty())
    return 0;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0)
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (errno != ENOENT)
    return errno;
  const std::string parent = parentOf(path);
  if (parent != path) {
    if (int err = makeDirectories(parent))
      return err;
  }
  if (::mkdir(path.c_str(), 0755) != 0)
    return errno == EEXIST ? 0 : errno;
  // Set outright, not through the umask: the service's own (dynamic) user must read the
  // records whatever the umask of the administrator who registered it.
  return ::chmod(path.c_str(), 0755) == 0 ? 0 : errno;
}

int writeFileAtomic(const std::string& path, const std::string& text, unsigned mode) {
  const std::string dir = parentOf(path);
  if (int err = makeDirectories(dir))
    return err;
  std::string temp = path + ".XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0)
    return errno;
  temp = name.data();
  int err = writeAll(fd, text);
  if (!err && ::fchmod(fd, static_cast<mode_t>(mode)) != 0)
    err = errno;
  if (!err && ::fsync(fd) != 0)
    err = errno;
  if (::close(fd) != 0 && !err)
    err = errno;
  if (!err && ::rename(temp.c_str(), path.c_str()) != 0)
    err = errno;
  if (err) {
    ::unlink(temp.c_str());
    return err;
  }
  // Make the rename itself durable.
  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return 0;
}

int removeFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

std::string rootPrefix() {
  const char* root = std::getenv("WENDREL_ROOT");
  std::string prefix = root ? root : "";
  while (!prefix.empty() && prefix.back() == '/')
    prefix.pop_back();
  return prefix;
}

std::string executablePath() {
  std::vector<char> buffer(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<size_t>(n) >= buffer.size())
    return {};
  return std::string(buffer.data(), static_cast<size_t>(n));
}

int32_t win32FromErrno(int err) {
  switch (err) {
    case 0:
      return 0;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOSPC:
      return ERROR_DISK_FULL;
    default:
      return ERROR_READ_FAULT;
  }
}

void raiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace wendrel::files
