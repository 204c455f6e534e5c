// SignalSource over signalfd. SIGTERM and SIGINT are the stop control, SIGUSR1 and SIGUSR2
// user-defined controls 128 and 129, SIGHUP the settings-changed control (6). The
// signals must have been blocked by blockSignals() before any thread was created.
#pragma once

#include <string>

#include "signal_source.h"

namespace wendrel {

class LinuxSignalSource : public SignalSource {
 public:
  LinuxSignalSource();
  ~LinuxSignalSource() override;
  LinuxSignalSource(const LinuxSignalSource&) = delete;
  LinuxSignalSource& operator=(const LinuxSignalSource&) = delete;

  int wait() override;
  void wake() override;

  // Why the source cannot receive signals ("signalfd: ..."); empty when it can.
  const std::string& error() const { return error_; }

  // Blocks the handled signals in the calling thread (and so in every thread it creates
  // later) and ignores SIGPIPE. Call first thing in the process entry.
  static void blockSignals();

 private:
  int signalFd_ = -1;
  int wakeFd_ = -1;
  std::string error_;
};

}  // namespace wendrel
