#include "command_line.h"

#include <gtest/gtest.h>

#include "fakes.h"
#include "status_codes.h"

namespace wendrel {
namespace {

using test::FakeRegistration;
using Calls = std::vector<std::string>;

const Calls kRegServer = {"RegisterAppId(server)", "RegisterServer(tlb)"};
const Calls kService = {"RegisterAppId(service)", "RegisterServer(tlb)"};
const Calls kUnregServer = {"UnregisterServer(tlb)", "UnregisterAppId"};

struct Case {
  const char* line;
  bool starts;  // true: no switch, the agent starts
  Calls calls;
};

class CommandLineGrammar : public testing::TestWithParam<Case> {};

TEST_P(CommandLineGrammar, ActsOnTheDecidingSwitchOnly) {
  FakeRegistration ops;
  int32_t status = -1;
  EXPECT_EQ(parseCommandLine(GetParam().line, ops, status), GetParam().starts);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ops.calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, CommandLineGrammar,
    testing::Values(
        // Case and the two switch characters.
        Case{"/usr/sbin/wendrel -regserver", false, kRegServer},
        Case{"/usr/sbin/wendrel /RegServer", false, kRegServer},
        Case{"/usr/sbin/wendrel /REGSERVER", false, kRegServer},
        Case{"/usr/sbin/wendrel -UnRegServer", false, kUnregServer},
        Case{"wendrel -RegServerPerUser",
             false,
             {"PerUser", "RegisterAppId(server)", "RegisterServer(tlb)"}},
        Case{"wendrel -UnregServerPerUser",
             false,
             {"PerUser", "UnregisterServer(tlb)", "UnregisterAppId"}},
        // The first '-' gives "-Service", which matches nothing; the second gives "Service".
        Case{"wendrel --Service", false, kService}, Case{"wendrel -service\t", false, kService},
        // A candidate ends only at a space, a tab or the end of the line.
        Case{"wendrel -RegServerX", true, {}}, Case{"wendrel -Services", true, {}},
        Case{"wendrel -Service\"", true, {}}, Case{"wendrel \"-Service\\\"\"", true, {}},
        Case{"wendrel Service RegServer", true, {}}, Case{"wendrel", true, {}},
        // Registration switches are looked for over the whole line before "Service".
        Case{"wendrel -Service -RegServer", false, kRegServer},
        Case{"wendrel -Service /UnregServer", false, kUnregServer},
        // The leftmost match decides.
        Case{"wendrel -RegServer -UnregServer", false, kRegServer},
        Case{"wendrel -UnregServer -RegServer", false, kUnregServer},
        // The program's own path is scanned too.
        Case{"/opt/my-agent/wendrel", true, {}}, Case{"/opt/x-Service/wendrel", true, {}},
        Case{"\"/opt/my agent/-Service/wendrel\"", true, {}},
        Case{"/tmp/-service", false, kService},
        Case{"/tmp/-RegServer -Service", false, kRegServer}));

TEST(CommandLine, FailedFirstStepEndsTheSwitchWithItsStatus) {
  FakeRegistration ops;
  ops.results["UnregisterServer"] = TYPE_E_REGISTRYACCESS;
  int32_t status = 0;
  EXPECT_FALSE(parseCommandLine("wendrel -UnregServer", ops, status));
  EXPECT_EQ(status, TYPE_E_REGISTRYACCESS);
  EXPECT_EQ(ops.calls, Calls{"UnregisterServer(tlb)"});

  FakeRegistration service;
  service.results["RegisterAppId"] = E_FAIL;
  EXPECT_FALSE(parseCommandLine("wendrel -Service", service, status));
  EXPECT_EQ(status, E_FAIL);
  EXPECT_EQ(service.calls, Calls{"RegisterAppId(service)"});
}

TEST(CommandLine, LastStepsStatusIsTheResult) {
  FakeRegistration ops;
  ops.results["RegisterServer"] = static_cast<int32_t>(0x80070005u);
  int32_t status = 0;
  EXPECT_FALSE(parseCommandLine("wendrel -RegServer", ops, status));
  EXPECT_EQ(status, static_cast<int32_t>(0x80070005u));
  EXPECT_EQ(ops.calls, kRegServer);
}

TEST(CommandLineQuoting, QuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(quoteArgument("-RegServer"), "-RegServer");
  EXPECT_EQ(quoteArgument(""), "\"\"");
  EXPECT_EQ(quoteArgument("a b"), "\"a b\"");
  EXPECT_EQ(quoteArgument("a\tb"), "\"a\tb\"");
  EXPECT_EQ(quoteArgument("say \"hi\""), "\"say \\\"hi\\\"\"");
  // Backslashes are literal unless they come before a quotation mark.
  EXPECT_EQ(quoteArgument("a\\b"), "a\\b");
  EXPECT_EQ(quoteArgument("a\\\"b"), "\"a\\\\\\\"b\"");
  EXPECT_EQ(quoteArgument("dir\\ x\\"), "\"dir\\ x\\\\\"");
  EXPECT_EQ(quoteArgument("a\\\\ b"), "\"a\\\\ b\"");
}

TEST(CommandLineQuoting, RebuildsTheLineFromArgv) {
  const char* argv[] = {"/opt/my agent/wendrel", "-Service\"", "", "/RegServer"};
  const std::string line = buildCommandLine(4, argv);
  EXPECT_EQ(line, "\"/opt/my agent/wendrel\" \"-Service\\\"\" \"\" /RegServer");
  // The argument that held a quotation mark keeps it, so it is no "Service" switch.
  FakeRegistration ops;
  int32_t status = 0;
  EXPECT_FALSE(parseCommandLine(line, ops, status));
  EXPECT_EQ(ops.calls, kRegServer);

  const char* quoted[] = {"wendrel", "-Service\""};
  FakeRegistration none;
  EXPECT_TRUE(parseCommandLine(buildCommandLine(2, quoted), none, status));
  EXPECT_TRUE(none.calls.empty());
}

}  // namespace
}  // namespace wendrel
