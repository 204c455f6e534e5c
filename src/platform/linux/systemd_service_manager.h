// ServiceManager for systemd: the unit file etc/systemd/system/<unit> under the root prefix
// and the systemctl named by WENDREL_SYSTEMCTL (default "systemctl"). Without that file, the
// package's unit in lib/systemd/system (or usr/lib/systemd/system) is the service's.
#pragma once

#include <string>
#include <vector>

#include "service_manager.h"

namespace wendrel {

class SystemdServiceManager : public ServiceManager {
 public:
  explicit SystemdServiceManager(std::string unitName);

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
};

}  // namespace wendrel
