// The service module, registration and settings over a scratch root of real files; the host fakes
// every other seam and logs what it was asked by channel: "sd" status reports, "event" the event
// log, "agent" the reporter and collector, "sm" the service manager, "msg" the messages shown.
#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
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
#include "wendrel_module.h"

namespace wendrel {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using Kind = RecordStore::Kind;
using State = ServiceManager::UnitState;
const std::string kExe = "/opt/wendrel/wendrel", kService = "LocalService = \"Wendrel\"\n";
const std::string kStarting = "STATUS=Starting", kReady = "READY=1\nSTATUS=Running";
const std::string kStoppedOk = "STATUS=Stopped, exit code 0x00000000";
// Every setting that reaches capture differs from its default, so none is lost on the way.
const Strings kCreated = {"reporter 192.0.2.10",
                          "collector 128 2097152 64 off ifindex deterministic ipv4 counters 5",
                          "start"};
// Capture ends before the last datagram goes out; both objects go on Run's thread.
const Strings kTeardown = {"stop", "flush", "delete collector", "delete reporter"};
int hosts = 0;

Strings operator+(Strings a, const Strings& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A rate, whether it is kept in the kernel, and the optional settings that are not defaults.
std::string describe(uint32_t rate, bool kernel, const CollectorSettings& s) {
  return " " + std::to_string(rate) + (kernel ? " on" : " off") +
         (s.sourceIdIsIfIndex ? " ifindex" : "") + (s.sampling.random ? "" : " deterministic") +
         (s.sampling.ipv6 ? "" : " ipv4") +
         (s.counterIntervalS != 30 ? " counters " + std::to_string(s.counterIntervalS) : "") +
         (s.agentAddress.empty() ? "" : " agent " + s.agentAddress) + (s.ebpf ? " ebpf" : "") +
         (s.interfaces.empty() ? "" : " interfaces " + s.interfaces);
}

struct Host : ServiceNotifier, EventLog, SignalSource, AgentFactory, ServiceManager, MessageSink {
  explicit Host(const std::string& exe = kExe, std::chrono::milliseconds status = 10s)
      : registrar("Wendrel", exe, *this, records, *this),
        module({settings, *this, *this, *this, *this, records, registrar, kExe, status}) {
    std::filesystem::create_directories(root + "/etc/wendrel");
    ::setenv("WENDREL_ROOT", root.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root + "/user").c_str(), 1);
    writeSettings(
        "CollectorAddress = 192.0.2.10\nSamplingRate = 64\nPerformanceMode = 0\nSourceId = "
        "ifindex\nSamplingMethod = deterministic\nTraffic = ipv4\nCounterInterval = 5");
  }
  // A run left going by a failed assertion is stopped, never waited for forever.
  ~Host() override {
    if (run.valid())
      module.OnStop(), run.wait();
    std::filesystem::remove_all(root);
  }
  void writeSettings(const std::string& text) const {
    std::ofstream(root + "/etc/wendrel/wendrel.conf") << text;
  }
  int32_t switches(const std::string& args) { return module.WinMain("wendrel " + args); }
  void start(std::function<int32_t()> f) { run = std::async(std::launch::async, std::move(f)); }
  // A record's text, "-" when there is none.
  std::string record(Kind kind, bool perUser = false) {
    const std::string path = *records.path(kind, perUser);
    return std::filesystem::exists(path) ? test::readFile(path) : "-";
  }

  void add(const std::string& channel, const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex);
    log_[channel].push_back(entry);
    changed.notify_all();
  }
  Strings log(const std::string& channel) {
    std::lock_guard<std::mutex> lock(mutex);
    return log_[channel];
  }
  bool waitFor(const std::string& channel, const std::string& entry) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, 10s, [&] {
      return std::find(log_[channel].begin(), log_[channel].end(), entry) != log_[channel].end();
    });
  }
  // What `failing` names fails: "manager" (not up), "create", "stop", "remove", "reporter"
  // (not initialized), "collector" (its start throws), or a collector address.
  bool fails(const std::string& what) const { return failing.find(what) != std::string::npos; }
  bool startedByServiceManager() override { return startedByManager; }
  void notify(const std::string& state) override { add("sd", state); }
  void write(const std::string& s, const std::string& t) override { add("event", s + ": " + t); }
  void show(const std::string&, const std::string& text) override { add("msg", text); }
  int wait() override {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return !controls.empty(); });
    const int control = controls.front();
    controls.pop_front();
    return control;
  }
  void wake() override { post(kWoken); }
  void post(int control) {
    std::lock_guard<std::mutex> lock(mutex);
    controls.push_back(control);
    changed.notify_all();
  }

  struct Part : AgentReporter, AgentCollector {
    Part(Host& host, std::string what) : h(host), name(std::move(what)) {}
    ~Part() override { h.add("agent", "delete " + name); }
    bool isInitialized() const override { return !h.fails(name); }
    void flush() override { h.add("agent", "flush"); }
    void startCollecting() override {
      h.add("agent", "start");
      if (h.fails(name))
        throw std::runtime_error("thread creation failed");
    }
    void stop() override { h.add("agent", "stop"); }
    bool changeCollectors(const std::string& address) override {
      h.add("agent", "collectors " + address);
      return !h.fails(address);
    }
    void reconfigure(uint32_t rate, bool kernel, const CollectorSettings& s) override {
      h.add("agent", "reconfigure" + describe(rate, kernel, s));
    }
    void addFigures(AgentFigures& f) override { f = name == "collector" ? h.figures : f; }
    Host& h;
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

  bool open() override { return !fails("manager"); }
  UnitState unitState() override { return unit; }
  bool create(const std::string& executable) override {
    return change("create " + executable, "create", State::RegularFile);
  }
  bool stop() override { return change("stop", "stop", unit); }
  bool remove() override { return change("remove", "remove", State::Missing); }
  bool change(const std::string& call, const char* what, State next) {
    add("sm", call);
    unit = fails(what) ? unit : next;
    return !fails(what);
  }

  std::string root =
      "/tmp/wendrel-svc-" + std::to_string(::getpid()) + "-" + std::to_string(hosts++);
  FileSettingsStore settings;
  FileRecordStore records{"{a}"};
  Registrar registrar;
  CWendrelModule module;
  std::future<int32_t> run;
  std::string failing;
  bool startedByManager = false;  // so a switch taken for none ends at once, never runs the agent
  State unit = State::Missing;
  std::function<void()> onReporter;
  AgentFigures figures;  // what the collector tells; set before the run
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<int> controls;
  std::map<std::string, Strings> log_;
};

