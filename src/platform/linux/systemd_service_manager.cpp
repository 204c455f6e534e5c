#include "systemd_service_manager.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "agent_settings.h"
#include "files.h"
#include "unit_file.h"

extern char** environ;

namespace wendrel {
namespace {

constexpr int kSystemctlUnitNotLoaded = 5;

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

SystemdServiceManager::SystemdServiceManager(std::string unitName, SettingsStore* settings)
    : unitName_(std::move(unitName)), settings_(settings) {}

std::string SystemdServiceManager::unitPath() const {
  return files::rootPrefix() + "/etc/systemd/system/" + unitName_;
}

bool SystemdServiceManager::open() {
  const std::string root = files::rootPrefix();
  // What sd_booted() tests, under the root prefix.
  if (!isDirectory(root + "/run/systemd/system"))
    return false;
  const std::string unitDir = root + "/etc/systemd/system";
  return isDirectory(unitDir) && ::access(unitDir.c_str(), W_OK) == 0;
}

ServiceManager::UnitState SystemdServiceManager::unitState() {
  struct stat st {};
  const std::string path = unitPath();
  if (::lstat(path.c_str(), &st) != 0) {
    // Where the package installs it: /lib on Debian 12, /usr/lib after the move to /usr.
    for (const char* dir : {"/lib/systemd/system/", "/usr/lib/systemd/system/"}) {
      if (::stat((files::rootPrefix() + dir + unitName_).c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return UnitState::Packaged;
    }
    return UnitState::Missing;
  }
  // A unit masked with a link to /dev/null is there but cannot be replaced as a file.
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return UnitState::Other;
  return UnitState::RegularFile;
}

bool SystemdServiceManager::create(const std::string& executable) {
  const auto unitText =
      unitFileText(executable, settings_ != nullptr && capturesInKernel(*settings_));
  if (!unitText)
    return false;
  const std::string path = unitPath();
  if (files::writeFileAtomic(path, *unitText, 0644) != 0)
    return false;
  if (runSystemctl({"daemon-reload"}) != 0) {
    files::removeFile(path);
    return false;
  }
  return true;
}

bool SystemdServiceManager::stop() {
  const int rc = runSystemctl({"stop", unitName_});
  return rc == 0 || rc == kSystemctlUnitNotLoaded;
}

bool SystemdServiceManager::remove() {
  if (files::removeFile(unitPath()) != 0)
    return false;
  return runSystemctl({"daemon-reload"}) == 0;
}

int SystemdServiceManager::runSystemctl(const std::vector<std::string>& args) {
  const char* configured = std::getenv("WENDREL_SYSTEMCTL");
  const std::string program = configured && *configured ? configured : "systemctl";
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  // The child must not inherit the host's blocked signals or its ignored SIGPIPE.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  const int err = posix_spawnp(&pid, program.c_str(), nullptr, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (err != 0)
    return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace wendrel
