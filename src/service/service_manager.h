// The service manager as registration sees it: one service, created, stopped and deleted.
#pragma once

#include <string>

namespace wendrel {

class ServiceManager {
 public:
  enum class UnitState { Missing, RegularFile, Other };

  virtual ~ServiceManager() = default;
  // True when the service manager runs and accepts new services (full access).
  virtual bool open() = 0;
  virtual UnitState unitState() = 0;
  // Creates the service from its unit text; on failure nothing is left behind.
  virtual bool create(const std::string& unitText) = 0;
  // Asks the service to stop: true when it was stopped or was not running.
  virtual bool stop() = 0;
  // Deletes the service.
  virtual bool remove() = 0;
};

}  // namespace wendrel
