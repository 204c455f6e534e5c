// The service host on a scratch root, where the settings file and the records are real files;
// the other seams are faked in one object that keeps what it was asked by channel: "sd" the
// status reports, "event" the event log, "agent" the reporter and the collector, "sm" the
// service manager, "msg" the messages shown.
#pragma once

#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>

#include "file_record_store.h"
#include "file_settings_store.h"
#include "registrar.h"
#include "test_util.h"
#include "wendrel_module.h"

namespace wendrel::test {

using Strings = std::vector<std::string>;

// WENDREL_ROOT and the user's data directory in a directory of its own, removed at the end.
struct ScratchRoot {
  ScratchRoot() {
    static int count = 0;
    dir = std::filesystem::temp_directory_path().string() + "/wendrel-svc-" +
          std::to_string(::getpid()) + "-" + std::to_string(count++);
    std::filesystem::create_directories(dir + "/etc/wendrel");
    ::setenv("WENDREL_ROOT", dir.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (dir + "/user").c_str(), 1);
  }
  ~ScratchRoot() { std::filesystem::remove_all(dir); }
  void settings(const std::string& text) const {
    std::ofstream(dir + "/etc/wendrel/wendrel.conf") << text;
  }
  std::string dir;
};

class FakePlatform : public ServiceNotifier,
                     public EventLog,
                     public SignalSource,
                     public AgentFactory,
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
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] {
      return std::find(log_[channel].begin(), log_[channel].end(), entry) != log_[channel].end();
    });
  }
  // What `failing` names fails: "manager" (not up), "create", "stop", "remove", "reporter"
  // (not initialized), "collector" (its start throws), or a collector address.
  bool fails(const std::string& what) const { return failing.find(what) != std::string::npos; }

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

  struct Part : AgentReporter, AgentCollector {
    Part(FakePlatform& platform, std::string what) : p(platform), name(std::move(what)) {}
    ~Part() override { p.add("agent", "delete " + name); }
    bool isInitialized() const override { return !p.fails(name); }
    void flush() override { p.add("agent", "flush"); }
    void startCollecting() override {
      p.add("agent", "start");
      if (p.fails(name))
        throw std::runtime_error("thread creation failed");
    }
    void stop() override { p.add("agent", "stop"); }
    bool changeCollectors(const std::string& address) override {
      p.add("agent", "collectors " + address);
      return !p.fails(address);
    }
    bool reconfigure(uint32_t rate, bool kernel, const CollectorSettings& s) override {
      p.add("agent", "reconfigure" + describe(rate, kernel, s));
      return true;
    }
    void addFigures(AgentFigures& f) override { f = name == "collector" ? p.figures : f; }
    FakePlatform& p;
    std::string name;
  };
  // `onReporter` runs while the run configures.
  std::unique_ptr<AgentReporter> createReporter(const std::string& address) override {
    add("agent", "reporter " + address);
    if (onReporter)
      onReporter();
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
  bool open() override { return !fails("manager"); }
  UnitState unitState() override { return unit; }
  bool create(const std::string& executable) override {
    add("sm", "create " + executable);
    unit = fails("create") ? unit : UnitState::RegularFile;
    return !fails("create");
  }
  bool stop() override { return add("sm", "stop"), !fails("stop"); }
  bool remove() override {
    add("sm", "remove");
    unit = fails("remove") ? unit : UnitState::Missing;
    return !fails("remove");
  }

  // The registration operations a switch ran, joined by spaces; removing the AppID record
  // answers 7, a status that is no failure, so it shows where it is lost.
  int32_t RegisterAppId(bool service) override {
    return reg(service ? "RegisterAppId(service)" : "RegisterAppId");
  }
  int32_t UnregisterAppId() override { return reg("UnregisterAppId"), 7; }
  int32_t RegisterServer() override { return reg("RegisterServer(tlb)"); }
  int32_t UnregisterServer() override { return reg("UnregisterServer(tlb)"); }
  void SetPerUserRegistration() override { reg("PerUser"); }
  int32_t reg(const std::string& call) {
    registered += (registered.empty() ? "" : " ") + call;
    return 0;
  }

  std::string failing, registered;
  bool startedByManager = true;
  UnitState unit = UnitState::Missing;
  std::function<void()> onReporter;
  AgentFigures figures;  // what the collector tells; set before the run

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<int> controls_;
  std::map<std::string, Strings> log_;
};

}  // namespace wendrel::test
