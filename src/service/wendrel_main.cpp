// The one module object with its Linux seams, and the process entry.
#include "wendrel_main.h"

#include <log4cplus/initializer.h>

#include <cstdio>

#include "agent_factory.h"
#include "command_line.h"
#include "file_record_store.h"
#include "file_settings_store.h"
#include "linux_signal_source.h"
#include "message_sink.h"
#include "registrar.h"
#include "status_codes.h"
#include "syslog_event_log.h"
#include "systemd_notifier.h"
#include "systemd_service_manager.h"
#include "wendrel_module.h"

namespace wendrel {
namespace {

// The AppID, also the type library's identifier.
constexpr char kAppId[] = "{6f1e2b7a-3c59-4d84-9a0e-5b7c2d41e8f3}";

struct LinuxPlatform {
  FileSettingsStore settings;
  SystemdNotifier notifier;
  SyslogEventLog eventLog;
  LinuxSignalSource signals;
  DefaultAgentFactory agents;
  FileRecordStore records{kAppId};
  SystemdServiceManager serviceManager{"wendrel.service"};
  StderrMessageSink messages;
  Registrar registrar{"Wendrel", serviceManager, records, messages};
};

LinuxPlatform platform;
CWendrelModule wendrelModule(ModuleSeams{platform.settings, platform.notifier, platform.eventLog,
                                         platform.signals, platform.agents, platform.records,
                                         platform.registrar});

}  // namespace

int wendrelMain(int argc, char** argv) {
  // Before any thread exists, so that every thread inherits the mask and only the main
  // thread takes the signals, through the signal source.
  LinuxSignalSource::blockSignals();
  log4cplus::Initializer initializer;

  const int32_t status = wendrelModule.WinMain(buildCommandLine(argc, argv));
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
