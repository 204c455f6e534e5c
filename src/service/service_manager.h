// The service manager as registration sees it: one service, created, stopped and deleted.
#pragma once

#include <string>

namespace wendrel {

class ServiceManager {
 public:
  // Packaged: no unit of the program's own, but one that the package installed (and owns):
  // the service exists, and only the package may delete it.
  enum class UnitState { Missing, RegularFile, Packaged, Other };

  virtual ~ServiceManager() = default;
  // True when the service manager runs and accepts new services (full access).
  virtual bool open() = 0;
  virtual UnitState unitState() = 0;
  // Creates the service that runs `executable` (a full path) with no arguments; on failure,
  // a path the service manager cannot take included, nothing is left behind.
  virtual bool create(const std::string& executable) = 0;
  // Asks the service to stop: true when it was stopped or was not running.
  virtual bool stop() = 0;
  // Deletes the service.
  virtual bool remove() = 0;
};

}  // namespace wendrel
