// The service host's seams faked in memory: the settings file, and every other seam in one
// object that keeps what it was asked by channel: "sd" the status reports, "event" the event
// log, "agent" the calls on the reporter and the collector, "sm" the service manager, "msg"
// the messages shown.
#pragma once

#include <algorithm>
#include <deque>
#include <map>
#include <stdexcept>

#include "registrar.h"
#include "value_file.h"
#include "wendrel_module.h"

namespace wendrel::test {

using Strings = std::vector<std::string>;

struct FakeSettings : SettingsStore {
  explicit FakeSettings(const std::string& text) : file(valueFile::parse(text)) {}
  std::optional<std::string> readString(const std::string& name, size_t capacity) override {
    return file.readString(name, capacity);
  }
  std::optional<uint32_t> readUInt32(const std::string& n) override { return file.readUInt32(n); }
  std::vector<std::string> names() override { return file.names(); }
  std::string location() override { return "/etc/wendrel/wendrel.conf"; }
  Record file;
};

class FakePlatform : public ServiceNotifier,
                     public EventLog,
                     public SignalSource,
                     public AgentFactory,
                     public RecordStore,
                     public ServiceManager,
                     public MessageSink,
                     public RegistrationOperations {
 public:
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
  // What `failing` names fails: "manager" (not up), "create", "stop", "remove", "write" (the
  // records), "reporter" (not initialized), "collector" (its start throws).
  bool fails(const char* what) const { return failing.find(what) != std::string::npos; }

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

  // The reporter or the collector; the collector tells the figures set.
  struct Part : AgentReporter, AgentCollector {
    Part(FakePlatform& platform, std::string what) : p(platform), name(std::move(what)) {}
    ~Part() override { p.add("agent", "delete " + name); }
    bool isInitialized() const override { return !p.fails(name.c_str()); }
    void flush() override { p.add("agent", "flush"); }
    void startCollecting() override {
      p.add("agent", "start");
      if (p.fails(name.c_str()))
        throw std::runtime_error("thread creation failed");
    }
    void stop() override { p.add("agent", "stop"); }
    bool changeCollectors(const std::string& address) override {
      p.add("agent", "collectors " + address);
      return !p.fails(address.c_str());
    }
    bool reconfigure(uint32_t rate, bool kernel, const CollectorSettings& s) override {
      p.add("agent", "reconfigure" + describe(rate, kernel, s));
      return true;
    }
    void addFigures(AgentFigures& f) override {
      std::lock_guard<std::mutex> lock(p.mutex_);
      f = name == "collector" ? p.figures_ : f;
    }
    FakePlatform& p;
    std::string name;
  };
  // Holds while `holdReporter` is set.
  std::unique_ptr<AgentReporter> createReporter(const std::string& address) override {
    add("agent", "reporter " + address);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !holdReporter; });
    return std::make_unique<Part>(*this, "reporter");
  }
  std::unique_ptr<AgentCollector> createCollector(uint16_t snapLength, AgentReporter&,
                                                  int32_t bufferSize, uint32_t rate, bool kernel,
                                                  const CollectorSettings& s) override {
    add("agent", "collector " + std::to_string(snapLength) + " " + std::to_string(bufferSize) +
                     describe(rate, kernel, s));
    return std::make_unique<Part>(*this, "collector");
  }
  // The optional settings show only where they differ from their defaults.
  static std::string describe(uint32_t rate, bool kernel, const CollectorSettings& s) {
    return " " + std::to_string(rate) + (kernel ? " on" : " off") +
           (s.sourceIdIsIfIndex ? " ifindex" : "") + (s.sampling.random ? "" : " deterministic") +
           (s.sampling.ipv6 ? "" : " ipv4") +
           (s.counterIntervalS != 30 ? " counters " + std::to_string(s.counterIntervalS) : "") +
           (s.interfaces.empty() ? "" : " interfaces " + s.interfaces);
  }
  void releaseReporter() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdReporter = false;
    changed_.notify_all();
  }
  void setFigures(const AgentFigures& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    figures_ = f;
  }

  // The records as text under "AppID" or "TypeLib", "/user" added for the user's.
  static std::string key(Kind kind, bool perUser) {
    return (kind == Kind::AppId ? "AppID" : "TypeLib") + std::string(perUser ? "/user" : "");
  }
  int32_t read(Kind kind, bool perUser, Record& record) override {
    const auto it = records.find(key(kind, perUser));
    if (it != records.end())
      record = valueFile::parse(it->second);
    return it == records.end() ? 2 : 0;
  }
  int32_t write(Kind kind, bool perUser, const Record& record) override {
    if (fails("write"))
      return 5;
    records[key(kind, perUser)] = valueFile::serialize(record);
    return 0;
  }
  int32_t remove(Kind kind, bool perUser) override {
    return records.erase(key(kind, perUser)) ? 0 : 2;
  }

  bool open() override { return !fails("manager"); }
  UnitState unitState() override { return unit; }
  bool create(const std::string& executable) override {
    add("sm", "create " + executable);
    if (fails("create") || executable.find('\n') != std::string::npos)
      return false;
    unit = UnitState::RegularFile;
    return true;
  }
  bool stop() override {
    add("sm", "stop");
    return !fails("stop");
  }
  bool remove() override {
    add("sm", "remove");
    if (fails("remove"))
      return false;
    unit = UnitState::Missing;
    return true;
  }

  // The registration operations a switch ran, joined by spaces.
  int32_t RegisterAppId(bool service) override {
    return reg(service ? "RegisterAppId(service)" : "RegisterAppId");
  }
  int32_t UnregisterAppId() override { return reg("UnregisterAppId"); }
  int32_t RegisterServer() override { return reg("RegisterServer(tlb)"); }
  int32_t UnregisterServer() override { return reg("UnregisterServer(tlb)"); }
  void SetPerUserRegistration() override { reg("PerUser"); }
  int32_t reg(const std::string& call) {
    registered += (registered.empty() ? "" : " ") + call;
    return 0;
  }

  std::string failing;
  bool startedByManager = true, holdReporter = false;
  std::map<std::string, std::string> records;
  UnitState unit = UnitState::Missing;
  std::string registered;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<int> controls_;
  std::map<std::string, Strings> log_;
  AgentFigures figures_;
};

}  // namespace wendrel::test