TEST(ValueFile, ReadsTypedValuesAndSkipsMalformedLinesAlone) {
  const struct {
    const char* line;
    std::optional<std::string> text;
    std::optional<uint32_t> number;
  } cases[] = {
      {"A = \"192.0.2.10\"   # a comment", "192.0.2.10", {}},
      {"A = \"a \\\"b\\\" c\\\\d # no comment\"", "a \"b\" c\\d # no comment", {}},
      {"A = collector.example.net  # bare text", "collector.example.net", {}},
      {"A =", "", {}},
      {"A = 9\na = 0032", {}, 32},  // the later line wins
      {"A = 0X20", {}, 32},
      {"A = 4294967295", {}, 0xFFFFFFFFu},
      {"  a\t=\t7\r", {}, 7},
  };
  for (const auto& c : cases) {
    const Record file = valueFile::parse(c.line);
    EXPECT_EQ(file.readString("a", 255), c.text) << c.line;
    EXPECT_EQ(file.readUInt32("A"), c.number) << c.line;
  }
  std::vector<int> malformed;
  const std::string longest(valueFile::kMaxLineLength - 4, 'x');
  const Record file = valueFile::parse(
      "# comment\n\nA 5\n= 5\nA B = 5\nA-B = 5\nA = \"never closed\nA = \"x\" y\nA = 4294967296\n"
      "A = 0x100000000\n\xEF\xBB\xBF\nC = " +
          longest + "\nD = " + longest + "x\nB = 2\n",
      &malformed);
  EXPECT_EQ(malformed, (std::vector<int>{3, 4, 5, 6, 7, 8, 9, 10, 11, 13}));
  EXPECT_EQ(file.readString("C", longest.size() + 1), longest);
  EXPECT_FALSE(file.readUInt32("A"));
  EXPECT_EQ(file.readUInt32("B"), 2u);
}

