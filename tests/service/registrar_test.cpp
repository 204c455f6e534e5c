// Registration flows against a scratch root prefix and a systemctl that only records.
#include "registrar.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "file_record_store.h"
#include "files.h"
#include "status_codes.h"
#include "systemd_service_manager.h"

namespace wendrel {
namespace {

using Strings = std::vector<std::string>;

constexpr char kAppId[] = "{00000000-1111-2222-3333-444444444444}";

class RecordingMessages : public MessageSink {
 public:
  void show(const std::string& caption, const std::string& text) override {
    shown.push_back(caption + ": " + text);
  }
  Strings shown;
};

class Registration : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/wendrel-root-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    files::makeDirectories(root_ + "/run/systemd/system");
    files::makeDirectories(root_ + "/etc/systemd/system");
    // Exits with the code in systemctl.<verb> when that file exists.
    const std::string script = root_ + "/systemctl";
    std::ofstream(script) << "#!/bin/sh\n"
                          << "echo \"$*\" >> '" << root_ << "/systemctl.log'\n"
                          << "[ -f '" << root_ << "/systemctl.'\"$1\" ] && exit $(cat '" << root_
                          << "/systemctl.'\"$1\")\n"
                          << "exit 0\n";
    chmod(script.c_str(), 0755);
    setenv("WENDREL_ROOT", root_.c_str(), 1);
    setenv("WENDREL_SYSTEMCTL", script.c_str(), 1);
    setenv("XDG_DATA_HOME", (root_ + "/home/.local/share").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("WENDREL_ROOT");
    unsetenv("WENDREL_SYSTEMCTL");
    unsetenv("XDG_DATA_HOME");
    const std::string command = "rm -rf '" + root_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  int32_t run(const std::string& commandLine) {
    Registrar registrar("Wendrel", manager_, records_, messages_);
    int32_t status = 1;
    EXPECT_FALSE(parseCommandLine(commandLine, registrar, status));
    return status;
  }
  Strings systemctlCalls() const {
    Strings calls;
    std::ifstream in(root_ + "/systemctl.log");
    for (std::string line; std::getline(in, line);)
      calls.push_back(line);
    return calls;
  }
  void systemctlFails(const std::string& verb, int code) const {
    std::ofstream(root_ + "/systemctl." + verb) << code;
  }
  bool exists(const std::string& relative) const {
    struct stat st {};
    return ::stat((root_ + relative).c_str(), &st) == 0;
  }
  std::string read(const std::string& relative) const {
    std::string text;
    files::readFile(root_ + relative, text);
    return text;
  }
  std::string appIdRecord() const {
    return "/var/lib/wendrel/AppID/" + std::string(kAppId) + ".conf";
  }
  std::string typeLibRecord() const {
    return "/var/lib/wendrel/TypeLib/" + std::string(kAppId) + ".conf";
  }
  static constexpr char kUnit[] = "/etc/systemd/system/wendrel.service";

  std::string root_;
  SystemdServiceManager manager_{"wendrel.service"};
  FileRecordStore records_{kAppId};
  RecordingMessages messages_;
};

TEST_F(Registration, ServiceTwiceReplacesTheService) {
  ASSERT_EQ(run("wendrel -Service"), S_OK);
  EXPECT_EQ(systemctlCalls(), Strings{"daemon-reload"});
  const std::string unit = read(kUnit);
  EXPECT_NE(unit.find("ExecStart=\"" + files::executablePath() + "\"\n"), std::string::npos);
  EXPECT_NE(unit.find("Type=notify"), std::string::npos);
  EXPECT_EQ(read(appIdRecord()), "LocalService = \"Wendrel\"\n");
  const ValueFile typeLib = ValueFile::parse(read(typeLibRecord()));
  EXPECT_EQ(typeLib.readString("Name", 255), "WendrelLib");
  EXPECT_EQ(typeLib.readString("Version", 255), "1.0");
  EXPECT_EQ(typeLib.readUInt32("Locale"), 0x409u);
  EXPECT_EQ(typeLib.readString("Path", 4096), files::executablePath());

  ASSERT_EQ(run("wendrel -Service"), S_OK);
  EXPECT_EQ(systemctlCalls(),
            (Strings{"daemon-reload", "stop wendrel.service", "daemon-reload", "daemon-reload"}));
  EXPECT_TRUE(exists(kUnit));
  EXPECT_TRUE(messages_.shown.empty());
  // Written atomically: no temporary file is left beside the records.
  DIR* dir = opendir((root_ + "/var/lib/wendrel/AppID").c_str());
  ASSERT_NE(dir, nullptr);
  Strings names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.')
      names.push_back(entry->d_name);
  }
  closedir(dir);
  EXPECT_EQ(names, Strings{std::string(kAppId) + ".conf"});
}

TEST_F(Registration, RegServerAfterServiceRemovesTheService) {
  ASSERT_EQ(run("wendrel -Service"), S_OK);
  ASSERT_EQ(run("wendrel /regserver"), S_OK);
  EXPECT_FALSE(exists(kUnit));
  EXPECT_EQ(systemctlCalls(), (Strings{"daemon-reload", "stop wendrel.service", "daemon-reload"}));
  EXPECT_TRUE(exists(appIdRecord()));
  EXPECT_EQ(read(appIdRecord()), "");
  EXPECT_TRUE(exists(typeLibRecord()));
}

TEST_F(Registration, UnregServerKeepsTheEmptyAppIdRecord) {
  ASSERT_EQ(run("wendrel -Service"), S_OK);
  ASSERT_EQ(run("wendrel -UnregServer"), S_OK);
  EXPECT_FALSE(exists(kUnit));
  EXPECT_FALSE(exists(typeLibRecord()));
  EXPECT_TRUE(exists(appIdRecord()));
  EXPECT_EQ(read(appIdRecord()), "");
}

TEST_F(Registration, UnregServerWithNothingRegisteredFailsOnTheTypeLibrary) {
  EXPECT_EQ(run("wendrel -UnregServer"), TYPE_E_REGISTRYACCESS);
  EXPECT_FALSE(exists("/var/lib/wendrel"));
  EXPECT_TRUE(systemctlCalls().empty());
}

TEST_F(Registration, UnregServerWithoutAppIdRecordFailsWithFileNotFound) {
  ASSERT_EQ(run("wendrel -RegServer"), S_OK);
  ASSERT_EQ(files::removeFile(root_ + appIdRecord()), 0);
  EXPECT_EQ(run("wendrel -UnregServer"), static_cast<int32_t>(0x80070002u));
}

TEST_F(Registration, NoServiceManagerLeavesLocalServiceSet) {
  ASSERT_EQ(::rmdir((root_ + "/run/systemd/system").c_str()), 0);
  EXPECT_EQ(run("wendrel -Service"), E_FAIL);
  EXPECT_EQ(messages_.shown, Strings{"Wendrel: Could not open Service Manager"});
  EXPECT_EQ(read(appIdRecord()), "LocalService = \"Wendrel\"\n");
  EXPECT_FALSE(exists(kUnit));
  EXPECT_FALSE(exists(typeLibRecord()));
  // Nothing to uninstall when the manager cannot be opened: a plain registration succeeds.
  messages_.shown.clear();
  EXPECT_EQ(run("wendrel -RegServer"), S_OK);
  EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(Registration, FailedStopShowsAMessageAndStillDeletes) {
  ASSERT_EQ(run("wendrel -Service"), S_OK);
  systemctlFails("stop", 5);  // not loaded: nothing to stop, no message
  ASSERT_EQ(run("wendrel -Service"), S_OK);
  EXPECT_TRUE(messages_.shown.empty());
  systemctlFails("stop", 1);
  EXPECT_EQ(run("wendrel -RegServer"), S_OK);
  EXPECT_EQ(messages_.shown, Strings{"Wendrel: Could not stop service"});
  EXPECT_FALSE(exists(kUnit));
}

TEST_F(Registration, FailedReloadLeavesNoUnit) {
  systemctlFails("daemon-reload", 1);
  EXPECT_EQ(run("wendrel -Service"), E_FAIL);
  EXPECT_EQ(messages_.shown, Strings{"Wendrel: Could not start service"});
  EXPECT_FALSE(exists(kUnit));
}

TEST_F(Registration, UnitThatIsNoFileCannotBeReplaced) {
  ASSERT_EQ(::mkdir((root_ + kUnit).c_str(), 0755), 0);
  EXPECT_EQ(run("wendrel -Service"), E_FAIL);
  EXPECT_EQ(messages_.shown, Strings{"Wendrel: Could not open service"});
  ASSERT_EQ(::rmdir((root_ + kUnit).c_str()), 0);
}

TEST_F(Registration, FailedDeletionFailsTheSwitch) {
  ASSERT_EQ(run("wendrel -Service"), S_OK);
  systemctlFails("daemon-reload", 1);
  EXPECT_EQ(run("wendrel -UnregServer"), E_FAIL);
  EXPECT_EQ(messages_.shown, Strings{"Wendrel: Could not delete service"});
}

TEST_F(Registration, PerUserRecordsGoToTheUsersDataDirectory) {
  ASSERT_EQ(run("wendrel -RegServerPerUser"), S_OK);
  const std::string user = "/home/.local/share/wendrel/";
  EXPECT_TRUE(exists(user + "AppID/" + kAppId + ".conf"));
  EXPECT_TRUE(exists(user + "TypeLib/" + kAppId + ".conf"));
  EXPECT_FALSE(exists("/var/lib/wendrel"));
  ASSERT_EQ(run("wendrel -UnregServerPerUser"), S_OK);
  EXPECT_FALSE(exists(user + "TypeLib/" + kAppId + ".conf"));
  EXPECT_TRUE(exists(user + "AppID/" + kAppId + ".conf"));

  // Without XDG_DATA_HOME the user's home decides; without either there is no location.
  unsetenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  const std::string savedHome = home ? home : "";
  unsetenv("HOME");
  const int32_t status = run("wendrel -RegServerPerUser");
  if (!savedHome.empty())
    setenv("HOME", savedHome.c_str(), 1);
  EXPECT_EQ(status, static_cast<int32_t>(0x80070003u));
}

TEST_F(Registration, UnwritableRecordsFailWithTheMappedStatus) {
  // A file where the records' directory should be.
  files::makeDirectories(root_ + "/var/lib");
  std::ofstream(root_ + "/var/lib/wendrel") << "";
  EXPECT_EQ(run("wendrel -RegServer"), static_cast<int32_t>(0x80070003u));
}

TEST(StatusCodes, MapErrnoAndExitStatus) {
  EXPECT_EQ(hresultFromWin32(win32FromErrno(ENOENT)), static_cast<int32_t>(0x80070002u));
  EXPECT_EQ(win32FromErrno(ENOTDIR), 3);
  EXPECT_EQ(win32FromErrno(EACCES), 5);
  EXPECT_EQ(win32FromErrno(EPERM), 5);
  EXPECT_EQ(win32FromErrno(EROFS), 5);
  EXPECT_EQ(win32FromErrno(ENOSPC), 112);
  EXPECT_EQ(win32FromErrno(EIO), 29);
  EXPECT_EQ(hresultFromWin32(0), 0);
  EXPECT_EQ(hresultFromWin32(-5), -5);
  EXPECT_EQ(hresultFromWin32(0x12345), static_cast<int32_t>(0x80072345u));
  EXPECT_EQ(exitStatusFromStatus(0), 0);
  EXPECT_EQ(exitStatusFromStatus(2), 2);
  EXPECT_EQ(exitStatusFromStatus(1063), 0x27);
  EXPECT_EQ(exitStatusFromStatus(E_FAIL), 5);
  EXPECT_EQ(exitStatusFromStatus(static_cast<int32_t>(0x80070100u)), 1);  // never 0 on failure
  EXPECT_EQ(exitStatusFromStatus(-1), 255);
}

}  // namespace
}  // namespace wendrel
