// ServiceManager for systemd: the unit file etc/systemd/system/<unit> under the root prefix
// and the systemctl named by WENDREL_SYSTEMCTL (default "systemctl"). Without that file, the
// package's unit in lib/systemd/system (or usr/lib/systemd/system) is the service's.
#pragma once

#include <string>
#include <vector>

#include "service_manager.h"
#include "settings_store.h"

namespace wendrel {

class SystemdServiceManager : public ServiceManager {
 public:
  // With `settings`, the unit grants what Capture = "ebpf" needs when they ask for it.
  explicit SystemdServiceManager(std::string unitName, SettingsStore* settings = nullptr);

  bool open() override;
  UnitState unitState() override;
  bool create(const std::string& executable) override;
  bool stop() override;
  bool remove() override;

  // systemctl's exit status, or -1 when it could not be run.
  static int runSystemctl(const std::vector<std::string>& args);

 private:
  std::string unitPath() const;

  std::string unitName_;
  SettingsStore* settings_;
};

}  // namespace wendrel