// What the agent goes on with, "-" when it cannot start.
std::string inEffect(const std::optional<AgentSettings>& s) {
  return s ? s->collectorAddress + describe(s->samplingRate, s->performanceMode, s->collector)
           : "-";
}

// What each file gives and how many warnings it draws; one that cannot start logs one error.
TEST(AgentSettings, DefaultsWarningsAndTheSettingsInEffect) {
  std::string c254 = "cccc";  // a list of names filling the capacity to the last byte
  for (int i = 0; i < 25; ++i)
    c254 += ",ccccccccc";
  const std::string base = "CollectorAddress = c\nSamplingRate = 8\n";
  const std::tuple<std::string, std::string, size_t> cases[] = {
      // A quoted number is text (two warnings). Names the agent does not know are pointed out
      // (a mistyped one most likely), whatever their case.
      {"CollectorAddress = \"c.example\"\nSamplingRate = \"64\"\nSampleRate = 64\n"
       "trafficc = 1\nsamplingmethod = 1\nCOUNTERINTERVAL = 1\nSourceID = 1\nTraffic = 1",
       "c.example 32 on ifindex counters 1", 7},
      {"CollectorAddress = " + c254 + "\nSamplingRate = 8\nPerformanceMode = 2",
       c254 + " 8 on ifindex", 1},
      {"CollectorAddress = c\nSamplingRate = 0\nPerformanceMode = 1\nCounterInterval = 3601",
       "c 1 on ifindex", 2},
      {"CollectorAddress = " + c254 + "c", "-", 0},
      {"CollectorAddress = 7", "-", 0},
      // Resolved as the empty name, the collector would silently be this host.
      {"CollectorAddress = \"  \"", "-", 0},
      {"CollectorAddress = \"a.example b.example:0\"", "-", 0},
      // The optional settings: in any case, then wrong.
      {base + "PerformanceMode = 1\nSamplingMethod = \"Deterministic\"\nTraffic = \"IPv4\"\n"
              "SourceId = IfIndex\nCounterInterval = 3600\nCapture = EBPF",
       "c 8 on ifindex deterministic ipv4 counters 3600 ebpf", 0},
      {base + "PerformanceMode = 0\nSamplingMethod = RANDOM\nTraffic = iP\nSourceId = index\n"
              "CounterInterval = 0\nagentaddress = 2001:db8::/32\ninterfaces = \"eth* !eth9\"",
       "c 8 off counters 0 agent 2001:db8::/32 interfaces eth* !eth9", 0},
      {base + "PerformanceMode = 1\nSamplingMethod = \"sometimes\"\nTraffic = ipv6\n"
              "SourceId = \"1\"\nCounterInterval = soon\nAgentAddress = 10.0.0.256\n"
              "Capture = bpf\nInterfaces = \"eth0 !\"",
       "c 8 on ifindex", 7},
  };
  log4cplus::Logger logger = log4cplus::Logger::getInstance("Wendrel");
  Host h;
  for (const auto& [settings, result, warnings] : cases) {
    h.writeSettings(settings);
    FileSettingsStore store;
    test::LogCapture log;
    EXPECT_EQ(inEffect(readAgentSettings(store, logger)), result) << settings;
    EXPECT_EQ(log.messages(log4cplus::WARN_LOG_LEVEL).size(), warnings) << settings;
    EXPECT_EQ(log.messages(log4cplus::ERROR_LOG_LEVEL).size(), result == "-") << settings;
  }
}

