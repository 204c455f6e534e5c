#include "unit_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "files.h"

namespace wendrel {
namespace {

TEST(UnitFile, ExecStartIsTheQuotedPathAlone) {
  EXPECT_EQ(quotedExecStart("/usr/sbin/wendrel"), "\"/usr/sbin/wendrel\"");
  EXPECT_EQ(quotedExecStart("/opt/my agent/wendrel"), "\"/opt/my agent/wendrel\"");
  // Nothing of the path may be expanded or unquoted by systemd.
  EXPECT_EQ(quotedExecStart("/opt/a\"b\\c%d$e/w"), "\"/opt/a\\\"b\\\\c%%d$$e/w\"");
  EXPECT_FALSE(quotedExecStart("wendrel"));
  EXPECT_FALSE(quotedExecStart("/opt/a\nb/w"));

  const auto text = unitFileText("/usr/sbin/wendrel");
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("\nExecStart=\"/usr/sbin/wendrel\"\n"), std::string::npos);
  EXPECT_EQ(text->find("@EXEC_START@"), std::string::npos);
  for (const char* line : {"Type=notify", "Wants=network-online.target",
                           "After=network-online.target", "WantedBy=multi-user.target",
                           "LogsDirectory=wendrel", "CapabilityBoundingSet=CAP_NET_RAW"}) {
    EXPECT_NE(text->find(std::string("\n") + line + "\n"), std::string::npos) << line;
  }
}

// systemd's own checker accepts the unit that registration writes.
TEST(UnitFile, SystemdAnalyzeVerifyAcceptsIt) {
  if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed";
  }
  char pattern[] = "/tmp/wendrel-unit-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string unit = dir + "/wendrel.service";
  // ExecStart must name an existing executable: this test's own binary.
  const auto text = unitFileText(files::executablePath());
  ASSERT_TRUE(text);
  std::ofstream(unit) << *text;
  const std::string log = dir + "/verify.log";
  const int rc = std::system(("systemd-analyze verify '" + unit + "' >'" + log + "' 2>&1").c_str());
  std::string output;
  files::readFile(log, output);
  unlink(unit.c_str());
  unlink(log.c_str());
  rmdir(dir.c_str());
  EXPECT_EQ(rc, 0) << output;
  EXPECT_EQ(output, "");
}

}  // namespace
}  // namespace wendrel
