#include "wendrel_module.h"

#include <log4cplus/configurator.h>
#include <log4cplus/loggingmacros.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <thread>

#include "agent_monitor.h"
#include "agent_settings.h"
#include "settings_check.h"
#include "status_codes.h"
#include "stderr_log.h"
#include "worker_threads.h"

namespace wendrel {
namespace {

constexpr size_t kLocalServiceSize = 260;
// With the capture's 250 ms read timeout, a sample leaves within a second of its packet.
constexpr auto kIdlePeriod = std::chrono::milliseconds(500);

}  // namespace

CWendrelModule::CWendrelModule(const ModuleSeams& seams)
    : seams_(seams), serviceName_("Wendrel"), logger_(log4cplus::Logger::getInstance("Wendrel")) {}

int32_t CWendrelModule::WinMain(const std::string& commandLine) {
  int32_t status = 0;
  if (ParseCommandLine(commandLine, &status))
    status = Start();
  return status;
}

bool CWendrelModule::ParseCommandLine(const std::string& commandLine, int32_t* status) {
  return parseCommandLine(commandLine, seams_.registration, *status);
}

int32_t CWendrelModule::Start() {
  // The user's records are looked at before the machine's.
  Record record;
  int32_t error = seams_.records.read(RecordStore::Kind::AppId, true, record);
  if (error != 0)
    error = seams_.records.read(RecordStore::Kind::AppId, false, record);
  if (error != 0) {
    win32ExitCode_ = static_cast<uint32_t>(error);
    return error;
  }

  if (record.readString("LocalService", kLocalServiceSize)) {
    if (!seams_.notifier.startedByServiceManager()) {
      win32ExitCode_ = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    } else {
      if (!dispatch(true, [this] { ServiceMain(); }))
        win32ExitCode_ = static_cast<uint32_t>(E_FAIL);
    }
    return static_cast<int32_t>(win32ExitCode_.load());
  }

  int32_t result = 0;
  if (!dispatch(false, [this, &result] { result = runGuarded(); }))
    result = E_FAIL;
  win32ExitCode_ = static_cast<uint32_t>(result);
  return result;
}

template <typename Body>
bool CWendrelModule::dispatch(bool service, Body body) {
  std::thread worker([this, &body, service] {
    // Named for top -H and debuggers.
    platform::nameThisThread(service ? "wendrel-svc" : "wendrel-run");
    body();
    seams_.signals.wake();
  });
  bool controlled = true;
  for (;;) {
    const int control = seams_.signals.wait();
    if (control == SignalSource::kWoken)
      break;
    if (control == SignalSource::kFailed) {
      // Nothing could stop the agent any more: stop it now, in order, rather than run on deaf.
      LOG4CPLUS_ERROR(logger_, "Cannot receive signals any more, stopping");
      controlled = false;
      OnStop();
      break;
    }
    if (service) {
      Handler(static_cast<uint32_t>(control));
    } else if (control == static_cast<int>(SERVICE_CONTROL_STOP)) {
      // In the foreground only a stop and a reload mean anything, as they do for the service.
      OnStop();
    } else if (control == static_cast<int>(SERVICE_CONTROL_PARAMCHANGE)) {
      OnReload();
    }
  }
  worker.join();
  return controlled;
}

void CWendrelModule::ServiceMain() {
  currentState_ = SERVICE_START_PENDING;
  statusHandle_ = true;
  SetServiceStatus(SERVICE_START_PENDING);
  win32ExitCode_ = 0;

  win32ExitCode_ = static_cast<uint32_t>(runGuarded());
  SetServiceStatus(SERVICE_STOPPED);
  LogEvent("Service stopped");
}

void CWendrelModule::Handler(uint32_t control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      OnStop();
      break;
    case SERVICE_CONTROL_INTERROGATE:
      break;
    case SERVICE_CONTROL_PARAMCHANGE:
      OnReload();
      break;
    default:
      LogEvent("Bad service request");
  }
}

