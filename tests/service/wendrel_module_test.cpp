// The service module and registration over a scratch root, where the settings file and the
// records are real files; the other seams are faked in one object that keeps what it was asked
// by channel: "sd" the status reports, "event" the event log, "agent" the reporter and the
// collector, "sm" the service manager, "msg" the messages shown.
#include "wendrel_module.h"

#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>
#include <unistd.h>

#include <fstream>

#include <deque>
#include <filesystem>
#include <future>
#include <map>

#include "agent_monitor.h"
#include "file_record_store.h"
#include "file_settings_store.h"
#include "log_capture.h"
#include "registrar.h"
#include "status_codes.h"
#include "test_util.h"
#include "value_file.h"
#include "wendrel_main.h"

namespace wendrel {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

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

const std::string kStarting = "STATUS=Starting", kReady = "READY=1\nSTATUS=Running";
const std::string kStoppedOk = "STATUS=Stopped, exit code 0x00000000";
// Every setting that reaches capture differs from its default, so none is lost on the way.
const Strings kCreated = {"reporter 192.0.2.10",
                          "collector 128 2097152 64 off ifindex deterministic ipv4 counters 5",
                          "start"};
// Capture ends before the last datagram goes out; both objects go on Run's thread.
const Strings kTeardown = {"stop", "flush", "delete collector", "delete reporter"};

Strings operator+(Strings a, const Strings& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::string kExe = "/opt/wendrel/wendrel";
const std::string kService = "LocalService = \"Wendrel\"\n";
using Kind = RecordStore::Kind;

int harnesses = 0;

struct Harness {
  explicit Harness(const std::string& exe = kExe, std::chrono::milliseconds status = 10s)
      : registrar("Wendrel", exe, p, records, p),
        module({settings, p, p, p, p, records, registrar, kExe, status}) {
    std::filesystem::create_directories(root + "/etc/wendrel");
    ::setenv("WENDREL_ROOT", root.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root + "/user").c_str(), 1);
    writeSettings(
        "CollectorAddress = 192.0.2.10\nSamplingRate = 64\nPerformanceMode = 0\nSourceId = "
        "ifindex\nSamplingMethod = deterministic\nTraffic = ipv4\nCounterInterval = 5");
  }
  // A run left going by a failed assertion is stopped, never waited for forever.
  ~Harness() {
    if (run.valid())
      module.OnStop(), run.wait();
    std::filesystem::remove_all(root);
  }
  void writeSettings(const std::string& text) const {
    std::ofstream(root + "/etc/wendrel/wendrel.conf") << text;
  }
  int32_t switches(const std::string& args) { return module.WinMain("wendrel " + args); }
  void start(std::function<int32_t()> f) { run = std::async(std::launch::async, std::move(f)); }
  void registerAs(const std::string& text, bool perUser = false) {
    records.write(Kind::AppId, perUser, valueFile::parse(text));
  }
  // A record's text, "-" when there is none.
  std::string record(Kind kind, bool perUser = false) {
    const std::string path = *records.path(kind, perUser);
    return std::filesystem::exists(path) ? test::readFile(path) : "-";
  }
  std::string root =
      "/tmp/wendrel-svc-" + std::to_string(::getpid()) + "-" + std::to_string(harnesses++);
  FileSettingsStore settings;
  FileRecordStore records{"{a}"};
  FakePlatform p;
  Registrar registrar;
  CWendrelModule module;
  std::future<int32_t> run;
};

TEST(CommandLine, GrammarActsOnTheDecidingSwitchOnly) {
  const std::string reg = "RegisterAppId RegisterServer(tlb)";
  const std::string unreg = "UnregisterServer(tlb) UnregisterAppId";
  const std::pair<std::string, std::vector<const char*>> outcomes[] = {
      // No switch: a candidate ends only at a space, a tab or the end of the line, and the
      // program's own path is scanned too.
      {"",
       {"x -RegServerX", "x -Services", "x -Service\"", "x \"-Service\\\"\"", "x Service RegServer",
        "/opt/my-agent/wendrel", "/opt/x-Service/wendrel", "\"/opt/my agent/-Service/wendrel\""}},
      // Case, '-' and '/'; the registration switches are looked for over the whole line before
      // "Service", and the leftmost match decides.
      {reg,
       {"x -regserver", "x /REGSERVER", "x -Service -RegServer", "x -RegServer -UnregServer",
        "/tmp/-RegServer -Service"}},
      {unreg, {"x -UnRegServer", "x -Service /UnregServer", "x -UnregServer -RegServer"}},
      // In "--Service" the first '-' gives "-Service", no switch, the second "Service".
      {"RegisterAppId(service) RegisterServer(tlb)",
       {"x --Service", "x -service\t", "/tmp/-service"}},
      {"PerUser " + reg, {"x /RegServerPerUser"}},
      {"PerUser " + unreg, {"x -unregserverperuser"}}};
  for (const auto& [calls, lines] : outcomes) {
    for (const char* line : lines) {
      FakePlatform p;
      int32_t status = -1;
      EXPECT_EQ(parseCommandLine(line, p, status), calls.empty()) << line;
      EXPECT_EQ(status, calls == unreg || calls == "PerUser " + unreg ? 7 : 0) << line;
      EXPECT_EQ(p.registered, calls) << line;
    }
  }
  // Rebuilt from argv: quoted when empty or holding a space, a tab or a quotation mark;
  // backslashes are doubled only before a quotation mark, which keeps "-Service\"" no switch.
  const char* argv[] = {
      "/opt/my agent/wendrel", "-Service\"", "", "a\\b\tc", "a\\\"b", "dir\\ x\\"};
  const std::string line = buildCommandLine(6, argv);
  EXPECT_EQ(line,
            "\"/opt/my agent/wendrel\" \"-Service\\\"\" \"\" \"a\\b\tc\" \"a\\\\\\\"b\" "
            "\"dir\\ x\\\\\"");
  FakePlatform p;
  int32_t status = 0;
  EXPECT_TRUE(parseCommandLine(line, p, status));
}

// With a status period of 0 the status line follows each idle tick's flush.
TEST(Service, RunsUntilStoppedFlushingTwiceASecondAndTellingItsFigures) {
  Harness h(kExe, 0ms);
  // The user's record is looked at first; an empty name still makes a service.
  h.registerAs("");
  h.registerAs("LocalService = \"\"", true);
  h.p.figures = {2, 1234567, 38580, 6430, 0, 1000, true, "", 15, "192.0.2.1", {}};
  h.p.figures.collectorErrors = {{"c.test:6343", 998}, {"[::1]:9", 2}};
  const std::string figures =
      "STATUS=Running: 2 interfaces, 1,234,567 packets seen, 38,580 flow and 15 counter samples "
      "in 6,430 datagrams, 0 dropped by the kernel, 1,000 send errors (998 to c.test:6343, 2 to "
      "[::1]:9), agent address 192.0.2.1";
  h.start([&] { return h.module.WinMain("wendrel"); });
  ASSERT_TRUE(h.p.waitFor("sd", kReady));
  const auto readyAt = std::chrono::steady_clock::now();
  for (uint32_t control : {SERVICE_CONTROL_INTERROGATE, 128u})
    h.p.post(control);
  ASSERT_TRUE(h.p.waitFor("sd", figures));
  std::this_thread::sleep_until(readyAt + 1250ms);
  const auto stopAt = std::chrono::steady_clock::now();
  h.p.post(SERVICE_CONTROL_STOP);
  h.p.post(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(h.p.waitFor("sd", kStoppedOk));
  // The idle loop wakes on the stop itself.
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 900ms);
  ASSERT_EQ(h.run.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(h.run.get(), S_OK);
  h.module.Handler(SERVICE_CONTROL_STOP);  // after the stop: nothing more to report

  Strings sd = h.p.log("sd");
  const auto ticks = sd.size() - 4;
  EXPECT_TRUE(ticks == 2 || ticks == 3) << ticks;  // in 1.25 s
  sd.erase(std::unique(sd.begin(), sd.end()), sd.end());
  EXPECT_EQ(sd, (Strings{kStarting, kReady, figures, "STOPPING=1", kStoppedOk}));
  EXPECT_EQ(h.p.log("agent"), kCreated + Strings(ticks, "flush") + kTeardown);
  EXPECT_EQ(h.p.log("event"),
            (Strings{"Wendrel: Bad service request", "Wendrel: Service stopped"}));
}

// Nothing captured after devices were looked for: the status says so, and a warning comes at
// once and again every ten minutes while it lasts.
TEST(AgentMonitor, TheWarningComesAgainEveryTenMinutesWhileNothingIsCaptured) {
  test::LogCapture log;
  const auto t0 = AgentMonitor::Clock::now();
  AgentMonitor monitor(log4cplus::Logger::getInstance("Wendrel"), 10s, t0);
  EXPECT_FALSE(monitor.due(t0 + 9s));
  AgentFigures figures;
  monitor.poll(figures, t0);  // no devices looked for yet: nothing to warn of
  EXPECT_TRUE(monitor.due(t0 + 10s));
  figures.captureTried = true;
  for (const auto at : {60s, 600s, 659s, 660s})  // 10 minutes apart: one more
    EXPECT_EQ(monitor.poll(figures, t0 + at), "Running: no interface captured");
  figures.interfaces = 1;
  EXPECT_EQ(monitor.poll(figures, t0 + 12min).substr(0, 21), "Running: 1 interface,");
  figures.interfaces = 0;  // a new spell warns at once
  monitor.poll(figures, t0 + 12min + 1s);
  EXPECT_EQ(log.messages(log4cplus::WARN_LOG_LEVEL).size(), 3u);
}

TEST(Service, AStopWhileStartingOrBeforeTheRunIsHonoured) {
  Harness h;
  h.p.onReporter = [&] { h.module.Handler(SERVICE_CONTROL_STOP); };
  h.module.ServiceMain();
  EXPECT_EQ(h.p.log("sd"), (Strings{kStarting, "STOPPING=1", kStoppedOk}));
  EXPECT_EQ(h.p.log("agent"), kCreated + kTeardown);
  Harness early;
  early.module.OnStop();
  early.start([&] { return early.module.Run(); });
  ASSERT_EQ(early.run.wait_for(5s), std::future_status::ready) << "the stop was lost";
  EXPECT_EQ(early.run.get(), S_OK);
  EXPECT_EQ(early.p.log("agent"), kCreated + kTeardown);
}

// Run reports a reporter's failure while the exit code is still 0, ServiceMain again with it.
TEST(Service, FailedRunsStopWithEFailAndReleaseWhatTheyMade) {
  const std::string failed = "STATUS=Stopped, exit code 0x80004005";
  const std::tuple<std::string, Strings, Strings, size_t> cases[] = {
      {"reporter", {kStarting, kStoppedOk, failed}, {"reporter 192.0.2.10", "delete reporter"}, 0},
      {"collector",
       {kStarting, failed},
       kCreated + Strings{"stop", "delete collector", "delete reporter"},
       1}};
  for (const auto& [failing, sd, agent, errors] : cases) {
    Harness h;
    h.p.failing = failing;
    test::LogCapture log;
    h.module.ServiceMain();
    EXPECT_EQ(h.p.log("sd"), sd);
    EXPECT_EQ(h.p.log("agent"), agent);
    EXPECT_EQ(log.messages(log4cplus::ERROR_LOG_LEVEL).size(), errors);
    h.module.LogEvent("%s", std::string(300, 'x').c_str());
    EXPECT_EQ(h.p.log("event"),
              (Strings{"Wendrel: Service stopped", "Wendrel: " + std::string(255, 'x')}));
  }
}

// A reload, in the foreground as for the service, applies what changed; one without a usable
// collector, or with none that resolves, changes nothing; the source ids stay as they were.
// Signals that can no longer be received would leave an agent nothing can stop: it stops.
TEST(Foreground, AReloadAppliesWhatChangedOrNothingAndLostSignalsStopTheRun) {
  Harness h;
  h.registerAs("");
  h.p.failing = "192.0.2.99";
  test::LogCapture log("Wendrel");
  h.start([&] { return h.module.WinMain("wendrel"); });
  Strings want = kCreated;
  for (const auto& [settings, calls, errors] :
       std::vector<std::tuple<std::string, Strings, size_t>>{
           {"CollectorAddress = 192.0.2.11\nSamplingRate = 8\nInterfaces = \"!veth*\"",
            {"collectors 192.0.2.11", "reconfigure 8 on ifindex interfaces !veth*"},
            0},
           {"SamplingRate = 16", {}, 1},
           {"CollectorAddress = 192.0.2.99", {"collectors 192.0.2.99"}, 2},
           {"CollectorAddress = 192.0.2.11\nSamplingRate = 16\nSourceId = index\nTraffic = ipv4",
            {"reconfigure 16 on ifindex ipv4"},
            2}}) {
    ASSERT_TRUE(h.p.waitFor("agent", "start"));
    h.writeSettings(settings);
    h.p.post(SERVICE_CONTROL_PARAMCHANGE);
    want = want + calls;
    EXPECT_TRUE(test::waitFor([&] {
      Strings c = h.p.log("agent");
      c.erase(std::remove(c.begin(), c.end(), "flush"), c.end());
      return c == want && log.messages(log4cplus::ERROR_LOG_LEVEL).size() == errors;
    })) << settings;
  }
  h.p.post(SignalSource::kFailed);
  ASSERT_EQ(h.run.wait_for(5s), std::future_status::ready) << "the run goes on, deaf";
  EXPECT_EQ(h.run.get(), E_FAIL);
  const Strings agent = h.p.log("agent");
  EXPECT_EQ(Strings(agent.end() - 4, agent.end()), kTeardown);
}

// With the exit status each start without a switch ends with: the low byte of its status,
// never 0 for a failure.
TEST(Registrar, SwitchesWriteAndRemoveTheServiceAndTheRecords) {
  Harness h;
  char arg0[] = "/opt/wendrel/wendrel";
  char* argv[] = {arg0, nullptr};
  EXPECT_EQ(wendrelMain(1, argv, h.module), 2);  // never registered
  EXPECT_EQ(exitStatusFromStatus(static_cast<int32_t>(0x80070100u)), 1);
  EXPECT_EQ(h.switches("-UnregServer"), TYPE_E_REGISTRYACCESS);  // nothing registered
  ASSERT_EQ(h.switches("-RegServer"), S_OK);
  ASSERT_EQ(std::remove(h.records.path(Kind::AppId, false)->c_str()), 0);
  // The type library alone: the missing AppID record fails it.
  EXPECT_EQ(h.switches("-UnregServer"), static_cast<int32_t>(0x80070002u));
  ASSERT_EQ(h.switches("-Service"), S_OK);
  EXPECT_EQ(h.record(Kind::AppId), kService);
  h.p.startedByManager = false;                     // a service's start, by hand
  EXPECT_EQ(wendrelMain(1, argv, h.module), 0x27);  // from 0x427
  EXPECT_EQ(h.record(Kind::TypeLib),
            "Name = \"WendrelLib\"\nVersion = \"1.0\"\nLocale = 0x409\nPath = \"" + kExe + "\"\n");
  ASSERT_EQ(h.switches("-Service"), S_OK);  // again: stopped and deleted, then created anew
  EXPECT_EQ(h.p.log("sm"), (Strings{"create " + kExe, "stop", "remove", "create " + kExe}));
  ASSERT_EQ(h.switches("/regserver"), S_OK);
  EXPECT_EQ(h.p.unit, ServiceManager::UnitState::Missing);
  EXPECT_EQ(h.record(Kind::AppId), "");
  ASSERT_EQ(h.switches("-Service"), S_OK);
  ASSERT_EQ(h.switches("-UnregServer"), S_OK);  // the AppID record stays, without "LocalService"
  EXPECT_EQ(h.record(Kind::AppId) + h.record(Kind::TypeLib), "-");
  EXPECT_EQ(h.p.unit, ServiceManager::UnitState::Missing);
  // So a start without a switch runs in the foreground, even outside the service manager.
  h.writeSettings("");
  EXPECT_EQ(h.switches(""), E_FAIL);  // no collector address
  EXPECT_EQ(h.p.log("agent"), Strings{});
  ASSERT_EQ(h.switches("-RegServerPerUser"), S_OK);
  EXPECT_EQ(h.record(Kind::AppId, true), "");
  EXPECT_NE(h.record(Kind::TypeLib, true), "-");
  EXPECT_EQ(h.p.log("msg"), Strings{});
}

TEST(Registrar, FailuresEndTheSwitchWithTheirStatusAndMessage) {
  using State = ServiceManager::UnitState;
  const State file = State::RegularFile, none = State::Missing, pkg = State::Packaged;
  const Strings stopRemove{"stop", "remove"};
  // A failed "-Service" leaves no service mark: "wendrel" then runs in the foreground. The
  // package's unit is stopped like the program's own, but never replaced or deleted.
  const struct {
    std::string args, exe, fails;
    State unit;
    int32_t status;
    std::string message, appId;  // appId "-": no record
    Strings calls;
  } cases[] = {
      {"-Service", kExe, "manager", none, E_FAIL, "Could not open Service Manager", "", {}},
      {"-Service", kExe, "create", none, E_FAIL, "Could not start service", "", {"create " + kExe}},
      {"-Service", "/" + std::string(259, 'w'), "", none, E_FAIL, "", "", {}},
      {"-RegServer", kExe, "stop", file, S_OK, "Could not stop service", "", stopRemove},
      {"-RegServer", kExe, "remove", file, E_FAIL, "Could not delete service", "-", stopRemove},
      {"-Service", kExe, "", State::Other, E_FAIL, "Could not open service", "-", {}},
      {"-RegServer", "", "", none, static_cast<int32_t>(0x80070002u), "", "", {}},
      {"-Service", kExe, "", pkg, S_OK, "", kService, {"stop"}},
      {"-RegServer", kExe, "", pkg, S_OK, "", "", {"stop"}},
      {"-Service", kExe, "manager", pkg, E_FAIL, "Could not open Service Manager", "", {}},
  };
  for (const auto& c : cases) {
    Harness h(c.exe);
    h.p.failing = c.fails;
    h.p.unit = c.unit;
    SCOPED_TRACE(c.args + " " + c.fails);
    EXPECT_EQ(h.switches(c.args), c.status);
    EXPECT_EQ(h.p.log("msg"), c.message.empty() ? Strings{} : Strings{"Wendrel: " + c.message});
    EXPECT_EQ(h.record(Kind::AppId), c.appId);
    EXPECT_FALSE(h.record(Kind::TypeLib) != "-" && c.status < 0);
    EXPECT_EQ(h.p.log("sm"), c.calls);
  }
}

}  // namespace
}  // namespace wendrel