// The registration operations a switch ran, joined by spaces; removing the AppID record answers
// 7, a status that is no failure, so it shows where it is lost.
struct Calls : RegistrationOperations {
  int32_t RegisterAppId(bool service) override {
    return add(service ? "RegisterAppId(service)" : "RegisterAppId");
  }
  int32_t UnregisterAppId() override { return add("UnregisterAppId"), 7; }
  int32_t RegisterServer() override { return add("RegisterServer(tlb)"); }
  int32_t UnregisterServer() override { return add("UnregisterServer(tlb)"); }
  void SetPerUserRegistration() override { add("PerUser"); }
  int32_t add(const std::string& call) {
    text += (text.empty() ? "" : " ") + call;
    return 0;
  }
  std::string text;
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
      Calls ops;
      int32_t status = -1;
      EXPECT_EQ(parseCommandLine(line, ops, status), calls.empty()) << line;
      EXPECT_EQ(status, calls == unreg || calls == "PerUser " + unreg ? 7 : 0) << line;
      EXPECT_EQ(ops.text, calls) << line;
    }
  }
  // Rebuilt from argv: quoted when empty or holding a space, a tab or a quotation mark;
  // backslashes are doubled only before a quotation mark, which keeps "-Service\"" no switch
  // (the first row above).
  const char* argv[] = {
      "/opt/my agent/wendrel", "-Service\"", "", "a\\b\tc", "a\\\"b", "dir\\ x\\"};
  EXPECT_EQ(buildCommandLine(6, argv),
            "\"/opt/my agent/wendrel\" \"-Service\\\"\" \"\" \"a\\b\tc\" \"a\\\\\\\"b\" "
            "\"dir\\ x\\\\\"");
}