void CWendrelModule::OnStop() {
  {
    // One critical section with Run's running report and its loop test, so the reports keep
    // their order: stop-pending never comes before running or after stopped.
    std::lock_guard<std::mutex> lock(stopMutex_);
    {
      std::lock_guard<std::mutex> statusLock(statusMutex_);
      // A second stop, or one after the service has stopped, reports nothing more.
      const uint32_t state = currentState_.load();
      if (state == SERVICE_START_PENDING || state == SERVICE_RUNNING) {
        reportLocked(SERVICE_STOP_PENDING);
      }
    }
    stopRequested_ = true;
    running_ = false;
  }
  stopCondition_.notify_all();
}

void CWendrelModule::OnReload() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    reloadRequested_ = true;
  }
  stopCondition_.notify_all();
}

void CWendrelModule::LogEvent(const char* format, ...) {
  char text[kServiceNameSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  seams_.eventLog.write(serviceName_, text);
}

void CWendrelModule::SetServiceStatus(uint32_t state) {
  std::lock_guard<std::mutex> lock(statusMutex_);
  reportLocked(state);
}

void CWendrelModule::reportLocked(uint32_t state) {
  currentState_.exchange(state);
  if (!statusHandle_)
    return;
  switch (state) {
    case SERVICE_START_PENDING:
      seams_.notifier.notify("STATUS=Starting");
      break;
    case SERVICE_RUNNING:
      seams_.notifier.notify("READY=1\nSTATUS=Running");
      break;
    case SERVICE_STOP_PENDING:
      seams_.notifier.notify("STOPPING=1");
      break;
    case SERVICE_STOPPED: {
      char text[64];
      std::snprintf(text, sizeof text, "STATUS=Stopped, exit code 0x%08X", win32ExitCode_.load());
      seams_.notifier.notify(text);
      break;
    }
    default:
      break;
  }
}

void CWendrelModule::reportStatusText(const std::string& text) {
  std::lock_guard<std::mutex> lock(statusMutex_);
  // Not once the stop has begun: the stop's own reports say more.
  if (statusHandle_ && currentState_.load() == SERVICE_RUNNING)
    seams_.notifier.notify("STATUS=" + text);
}

AgentFigures CWendrelModule::figures() {
  AgentFigures result;
  reporter_->addFigures(result);
  collector_->addFigures(result);
  return result;
}

void CWendrelModule::initLog() {
  const std::string path = exeDirectory_ + "log4j.properties";
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    logToStderr();
    LOG4CPLUS_INFO_FMT(logger_, "No log configuration file %s, logging INFO and above to stderr",
                       path.c_str());
    return;
  }
  // An unreadable file leaves logging unconfigured and is not an error here.
  log4cplus::PropertyConfigurator::doConfigure(path, log4cplus::Logger::getDefaultHierarchy(), 0);
  LOG4CPLUS_INFO_FMT(logger_, "Configured log using config file %s", path.c_str());
}

int CWendrelModule::checkSettings() {
  return wendrel::checkSettings(seams_.settings, logger_);
}

int32_t CWendrelModule::runGuarded() {
  try {
    return Run();
  } catch (const std::exception& e) {
    LOG4CPLUS_ERROR_FMT(logger_, "The agent failed: %s", e.what());
  }
  return E_FAIL;
}

int32_t CWendrelModule::Run() {
  const size_t slash = seams_.executable.rfind('/');
  exeDirectory_ =
      slash == std::string::npos ? std::string() : seams_.executable.substr(0, slash + 1);
  initLog();
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    running_ = !stopRequested_;
  }
  const std::optional<AgentSettings> settings = readAgentSettings(seams_.settings, logger_);
  if (!settings)
    return E_FAIL;
  try {
    return runAgent(*settings);
  } catch (...) {
    // Whatever failed, capture must be over before the objects it uses go away.
    if (collector_)
      collector_->stop();
    collector_.reset();
    reporter_.reset();
    throw;
  }
}

