#include "stderr_message_sink.h"

#include <cstdio>

namespace wendrel {

void StderrMessageSink::show(const std::string& caption, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
}

}  // namespace wendrel
