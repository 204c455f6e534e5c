// Registration over fakes of the service manager, the records and the messages, driven by
// the switches as the process entry runs them.
#include "registrar.h"

#include <gtest/gtest.h>

#include "service_fakes.h"
#include "status_codes.h"

namespace wendrel {
namespace {

using test::Strings;
const std::string kExe = "/opt/wendrel/wendrel";
const std::string kService = "LocalService = \"Wendrel\"\n";

struct Host {
  explicit Host(const std::string& exe = kExe) : registrar("Wendrel", exe, p, p, p) {}
  test::FakeSettings settings{""};
  test::FakePlatform p;
  Registrar registrar;
  CWendrelModule module{ModuleSeams{settings, p, p, p, p, p, registrar, kExe}};
  int32_t run(const std::string& args) { return module.WinMain("wendrel " + args); }
};

TEST(Registrar, SwitchesWriteAndRemoveTheServiceAndTheRecords) {
  Host h;
  EXPECT_EQ(h.run("-UnregServer"), TYPE_E_REGISTRYACCESS);  // nothing registered
  ASSERT_EQ(h.run("-Service"), S_OK);
  EXPECT_EQ(h.p.records["AppID"], kService);
  EXPECT_EQ(h.p.records["TypeLib"],
            "Name = \"WendrelLib\"\nVersion = \"1.0\"\nLocale = 0x409\nPath = \"" + kExe + "\"\n");
  ASSERT_EQ(h.run("-Service"), S_OK);  // again: stopped and deleted, then created anew
  EXPECT_EQ(h.p.log("sm"), (Strings{"create " + kExe, "stop", "remove", "create " + kExe}));
  ASSERT_EQ(h.run("/regserver"), S_OK);
  EXPECT_EQ(h.p.unit, ServiceManager::UnitState::Missing);
  EXPECT_EQ(h.p.records["AppID"], "");
  ASSERT_EQ(h.run("-Service"), S_OK);
  ASSERT_EQ(h.run("-UnregServer"), S_OK);  // the AppID record stays, without "LocalService"
  EXPECT_EQ(h.p.records, (std::map<std::string, std::string>{{"AppID", ""}}));
  EXPECT_EQ(h.p.unit, ServiceManager::UnitState::Missing);
  // So a start without a switch runs in the foreground, even outside the service manager.
  h.p.startedByManager = false;
  EXPECT_EQ(h.run(""), E_FAIL);  // no collector address
  EXPECT_EQ(h.p.log("agent"), Strings{});
  h.p.records.clear();
  EXPECT_EQ(h.run(""), ERROR_FILE_NOT_FOUND);  // never registered
  ASSERT_EQ(h.run("-RegServerPerUser"), S_OK);
  EXPECT_EQ(h.p.records.size(), 2u);
  EXPECT_EQ(h.p.records.count("AppID/user") + h.p.records.count("TypeLib/user"), 2u);
  EXPECT_EQ(h.p.log("msg"), Strings{});
}

TEST(Registrar, FailuresEndTheSwitchWithTheirStatusAndMessage) {
  using State = ServiceManager::UnitState;
  const State file = State::RegularFile, none = State::Missing, pkg = State::Packaged;
  const std::string bad = "/opt/a\nb/wendrel";
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
      {"-Service", bad, "", none, E_FAIL, "Could not start service", "", {"create " + bad}},
      {"-Service", "/" + std::string(259, 'w'), "", none, E_FAIL, "", "", {}},
      {"-RegServer", kExe, "stop", file, S_OK, "Could not stop service", "", stopRemove},
      {"-RegServer", kExe, "remove", file, E_FAIL, "Could not delete service", "-", stopRemove},
      {"-Service", kExe, "", State::Other, E_FAIL, "Could not open service", "-", {}},
      {"-RegServer", kExe, "write", none, static_cast<int32_t>(0x80070005u), "", "-", {}},
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
    EXPECT_EQ(h.p.records.count("AppID") ? h.p.records["AppID"] : "-", c.appId);
    EXPECT_FALSE(h.p.records.count("TypeLib") && c.status < 0);
    EXPECT_EQ(h.p.log("sm"), c.calls);
  }
}

}  // namespace
}  // namespace wendrel
