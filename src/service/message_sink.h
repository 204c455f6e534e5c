// Where installation failures are shown to whoever ran the switch.
#pragma once

#include <string>

namespace wendrel {

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void show(const std::string& caption, const std::string& text) = 0;
};

}  // namespace wendrel
