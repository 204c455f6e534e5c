// The service module: the process entry's logic, the service-or-foreground decision, the
// service entry with its control handler and status reports, and the agent's run procedure.
#pragma once

#include <log4cplus/logger.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "agent_factory.h"
#include "agent_settings.h"
#include "command_line.h"
#include "event_log.h"
#include "record_store.h"
#include "service_notifier.h"
#include "settings_store.h"
#include "signal_source.h"

namespace wendrel {

// Service states and the control codes the signal source delivers, with the service
// manager's values; user-defined controls are 128 and up.
constexpr uint32_t SERVICE_STOPPED = 1;
constexpr uint32_t SERVICE_START_PENDING = 2;
constexpr uint32_t SERVICE_STOP_PENDING = 3;
constexpr uint32_t SERVICE_RUNNING = 4;
constexpr uint32_t SERVICE_CONTROL_STOP = 1;
constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;

// Everything the module reaches outside itself.
struct ModuleSeams {
  SettingsStore& settings;
  ServiceNotifier& notifier;
  EventLog& eventLog;
  SignalSource& signals;
  AgentFactory& agents;
  RecordStore& records;
  RegistrationOperations& registration;
  // The executable's full path ("" when unknown): "log4j.properties" is looked for beside it.
  std::string executable;
  // How often the running agent refreshes its status line with its figures.
  std::chrono::milliseconds statusPeriod{10000};
};

class CWendrelModule {
 public:
  // Capture keeps the first 128 bytes of each packet in a 2 MiB buffer.
  static constexpr uint16_t kSnapLength = 128;
  static constexpr int32_t kCaptureBufferSize = 0x200000;

  explicit CWendrelModule(const ModuleSeams& seams);
  CWendrelModule(const CWendrelModule&) = delete;
  CWendrelModule& operator=(const CWendrelModule&) = delete;

  // The process entry's work: the switches, else the agent. Returns the 32-bit status.
  int32_t WinMain(const std::string& commandLine);
  bool ParseCommandLine(const std::string& commandLine, int32_t* status);
  // Runs the agent as a service when the AppID record says so, else in the foreground.
  int32_t Start();
  // The service's own thread: start-pending, Run, stopped, "Service stopped".
  void ServiceMain();
  void Handler(uint32_t control);
  void OnStop();
  void LogEvent(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // The agent: configures, creates the reporter and the collector, runs until stopped, then
  // stops and releases both on this thread.
  int32_t Run();
  void initLog();
  // "--check": the settings read as Run reads them, the log on standard output; the exit
  // status says whether there was anything to warn about (settings_check.h).
  int checkSettings();

 private:
  // Sets the current state and reports it, when there is anyone to report to.
  void SetServiceStatus(uint32_t state);
  void reportLocked(uint32_t state);  // statusMutex_ held
  // Replaces the status line while the service runs.
  void reportStatusText(const std::string& text);
  AgentFigures figures();
  // Run, with an exception that escapes it logged and taken as E_FAIL.
  int32_t runGuarded();
  int32_t runAgent(const AgentSettings& settings);
  // Waits for controls on the calling thread until `body`, run on a thread of its own, ends.
  // False when the controls could no longer be received: the run was then stopped.
  template <typename Body>
  bool dispatch(bool service, Body body);

  static constexpr size_t kServiceNameSize = 256;

  ModuleSeams seams_;
  std::string serviceName_;
  log4cplus::Logger logger_;
  std::string exeDirectory_;

  std::atomic<bool> statusHandle_{false};
  // Serialises the reports, which come from the service thread and the main thread.
  std::mutex statusMutex_;
  std::atomic<uint32_t> currentState_{SERVICE_STOPPED};
  std::atomic<uint32_t> win32ExitCode_{0};

  // `running` is what the idle loop waits on; `stopRequested` keeps a stop that came before
  // Run set `running`, so no stop is ever lost. Lock order: stopMutex_, then statusMutex_.
  std::atomic<bool> running_{false};
  std::mutex stopMutex_;
  std::condition_variable stopCondition_;
  bool stopRequested_ = false;

  std::unique_ptr<AgentReporter> reporter_;
  std::unique_ptr<AgentCollector> collector_;
};

}  // namespace wendrel
