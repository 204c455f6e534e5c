// ServiceNotifier over sd_notify: the unit is Type=notify, so NOTIFY_SOCKET is set exactly
// when systemd started the process.
#pragma once

#include "service_notifier.h"

namespace wendrel {

class SystemdNotifier : public ServiceNotifier {
 public:
  bool startedByServiceManager() override;
  void notify(const std::string& state) override;
};

}  // namespace wendrel
