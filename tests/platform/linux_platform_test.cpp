// The Linux implementations of the seams, on a scratch root prefix with a systemctl that
// records its calls and exits with the code in systemctl.<verb> when that file exists.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>

#include "file_record_store.h"
#include "linux_signal_source.h"
#include "systemd_service_manager.h"
#include "test_util.h"

namespace wendrel {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using State = ServiceManager::UnitState;

class ScratchRoot : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/wendrel-root.XXXXXX";
    ASSERT_NE(root = ::mkdtemp(pattern), "");
    std::ofstream(root + "/systemctl") << "#!/bin/sh\necho \"$*\" >> \"$0.log\"\n"
                                       << "[ -f \"$0.$1\" ] && exit $(cat \"$0.$1\")\nexit 0\n";
    fs::permissions(root + "/systemctl", fs::perms::owner_all);
    ::setenv("WENDREL_ROOT", (root + "/").c_str(), 1);
    ::setenv("WENDREL_SYSTEMCTL", (root + "/systemctl").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(root); }
  std::string root;
};

TEST_F(ScratchRoot, SystemdServiceManagerWritesTheUnitAndReloads) {
  SystemdServiceManager manager("wendrel.service");
  const std::string unit = root + "/etc/systemd/system/wendrel.service";
  EXPECT_FALSE(manager.open());  // systemd does not run
  for (const char* dir : {"/run/systemd/system", "/etc/systemd/system", "/lib/systemd/system"})
    fs::create_directories(root + dir);
  ASSERT_TRUE(manager.open());
  EXPECT_EQ(manager.unitState(), State::Missing);
  std::ofstream(root + "/lib/systemd/system/wendrel.service") << "[Service]\n";
  EXPECT_EQ(manager.unitState(), State::Packaged);  // until there is one of its own
  EXPECT_FALSE(manager.create("wendrel"));          // not absolute: no unit, no reload
  EXPECT_FALSE(manager.create("/opt/a\nb/w"));
  std::ofstream(root + "/systemctl.daemon-reload") << 1;
  EXPECT_FALSE(manager.create("/opt/wendrel"));
  EXPECT_FALSE(fs::exists(unit));
  fs::remove(root + "/systemctl.daemon-reload");
  // Nothing of the path may be expanded or unquoted.
  ASSERT_TRUE(manager.create("/opt/a\"b\\c%d$e/w"));
  EXPECT_NE(readFile(unit).find("\nExecStart=\"/opt/a\\\"b\\\\c%%d$$e/w\"\n"), std::string::npos);
  EXPECT_EQ(manager.unitState(), State::RegularFile);
  for (const auto& [code, stopped] : {std::pair{0, true}, {5, true}, {1, false}}) {
    std::ofstream(root + "/systemctl.stop") << code;  // 5: not loaded, nothing to stop
    EXPECT_EQ(manager.stop(), stopped) << code;
  }
  ASSERT_TRUE(manager.remove());
  EXPECT_EQ(readFile(root + "/systemctl.log"),
            "daemon-reload\ndaemon-reload\nstop wendrel.service\nstop wendrel.service\n"
            "stop wendrel.service\ndaemon-reload\n");
  fs::create_directory(unit);  // e.g. masked: there, but no file to replace
  EXPECT_EQ(manager.unitState(), State::Other);
}

TEST_F(ScratchRoot, FileRecordStorePlacesTheRecords) {
  FileRecordStore store("{a}");
  Record record;
  record.setString("LocalService", "Wendrel");
  ASSERT_EQ(store.write(RecordStore::Kind::AppId, false, record), 0);
  EXPECT_EQ(readFile(root + "/var/lib/wendrel/AppID/{a}.conf"), "LocalService = \"Wendrel\"\n");
  EXPECT_EQ(store.remove(RecordStore::Kind::TypeLib, false), 2);
  ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
  EXPECT_EQ(store.path(RecordStore::Kind::TypeLib, true), root + "/data/wendrel/TypeLib/{a}.conf");
  ::setenv("XDG_DATA_HOME", "relative", 1);
  ::setenv("HOME", root.c_str(), 1);
  EXPECT_EQ(store.path(RecordStore::Kind::AppId, true),
            root + "/.local/share/wendrel/AppID/{a}.conf");
  ::unsetenv("HOME");
  EXPECT_EQ(store.write(RecordStore::Kind::AppId, true, record), 3);  // no user location
  fs::remove_all(root + "/var/lib/wendrel");
  std::ofstream(root + "/var/lib/wendrel") << "";  // where the records' directory belongs
  EXPECT_EQ(store.write(RecordStore::Kind::AppId, false, record), 3);
}

TEST(LinuxSignalSource, MapsSignalsToControlsAndReportsFailure) {
  LinuxSignalSource::blockSignals();
  LinuxSignalSource source;
  ASSERT_EQ(source.error(), "");
  for (const auto& [sig, control] : std::vector<std::pair<int, int>>{
           {SIGTERM, 1}, {SIGINT, 1}, {SIGUSR1, 128}, {SIGUSR2, 129}, {SIGHUP, 6}}) {
    ASSERT_EQ(::kill(::getpid(), sig), 0);  // to the process, as kill(1) sends it
    EXPECT_EQ(source.wait(), control) << sig;
  }
  // No descriptor left: the source says why and never waits.
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  const rlimit none{3, limit.rlim_max};
  ::setrlimit(RLIMIT_NOFILE, &none);
  LinuxSignalSource starved;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  EXPECT_EQ(starved.error(), "signalfd: Too many open files");
  EXPECT_EQ(starved.wait(), SignalSource::kFailed);
}

}  // namespace
}  // namespace wendrel