int32_t CWendrelModule::runAgent(AgentSettings settings) {
  reporter_ = seams_.agents.createReporter(settings.collectorAddress);
  if (!reporter_->isInitialized()) {
    SetServiceStatus(SERVICE_STOPPED);
    // Released here, on the thread that made it, rather than at process exit.
    reporter_.reset();
    return E_FAIL;
  }
  collector_ = seams_.agents.createCollector(kSnapLength, *reporter_, kCaptureBufferSize,
                                             settings.samplingRate, settings.performanceMode,
                                             settings.collector);
  collector_->startCollecting();

  std::unique_lock<std::mutex> lock(stopMutex_);
  // After a stop that came while configuring, the service is already stop-pending.
  if (!stopRequested_)
    SetServiceStatus(SERVICE_RUNNING);
  AgentMonitor monitor(logger_, seams_.statusPeriod, AgentMonitor::Clock::now());
  while (running_) {
    if (stopCondition_.wait_for(lock, kIdlePeriod,
                                [this] { return !running_ || reloadRequested_; }) &&
        !running_)
      break;
    const bool reloading = reloadRequested_;
    reloadRequested_ = false;
    lock.unlock();
    if (reloading)
      reload(settings);
    // A sample waits at most half a second for a quiet network to fill its datagram.
    reporter_->flush();
    const auto now = AgentMonitor::Clock::now();
    if (monitor.due(now))
      reportStatusText(monitor.poll(figures(), now));
    lock.lock();
  }
  lock.unlock();

  const uint32_t interfaces = figures().interfaces;
  collector_->stop();
  reporter_->flush();
  AgentFigures last = figures();
  last.interfaces = interfaces;  // all closed by now
  LOG4CPLUS_INFO_FMT(logger_, "At stop: %s", AgentMonitor::describe(last).c_str());
  collector_.reset();
  reporter_.reset();
  return S_OK;
}

void CWendrelModule::reload(AgentSettings& current) {
  seams_.settings.forget();
  std::optional<AgentSettings> next = readAgentSettings(seams_.settings, logger_, true);
  if (!next)
    return;  // the line saying why was logged
  // The collectors first: when none of the new ones resolves, nothing else changes either.
  if (next->collectorAddress != current.collectorAddress &&
      !reporter_->changeCollectors(next->collectorAddress)) {
    LOG4CPLUS_ERROR_FMT(logger_,
                        "Settings from %s not reloaded: no collector in %s resolves; the "
                        "settings in effect stay",
                        seams_.settings.location().c_str(), next->collectorAddress.c_str());
    return;
  }
  // What names the interfaces' samples, and the agent, stays for the run: a collector would
  // otherwise see one interface's series break in two.
  const CollectorSettings& was = current.collector;
  CollectorSettings& now = next->collector;
  if (now.sourceIdIsIfIndex != was.sourceIdIsIfIndex || now.agentAddress != was.agentAddress ||
      now.ebpf != was.ebpf) {
    LOG4CPLUS_WARN(logger_,
                   "SourceId, AgentAddress and Capture take effect at the next start; the ones "
                   "in effect stay until then");
    now.sourceIdIsIfIndex = was.sourceIdIsIfIndex;
    now.agentAddress = was.agentAddress;
    now.ebpf = was.ebpf;
  }
  const bool captureChanged =
      next->samplingRate != current.samplingRate ||
      next->performanceMode != current.performanceMode ||
      now.sampling.random != was.sampling.random || now.sampling.ipv6 != was.sampling.ipv6 ||
      now.counterIntervalS != was.counterIntervalS || now.interfaces != was.interfaces;
  if (captureChanged)
    collector_->reconfigure(next->samplingRate, next->performanceMode, now);
  current = std::move(*next);
}

}  // namespace wendrel
