// Fakes of the service host's seams: each records what the logic asked of it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent_factory.h"
#include "command_line.h"
#include "event_log.h"
#include "record_store.h"
#include "service_notifier.h"
#include "settings_store.h"
#include "signal_source.h"
#include "value_file.h"

namespace wendrel::test {

class FakeSettings : public SettingsStore {
 public:
  explicit FakeSettings(const std::string& text = {}) : values(ValueFile::parse(text)) {}
  std::optional<std::string> readString(const std::string& name, size_t capacity) override {
    return values.readString(name, capacity);
  }
  std::optional<uint32_t> readUInt32(const std::string& name) override {
    return values.readUInt32(name);
  }
  ValueFile values;
};

class FakeNotifier : public ServiceNotifier {
 public:
  bool startedByServiceManager() override { return started; }
  void notify(const std::string& state) override {
    std::lock_guard<std::mutex> lock(mutex);
    reports.push_back(state);
    changed.notify_all();
  }
  std::vector<std::string> snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return reports;
  }
  // Waits until `state` has been reported; false after `timeout`.
  bool waitFor(const std::string& state, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] {
      for (const auto& r : reports) {
        if (r == state)
          return true;
      }
      return false;
    });
  }

  bool started = true;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> reports;
};

class FakeEventLog : public EventLog {
 public:
  void write(const std::string& source, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(source + ": " + text);
  }
  std::vector<std::string> snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
  std::mutex mutex;
  std::vector<std::string> events;
};

// Controls that tests post; wake() ends the wait as the real source does.
class FakeSignals : public SignalSource {
 public:
  int wait() override {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return !queue.empty(); });
    const int control = queue.front();
    queue.pop_front();
    return control;
  }
  void wake() override { post(0); }
  void post(int control) {
    std::lock_guard<std::mutex> lock(mutex);
    queue.push_back(control);
    changed.notify_all();
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<int> queue;
};

struct AgentLog {
  std::mutex mutex;
  std::vector<std::string> calls;  // "reporter <address>", "collector 128 ...", "start", ...
  void add(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(call);
  }
  std::vector<std::string> snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
  size_t count(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = 0;
    for (const auto& c : calls)
      n += c == call;
    return n;
  }
};

class FakeReporter : public AgentReporter {
 public:
  FakeReporter(AgentLog& log, bool ready) : log_(log), ready_(ready) {}
  ~FakeReporter() override { log_.add("delete reporter"); }
  bool isInitialized() const override { return ready_; }
  void flush() override { log_.add("flush"); }

 private:
  AgentLog& log_;
  bool ready_;
};

class FakeCollector : public AgentCollector {
 public:
  FakeCollector(AgentLog& log, bool failStart) : log_(log), failStart_(failStart) {}
  ~FakeCollector() override { log_.add("delete collector"); }
  void startCollecting() override {
    log_.add("start");
    if (failStart_)
      throw std::runtime_error("thread creation failed");
  }
  void stop() override { log_.add("stop"); }

 private:
  AgentLog& log_;
  bool failStart_;
};

class FakeAgents : public AgentFactory {
 public:
  std::unique_ptr<AgentReporter> createReporter(const std::string& address) override {
    log.add("reporter " + address);
    std::unique_lock<std::mutex> lock(gateMutex);
    reporterEntered = true;
    gateChanged.notify_all();
    gateChanged.wait(lock, [&] { return !holdReporter; });
    return std::make_unique<FakeReporter>(log, reporterReady);
  }
  std::unique_ptr<AgentCollector> createCollector(uint16_t snapLength, AgentReporter&,
                                                  int32_t bufferSize, uint32_t samplingRate,
                                                  bool performanceMode) override {
    log.add("collector " + std::to_string(snapLength) + " " + std::to_string(bufferSize) + " " +
            std::to_string(samplingRate) + " " + (performanceMode ? "on" : "off"));
    return std::make_unique<FakeCollector>(log, failStart);
  }
  // Lets a held createReporter return.
  void release() {
    std::lock_guard<std::mutex> lock(gateMutex);
    holdReporter = false;
    gateChanged.notify_all();
  }
  void waitUntilResolving() {
    std::unique_lock<std::mutex> lock(gateMutex);
    gateChanged.wait(lock, [&] { return reporterEntered; });
  }

  AgentLog log;
  bool reporterReady = true;
  bool failStart = false;
  std::mutex gateMutex;
  std::condition_variable gateChanged;
  bool holdReporter = false;
  bool reporterEntered = false;
};

class FakeRecords : public RecordStore {
 public:
  int32_t read(Kind kind, bool perUser, ValueFile& record) override {
    auto it = records.find(key(kind, perUser));
    if (it == records.end())
      return 2;
    record = ValueFile::parse(it->second);
    return 0;
  }
  int32_t write(Kind kind, bool perUser, const ValueFile& record) override {
    records[key(kind, perUser)] = record.serialize();
    return 0;
  }
  int32_t remove(Kind kind, bool perUser) override {
    return records.erase(key(kind, perUser)) ? 0 : 2;
  }
  static std::string key(Kind kind, bool perUser) {
    return std::string(kind == Kind::AppId ? "AppID" : "TypeLib") + (perUser ? "/user" : "");
  }
  std::map<std::string, std::string> records;
};

// Registration operations that record their calls and answer with preset statuses.
class FakeRegistration : public RegistrationOperations {
 public:
  int32_t RegisterAppId(bool service) override {
    calls.push_back(service ? "RegisterAppId(service)" : "RegisterAppId(server)");
    return result("RegisterAppId");
  }
  int32_t UnregisterAppId() override {
    calls.push_back("UnregisterAppId");
    return result("UnregisterAppId");
  }
  int32_t RegisterServer(bool typeLib) override {
    calls.push_back(typeLib ? "RegisterServer(tlb)" : "RegisterServer");
    return result("RegisterServer");
  }
  int32_t UnregisterServer(bool typeLib) override {
    calls.push_back(typeLib ? "UnregisterServer(tlb)" : "UnregisterServer");
    return result("UnregisterServer");
  }
  void SetPerUserRegistration() override { calls.push_back("PerUser"); }
  int32_t result(const std::string& op) {
    auto it = results.find(op);
    return it == results.end() ? 0 : it->second;
  }
  std::vector<std::string> calls;
  std::map<std::string, int32_t> results;
};

}  // namespace wendrel::test
