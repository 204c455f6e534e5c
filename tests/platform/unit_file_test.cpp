// The unit grants what sampling in the kernel needs only when the settings ask for it; systemd
// takes it, and its exposure is the figure the README gives.
#include <gtest/gtest.h>

#include <filesystem>

#include "../service/service_fakes.h"
#include "systemd_service_manager.h"
#include "test_util.h"

namespace wendrel::test {
namespace {

TEST(UnitFile, KernelSamplingGrantsItsCapabilitiesOnlyWhenAsked) {
  char pattern[] = "/tmp/wendrel-unit.XXXXXX";
  const std::string root = ::mkdtemp(pattern), unit = root + "/etc/systemd/system/wendrel.service";
  std::filesystem::create_directories(root + "/etc/systemd/system");
  ::setenv("WENDREL_ROOT", (root + "/").c_str(), 1);
  ::setenv("WENDREL_SYSTEMCTL", "true", 1);
  for (const auto& [settings, ebpf] : {std::pair{"Capture = ebpf", true},
                                       {"Capture = \"EBPF\"", true},
                                       {"Capture = pcap", false},
                                       {"Capture = 1", false},
                                       {"", false}}) {
    FakeSettings store(settings);
    ASSERT_TRUE(SystemdServiceManager("wendrel.service", &store).create("/bin/true"));
    const std::string text = readFile(unit);
    const std::string caps = "=CAP_NET_RAW CAP_BPF CAP_NET_ADMIN\n";
    EXPECT_EQ(ebpf ? 3 : 0, (text.find("\nAmbientCapabilities" + caps) != text.npos) +
                                (text.find("\nCapabilityBoundingSet" + caps) != text.npos) +
                                (text.find("\nSystemCallFilter=bpf\n") != text.npos))
        << settings;
    EXPECT_EQ(ebpf, text.find("CAP_BPF") != text.npos) << settings;
  }
  FakeSettings store("Capture = ebpf");
  SystemdServiceManager("wendrel.service", &store).create("/bin/true");
  if (shell("systemd-analyze --version >/dev/null")) {
    const std::string report = root + "/report", key = "exposure level for wendrel.service: ";
    shell("systemd-analyze verify " + unit + " >" + report + " 2>&1; true");
    EXPECT_EQ(readFile(report), "");
    shell("systemd-analyze security --offline=true " + unit + " >" + report + " 2>&1; true");
    const std::string out = readFile(report);
    const size_t at = out.find(key);
    EXPECT_LE(at == out.npos ? 10 : std::stod(out.substr(at + key.size())), 1.9) << out;
  }
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace wendrel::test
