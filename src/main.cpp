// The process entry and the one place that knows the platform: it builds the Linux
// implementation of every seam and hands them to the service module.
#include <malloc.h>

#include <cstdio>

#include "agent_factory.h"
#include "bpf_kernel_sampler.h"
#include "capture_platform.h"
#include "file_record_store.h"
#include "file_settings_store.h"
#include "files.h"
#include "kernel_interface_statistics.h"
#include "linux_signal_source.h"
#include "live_pcap.h"
#include "netlink_link_events.h"
#include "proc_host_statistics.h"
#include "registrar.h"
#include "status_codes.h"
#include "stderr_message_sink.h"
#include "syslog_event_log.h"
#include "systemd_notifier.h"
#include "systemd_service_manager.h"
#include "wendrel_main.h"
#include "wendrel_module.h"

namespace wendrel {
namespace {

// The AppID, also the type library's identifier.
constexpr char kAppId[] = "{6f1e2b7a-3c59-4d84-9a0e-5b7c2d41e8f3}";

struct LinuxCapture : CapturePlatform {
  PcapApi& pcap() override { return live; }
  std::unique_ptr<LinkEvents> linkEvents() override {
    return std::make_unique<NetlinkLinkEvents>();
  }
  std::unique_ptr<InterfaceStatistics> interfaceStatistics() override {
    return std::make_unique<KernelInterfaceStatistics>();
  }
  std::unique_ptr<KernelSampler> kernelSampler(uint32_t samplingRate, bool ipv6,
                                               std::string& missing) override {
    return BpfKernelSampler::open(samplingRate, ipv6, missing);
  }
  std::unique_ptr<HostStatistics> hostStatistics() override {
    return std::make_unique<ProcHostStatistics>();
  }
  LivePcap live;
};

struct LinuxPlatform {
  std::string executable = files::executablePath();
  FileSettingsStore settings;
  SystemdNotifier notifier;
  SyslogEventLog eventLog;
  LinuxSignalSource signals;
  LinuxCapture capture;
  DefaultAgentFactory agents{capture};
  FileRecordStore records{kAppId};
  SystemdServiceManager serviceManager{"wendrel.service", &settings};
  StderrMessageSink messages;
  Registrar registrar{"Wendrel", executable, serviceManager, records, messages};
};

LinuxPlatform platform;
CWendrelModule wendrelModule(ModuleSeams{platform.settings, platform.notifier, platform.eventLog,
                                         platform.signals, platform.agents, platform.records,
                                         platform.registrar, platform.executable});

}  // namespace
}  // namespace wendrel

int main(int argc, char** argv) {
  using namespace wendrel;
  // Before any thread exists, so that every thread inherits the mask and only the main
  // thread takes the signals, through the signal source.
  LinuxSignalSource::blockSignals();
  files::raiseOpenFileLimit();
  // One capture thread per interface, each allocating next to nothing: uncapped, glibc would
  // give the first sixteen an arena, and 64 MiB of address space, each.
  mallopt(M_ARENA_MAX, 2);
  if (!platform.signals.error().empty()) {
    // With the signals blocked and unread, nothing could stop the agent.
    std::fprintf(stderr, "Wendrel: cannot receive signals (%s)\n",
                 platform.signals.error().c_str());
    return exitStatusFromStatus(E_FAIL);
  }
  return wendrelMain(argc, argv, wendrelModule);
}
