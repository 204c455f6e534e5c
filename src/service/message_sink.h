// Where installation failures are shown to whoever ran the switch.
#pragma once

#include <string>

namespace wendrel {

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void show(const std::string& caption, const std::string& text) = 0;
};

// One line on stderr: "<caption>: <text>".
class StderrMessageSink : public MessageSink {
 public:
  void show(const std::string& caption, const std::string& text) override;
};

}  // namespace wendrel
