// Registration driven by the switches as the process entry runs them, with the records as
// files on a scratch root and the service manager and the messages faked.
#include "registrar.h"

#include <gtest/gtest.h>

#include "service_fakes.h"
#include "status_codes.h"
#include "wendrel_main.h"

namespace wendrel {
namespace {

using test::Strings;
const std::string kExe = "/opt/wendrel/wendrel";
const std::string kService = "LocalService = \"Wendrel\"\n";

struct Host {
  explicit Host(const std::string& exe = kExe) : registrar("Wendrel", exe, p, records, p) {}
  int32_t run(const std::string& args) { return module.WinMain("wendrel " + args); }
  test::ScratchRoot root;
  FileSettingsStore settings;
  FileRecordStore records{"{a}"};
  test::FakePlatform p;
  Registrar registrar;
  CWendrelModule module{ModuleSeams{settings, p, p, p, p, records, registrar, kExe}};
};

// With the exit status each start without a switch ends with: the low byte of its status,
// never 0 for a failure.
TEST(Registrar, SwitchesWriteAndRemoveTheServiceAndTheRecords) {
  Host h;
  char arg0[] = "/opt/wendrel/wendrel";
  char* argv[] = {arg0, nullptr};
  EXPECT_EQ(wendrelMain(1, argv, h.module), 2);  // never registered
  EXPECT_EQ(exitStatusFromStatus(static_cast<int32_t>(0x80070100u)), 1);
  EXPECT_EQ(h.run("-UnregServer"), TYPE_E_REGISTRYACCESS);  // nothing registered
  ASSERT_EQ(h.run("-RegServer"), S_OK);
  ASSERT_EQ(std::remove((h.root.dir + "/var/lib/wendrel/AppID/{a}.conf").c_str()), 0);
  // The type library alone: the missing AppID record fails it.
  EXPECT_EQ(h.run("-UnregServer"), static_cast<int32_t>(0x80070002u));
  ASSERT_EQ(h.run("-Service"), S_OK);
  EXPECT_EQ(h.root.record("AppID"), kService);
  h.p.startedByManager = false;                     // a service's start, by hand
  EXPECT_EQ(wendrelMain(1, argv, h.module), 0x27);  // from 0x427
  EXPECT_EQ(h.root.record("TypeLib"),
            "Name = \"WendrelLib\"\nVersion = \"1.0\"\nLocale = 0x409\nPath = \"" + kExe + "\"\n");
  ASSERT_EQ(h.run("-Service"), S_OK);  // again: stopped and deleted, then created anew
  EXPECT_EQ(h.p.log("sm"), (Strings{"create " + kExe, "stop", "remove", "create " + kExe}));
  ASSERT_EQ(h.run("/regserver"), S_OK);
  EXPECT_EQ(h.p.unit, ServiceManager::UnitState::Missing);
  EXPECT_EQ(h.root.record("AppID"), "");
  ASSERT_EQ(h.run("-Service"), S_OK);
  ASSERT_EQ(h.run("-UnregServer"), S_OK);  // the AppID record stays, without "LocalService"
  EXPECT_EQ(h.root.record("AppID") + h.root.record("TypeLib"), "-");
  EXPECT_EQ(h.p.unit, ServiceManager::UnitState::Missing);
  // So a start without a switch runs in the foreground, even outside the service manager.
  EXPECT_EQ(h.run(""), E_FAIL);  // no collector address
  EXPECT_EQ(h.p.log("agent"), Strings{});
  ASSERT_EQ(h.run("-RegServerPerUser"), S_OK);
  EXPECT_EQ(h.root.record("AppID", true), "");
  EXPECT_NE(h.root.record("TypeLib", true), "-");
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
    Host h(c.exe);
    h.p.failing = c.fails;
    h.p.unit = c.unit;
    SCOPED_TRACE(c.args + " " + c.fails);
    EXPECT_EQ(h.run(c.args), c.status);
    EXPECT_EQ(h.p.log("msg"), c.message.empty() ? Strings{} : Strings{"Wendrel: " + c.message});
    EXPECT_EQ(h.root.record("AppID"), c.appId);
    EXPECT_FALSE(h.root.record("TypeLib") != "-" && c.status < 0);
    EXPECT_EQ(h.p.log("sm"), c.calls);
  }
}

}  // namespace
}  // namespace wendrel
