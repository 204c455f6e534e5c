// The service manager's view of the service: whether it started the process, and the status
// reports it receives.
#pragma once

#include <string>

namespace wendrel {

class ServiceNotifier {
 public:
  virtual ~ServiceNotifier() = default;
  // True when the service manager started the process and listens for reports.
  virtual bool startedByServiceManager() = 0;
  // Sends one report ("READY=1\nSTATUS=Running", ...).
  virtual void notify(const std::string& state) = 0;
};

}  // namespace wendrel
