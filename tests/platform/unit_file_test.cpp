// The unit that registration writes when the settings ask for Capture = "ebpf": the kernel
// sampler's capabilities and system call on top of the usual ones, and only then; systemd
// takes it, and its exposure stays within what the extra capabilities cost.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "../service/service_fakes.h"
#include "systemd_service_manager.h"
#include "test_util.h"

namespace wendrel {
namespace {

namespace fs = std::filesystem;

TEST(UnitFile, KernelSamplingGrantsItsCapabilitiesOnlyWhenAsked) {
  char pattern[] = "/tmp/wendrel-unit.XXXXXX";
  const std::string root = ::mkdtemp(pattern);
  fs::create_directories(root + "/run/systemd/system");
  fs::create_directories(root + "/etc/systemd/system");
  ::setenv("WENDREL_ROOT", (root + "/").c_str(), 1);
  ::setenv("WENDREL_SYSTEMCTL", "true", 1);
  const std::string unit = root + "/etc/systemd/system/wendrel.service";
  const std::string self = fs::read_symlink("/proc/self/exe");
  for (const auto& [settings, ebpf] : {std::pair{"Capture = ebpf", true},
                                       {"Capture = \"EBPF\"", true},
                                       {"Capture = pcap", false},
                                       {"Capture = 1", false},
                                       {"", false}}) {
    test::FakeSettings store(settings);
    SystemdServiceManager manager("wendrel.service", &store);
    ASSERT_TRUE(manager.create(self)) << settings;
    const std::string text = test::readFile(unit);
    const bool granted =
        text.find("\nAmbientCapabilities=CAP_NET_RAW CAP_BPF CAP_NET_ADMIN\n") != text.npos &&
        text.find("\nCapabilityBoundingSet=CAP_NET_RAW CAP_BPF CAP_NET_ADMIN\n") != text.npos &&
        text.find("\nSystemCallFilter=bpf\n") != text.npos;
    EXPECT_EQ(ebpf, granted) << settings;
    EXPECT_EQ(ebpf, text.find("CAP_BPF") != text.npos) << settings;
    if (ebpf && test::shell("systemd-analyze --version >/dev/null")) {
      // The README states this figure as what sampling in the kernel costs in exposure.
      const std::string report = root + "/report", key = "exposure level for wendrel.service: ";
      test::shell("systemd-analyze verify " + unit + " >" + report + " 2>&1; true");
      EXPECT_EQ(test::readFile(report), "");
      test::shell("systemd-analyze security --offline=true " + unit + " >" + report +
                  " 2>&1; true");
      const std::string out = test::readFile(report);
      const size_t at = out.find(key);
      EXPECT_LE(at == out.npos ? 10 : std::stod(out.substr(at + key.size())), 1.9) << out;
    }
  }
  ::unsetenv("WENDREL_ROOT");
  fs::remove_all(root);
}

}  // namespace
}  // namespace wendrel
