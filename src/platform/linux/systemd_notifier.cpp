#include "systemd_notifier.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace wendrel {

bool SystemdNotifier::startedByServiceManager() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && *socket != '\0';
}

void SystemdNotifier::notify(const std::string& state) {
  // Keep NOTIFY_SOCKET: every later report needs it.
  sd_notify(0, state.c_str());
}

}  // namespace wendrel