// With a status period of 0 the status line follows each idle tick's flush.
TEST(Service, RunsUntilStoppedFlushingTwiceASecondAndTellingItsFigures) {
  Host h(kExe, 0ms);
  h.startedByManager = true;
  // The user's record is looked at first; an empty name still makes a service.
  h.records.write(Kind::AppId, false, {});
  h.records.write(Kind::AppId, true, valueFile::parse("LocalService = \"\""));
  h.figures = {2, 1234567, 38580, 6430, 0, 1000, true, "", 15, "192.0.2.1", {}};
  h.figures.collectorErrors = {{"c.test:6343", 998}, {"[::1]:9", 2}};
  const std::string figures =
      "STATUS=Running: 2 interfaces, 1,234,567 packets seen, 38,580 flow and 15 counter samples "
      "in 6,430 datagrams, 0 dropped by the kernel, 1,000 send errors (998 to c.test:6343, 2 to "
      "[::1]:9), agent address 192.0.2.1";
  h.start([&] { return h.module.WinMain("wendrel"); });
  ASSERT_TRUE(h.waitFor("sd", kReady));
  const auto readyAt = std::chrono::steady_clock::now();
  for (uint32_t control : {SERVICE_CONTROL_INTERROGATE, 128u})
    h.post(control);
  ASSERT_TRUE(h.waitFor("sd", figures));
  std::this_thread::sleep_until(readyAt + 1250ms);
  const auto stopAt = std::chrono::steady_clock::now();
  h.post(SERVICE_CONTROL_STOP);
  h.post(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(h.waitFor("sd", kStoppedOk));
  // The idle loop wakes on the stop itself.
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 900ms);
  ASSERT_EQ(h.run.wait_for(5s), std::future_status::ready);
  h.module.Handler(SERVICE_CONTROL_STOP);  // after the stop: nothing more to report

  Strings sd = h.log("sd");
  const auto ticks = sd.size() - 4;
  EXPECT_TRUE(ticks == 2 || ticks == 3) << ticks;  // in 1.25 s
  sd.erase(std::unique(sd.begin(), sd.end()), sd.end());
  EXPECT_EQ(sd, (Strings{kStarting, kReady, figures, "STOPPING=1", kStoppedOk}));
  EXPECT_EQ(h.log("agent"), kCreated + Strings(ticks, "flush") + kTeardown);
  EXPECT_EQ(h.log("event"), (Strings{"Wendrel: Bad service request", "Wendrel: Service stopped"}));
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

// ServiceMain's reports, and what it releases: a stop while the run configures is honoured
// before the loop, and one that came before ("early") is kept for it; a reporter's failure is
// reported while the exit code is still 0, then with it.
TEST(Service, StopsWhileStartingOrOnFailureReleasingWhatItMade) {
  const std::string failed = "STATUS=Stopped, exit code 0x80004005";
  const Strings released = {"stop", "delete collector", "delete reporter"};
  const std::tuple<std::string, Strings, Strings, size_t> cases[] = {
      {"", {kStarting, "STOPPING=1", kStoppedOk}, kCreated + kTeardown, 0},
      {"early", {kStarting, kStoppedOk}, kCreated + kTeardown, 0},
      {"reporter", {kStarting, kStoppedOk, failed}, {"reporter 192.0.2.10", "delete reporter"}, 0},
      {"collector", {kStarting, failed}, kCreated + released, 1}};
  for (const auto& [failing, sd, agent, errors] : cases) {
    Host h;
    h.failing = failing;
    if (failing == "early")
      h.module.OnStop();
    else if (failing.empty())
      h.onReporter = [&] { h.module.Handler(SERVICE_CONTROL_STOP); };
    test::LogCapture log;
    h.start([&] { return h.module.ServiceMain(), 0; });
    ASSERT_EQ(h.run.wait_for(5s), std::future_status::ready) << "the stop was lost";
    EXPECT_EQ(h.log("sd"), sd) << failing;
    EXPECT_EQ(h.log("agent"), agent) << failing;
    EXPECT_EQ(log.messages(log4cplus::ERROR_LOG_LEVEL).size(), errors) << failing;
    EXPECT_EQ(h.log("event"), Strings{"Wendrel: Service stopped"}) << failing;
  }
}

// A reload, in the foreground as for the service, applies what changed; one without a usable
// collector, or with none that resolves, changes nothing; the source ids stay as they were.
// Signals that can no longer be received would leave an agent nothing can stop: it stops.
TEST(Foreground, AReloadAppliesWhatChangedOrNothingAndLostSignalsStopTheRun) {
  Host h;
  h.records.write(Kind::AppId, false, {});
  h.failing = "192.0.2.99";
  test::LogCapture log("Wendrel");
  h.start([&] { return h.module.WinMain("wendrel"); });
  ASSERT_TRUE(h.waitFor("agent", "start"));
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
    h.writeSettings(settings);
    h.post(SERVICE_CONTROL_PARAMCHANGE);
    want = want + calls;
    EXPECT_TRUE(test::waitFor([&] {
      Strings c = h.log("agent");
      c.erase(std::remove(c.begin(), c.end(), "flush"), c.end());
      return c == want && log.messages(log4cplus::ERROR_LOG_LEVEL).size() == errors;
    })) << settings;
  }
  h.post(SignalSource::kFailed);
  ASSERT_EQ(h.run.wait_for(5s), std::future_status::ready) << "the run goes on, deaf";
  EXPECT_EQ(h.run.get(), E_FAIL);
}

