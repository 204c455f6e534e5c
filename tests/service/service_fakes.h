// Every seam of the service host faked in memory, in one object. What the seams were asked
// is kept by channel: "sd" the status reports, "event" the event log, "agent" the calls on
// the reporter and the collector, "sm" the service manager, "msg" the messages shown.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent_factory.h"
#include "event_log.h"
#include "message_sink.h"
#include "record_store.h"
#include "service_manager.h"
#include "service_notifier.h"
#include "settings_store.h"
#include "signal_source.h"

namespace wendrel::test {

using Strings = std::vector<std::string>;

class FakePlatform : public SettingsStore,
                     public ServiceNotifier,
                     public EventLog,
                     public SignalSource,
                     public AgentFactory,
                     public RecordStore,
                     public ServiceManager,
                     public MessageSink {
 public:
  explicit FakePlatform(const std::string& settingsText)
      : settings(ValueFile::parse(settingsText)) {}

  void add(const std::string& channel, const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_[channel].push_back(entry);
    changed_.notify_all();
  }
  Strings log(const std::string& channel) {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_[channel];
  }
  bool waitFor(const std::string& channel, const std::string& entry) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] {
      return std::count(log_[channel].begin(), log_[channel].end(), entry) > 0;
    });
  }

  std::optional<std::string> readString(const std::string& name, size_t capacity) override {
    return settings.readString(name, capacity);
  }
  std::optional<uint32_t> readUInt32(const std::string& name) override {
    return settings.readUInt32(name);
  }
  std::vector<std::string> names() override { return settings.names(); }
  std::string location() override { return "/etc/wendrel/wendrel.conf"; }
  // What the collector reports of the agent's work, all of it.
  void setFigures(const AgentFigures& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    figures_ = f;
  }
  bool startedByServiceManager() override { return startedByManager; }
  void notify(const std::string& state) override { add("sd", state); }
  void write(const std::string& source, const std::string& text) override {
    add("event", source + ": " + text);
  }
  void show(const std::string& caption, const std::string& text) override {
    add("msg", caption + ": " + text);
  }

  // The controls posted, in order; wake() posts kWoken.
  int wait() override {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !controls_.empty(); });
    const int control = controls_.front();
    controls_.pop_front();
    return control;
  }
  void wake() override { post(kWoken); }
  void post(int control) {
    std::lock_guard<std::mutex> lock(mutex_);
    controls_.push_back(control);
    changed_.notify_all();
  }

  // Stands for the reporter or the collector.
  class Part : public AgentReporter, public AgentCollector {
   public:
    Part(FakePlatform& platform, std::string name, bool fail)
        : p_(platform), name_(std::move(name)), fail_(fail) {}
    ~Part() override { p_.add("agent", "delete " + name_); }
    bool isInitialized() const override { return !fail_; }
    void flush() override { p_.add("agent", "flush"); }
    void startCollecting() override {
      p_.add("agent", "start");
      if (fail_)
        throw std::runtime_error("thread creation failed");
    }
    void stop() override { p_.add("agent", "stop"); }
    void addFigures(AgentFigures& f) override {
      std::lock_guard<std::mutex> lock(p_.mutex_);
      f = name_ == "collector" ? p_.figures_ : f;
    }

   private:
    FakePlatform& p_;
    std::string name_;
    bool fail_;
  };

  // Holds while `holdReporter` is set.
  std::unique_ptr<AgentReporter> createReporter(const std::string& address) override {
    add("agent", "reporter " + address);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !holdReporter; });
    return std::make_unique<Part>(*this, "reporter", failing == "reporter");
  }
  std::unique_ptr<AgentCollector> createCollector(uint16_t snapLength, AgentReporter&,
                                                  int32_t bufferSize, uint32_t samplingRate,
                                                  bool performanceMode,
                                                  const CollectorSettings& extra) override {
    add("sampling", std::string(extra.sampling.random ? "random" : "deterministic") +
                        (extra.sampling.ipv6 ? " ip" : " ipv4"));
    // The optional settings show only where they differ from their defaults.
    add("agent",
        "collector " + std::to_string(snapLength) + " " + std::to_string(bufferSize) + " " +
            std::to_string(samplingRate) + (performanceMode ? " on" : " off") +
            (extra.sourceIdIsIfIndex ? " ifindex" : "") +
            (extra.counterIntervalS != 30 ? " counters " + std::to_string(extra.counterIntervalS)
                                          : ""));
    return std::make_unique<Part>(*this, "collector", failing == "collector");
  }
  void releaseReporter() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdReporter = false;
    changed_.notify_all();
  }

  // The records as text under "AppID" or "TypeLib", "/user" added for the user's.
  static std::string key(Kind kind, bool perUser) {
    return (kind == Kind::AppId ? "AppID" : "TypeLib") + std::string(perUser ? "/user" : "");
  }
  int32_t read(Kind kind, bool perUser, ValueFile& record) override {
    const auto it = records.find(key(kind, perUser));
    if (it != records.end())
      record = ValueFile::parse(it->second);
    return it == records.end() ? 2 : 0;
  }
  int32_t write(Kind kind, bool perUser, const ValueFile& record) override {
    if (writeError == 0)
      records[key(kind, perUser)] = record.serialize();
    return writeError;
  }
  int32_t remove(Kind kind, bool perUser) override {
    return records.erase(key(kind, perUser)) ? 0 : 2;
  }

  bool open() override { return managerUp; }
  UnitState unitState() override { return unit; }
  bool create(const std::string& executable) override {
    add("sm", "create " + executable);
    if (!createWorks || executable.find('\n') != std::string::npos)
      return false;
    unit = UnitState::RegularFile;
    return true;
  }
  bool stop() override {
    add("sm", "stop");
    return stopWorks;
  }
  bool remove() override {
    add("sm", "remove");
    if (removeWorks)
      unit = UnitState::Missing;
    return removeWorks;
  }

  ValueFile settings;
  bool startedByManager = true;
  std::string failing;  // "reporter": not initialized; "collector": its start throws
  bool holdReporter = false;
  std::map<std::string, std::string> records;
  int32_t writeError = 0;
  bool managerUp = true, createWorks = true, stopWorks = true, removeWorks = true;
  UnitState unit = UnitState::Missing;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<int> controls_;
  std::map<std::string, Strings> log_;
  AgentFigures figures_;
};

}  // namespace wendrel::test
