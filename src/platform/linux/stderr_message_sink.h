// MessageSink as one line on stderr: "<caption>: <text>".
#pragma once

#include "message_sink.h"

namespace wendrel {

class StderrMessageSink : public MessageSink {
 public:
  void show(const std::string& caption, const std::string& text) override;
};

}  // namespace wendrel
