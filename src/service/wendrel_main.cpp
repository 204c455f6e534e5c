#include "wendrel_main.h"

#include <log4cplus/initializer.h>

#include <cstdio>

#include "command_line.h"
#include "status_codes.h"

namespace wendrel {

int wendrelMain(int argc, char** argv, CWendrelModule& module) {
  log4cplus::Initializer initializer;

  const int32_t status = module.WinMain(buildCommandLine(argc, argv));
  if (status != 0) {
    std::fprintf(stderr, "Wendrel: exit status 0x%08X\n", static_cast<unsigned>(status));
    if (status == ERROR_FILE_NOT_FOUND) {
      std::fprintf(stderr,
                   "Wendrel: not registered; run \"%s -RegServer\" to run it in the foreground "
                   "or \"%s -Service\" to install the systemd service\n",
                   argv[0], argv[0]);
    } else if (status == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
      std::fprintf(stderr,
                   "Wendrel: not started by the service manager (NOTIFY_SOCKET is not set); "
                   "use \"systemctl start wendrel.service\"\n");
    }
  }
  return exitStatusFromStatus(status);
}

}  // namespace wendrel