// A failure's exit status is the low byte of its status, never 0.
TEST(Registrar, SwitchesWriteAndRemoveTheServiceAndTheRecords) {
  Host h;
  EXPECT_EQ(exitStatusFromStatus(static_cast<int32_t>(0x80070100u)), 1);
  EXPECT_EQ(h.switches("-UnregServer"), TYPE_E_REGISTRYACCESS);  // nothing registered
  ASSERT_EQ(h.switches("-RegServer"), S_OK);
  ASSERT_EQ(std::remove(h.records.path(Kind::AppId, false)->c_str()), 0);
  // The type library alone: the missing AppID record fails it.
  EXPECT_EQ(h.switches("-UnregServer"), static_cast<int32_t>(0x80070002u));
  ASSERT_EQ(h.switches("-Service"), S_OK);
  EXPECT_EQ(h.record(Kind::AppId), kService);
  EXPECT_NE(h.record(Kind::TypeLib).find("Path = \"" + kExe + "\"\n"), std::string::npos);
  ASSERT_EQ(h.switches("-Service"), S_OK);  // again: stopped and deleted, then created anew
  EXPECT_EQ(h.log("sm"), (Strings{"create " + kExe, "stop", "remove", "create " + kExe}));
  ASSERT_EQ(h.switches("/regserver"), S_OK);
  EXPECT_EQ(h.unit, State::Missing);
  EXPECT_EQ(h.record(Kind::AppId), "");
  ASSERT_EQ(h.switches("-Service"), S_OK);
  ASSERT_EQ(h.switches("-UnregServer"), S_OK);  // the AppID record stays, without "LocalService"
  EXPECT_EQ(h.record(Kind::AppId) + h.record(Kind::TypeLib), "-");
  EXPECT_EQ(h.unit, State::Missing);
  ASSERT_EQ(h.switches("-RegServerPerUser"), S_OK);
  EXPECT_EQ(h.record(Kind::AppId, true), "");
  EXPECT_NE(h.record(Kind::TypeLib, true), "-");
  EXPECT_EQ(h.log("msg"), Strings{});
}

TEST(Registrar, FailuresEndTheSwitchWithTheirStatusAndMessage) {
  const State file = State::RegularFile, none = State::Missing, pkg = State::Packaged;
  // A failed "-Service" leaves no service mark: "wendrel" then runs in the foreground. The
  // package's unit is stopped like the program's own, but never replaced or deleted. Per row:
  // the switch, the program's path, what fails, the unit before; then the status, whether a
  // message is shown, the AppID record ("-": none) and the service manager's calls.
  const std::tuple<std::string, std::string, std::string, State, int32_t, bool, std::string,
                   Strings>
      cases[] = {
          {"-Service", kExe, "manager", none, E_FAIL, true, "", {}},
          {"-Service", kExe, "create", none, E_FAIL, true, "", {"create " + kExe}},
          {"-Service", "/" + std::string(259, 'w'), "", none, E_FAIL, false, "", {}},
          {"-RegServer", kExe, "stop", file, S_OK, true, "", {"stop", "remove"}},
          {"-RegServer", kExe, "remove", file, E_FAIL, true, "-", {"stop", "remove"}},
          {"-Service", kExe, "", State::Other, E_FAIL, true, "-", {}},
          {"-RegServer", "", "", none, static_cast<int32_t>(0x80070002u), false, "", {}},
          {"-Service", kExe, "", pkg, S_OK, false, kService, {"stop"}},
          {"-RegServer", kExe, "", pkg, S_OK, false, "", {"stop"}},
      };
  for (const auto& [args, exe, fails, unit, status, shown, appId, calls] : cases) {
    Host h(exe);
    h.failing = fails;
    h.unit = unit;
    SCOPED_TRACE(args + " " + fails);
    EXPECT_EQ(h.switches(args), status);
    EXPECT_EQ(h.log("msg").size(), shown ? 1u : 0u);
    EXPECT_EQ(h.record(Kind::AppId), appId);
    EXPECT_FALSE(h.record(Kind::TypeLib) != "-" && status < 0);
    EXPECT_EQ(h.log("sm"), calls);
  }
}

}  // namespace
}  // namespace wendrel
