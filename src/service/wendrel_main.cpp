#include "wendrel_main.h"

#include <log4cplus/initializer.h>
#include <log4cplus/config.hxx>

#include <cstdio>
#include <cstring>

#include "command_line.h"
#include "status_codes.h"

namespace wendrel {
namespace {

constexpr char kUsage[] =
    "Usage: wendrel                 run the agent (as the systemd service after -Service,\n"
    "                               in the foreground after -RegServer)\n"
    "       wendrel -Service        install the systemd service (not enabled)\n"
    "       wendrel -RegServer      register to run in the foreground\n"
    "       wendrel -UnregServer    remove the service and the registration\n"
    "       wendrel -RegServerPerUser | -UnregServerPerUser\n"
    "                               the same with the records under $XDG_DATA_HOME/wendrel\n"
    "       wendrel --check         read the settings as a start would, print those in\n"
    "                               effect and every warning; exit 0 when there was none\n"
    "       wendrel --help | -h | --version\n"
    "\n"
    "Switches may start with '-' or '/' and are compared without regard to case.\n"
    "Settings: /etc/wendrel/wendrel.conf (under $WENDREL_ROOT when set), read at start and\n"
    "again on SIGHUP.\n"
    "Log: as log4j.properties beside the executable says (a package install: the link\n"
    "/usr/lib/wendrel/log4j.properties to /etc/wendrel/log4j.properties); without that\n"
    "file, INFO and above go to stderr, which systemd keeps in the journal.\n"
    "See wendrel(8) and wendrel.conf(5).\n";

}  // namespace

int wendrelMain(int argc, char** argv, CWendrelModule& module) {
  // Only as the sole argument: every command line of the documented grammar keeps its meaning.
  if (argc == 2 && argv[1] != nullptr) {
    if (std::strcmp(argv[1], "--version") == 0) {
      std::printf("wendrel %s\n", WENDREL_VERSION);
      return 0;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  log4cplus::Initializer initializer;
  // The pool serves only asynchronous appenders, which the agent does not configure; its
  // default of one idle thread per core is the largest share of the agent's threads.
  log4cplus::setThreadPoolSize(1);
  if (argc == 2 && argv[1] != nullptr && std::strcmp(argv[1], "--check") == 0)
    return module.checkSettings();

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
