// The system log that receives the service's own few information events.
#pragma once

#include <string>

namespace wendrel {

class EventLog {
 public:
  virtual ~EventLog() = default;
  // Writes one information event under `source`.
  virtual void write(const std::string& source, const std::string& text) = 0;
};

}  // namespace wendrel
