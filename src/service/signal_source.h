// The controls that reach the process from outside (on Linux: its signals), one at a time.
#pragma once

namespace wendrel {

class SignalSource {
 public:
  static constexpr int kWoken = 0;
  // The controls can no longer be received: nothing from outside can stop the process now.
  static constexpr int kFailed = -1;

  virtual ~SignalSource() = default;
  // Blocks until a control arrives (returns its service control code: 1 stop, 4 interrogate,
  // 6 the settings changed, 128 and up user-defined), wake() is called (kWoken) or waiting fails
  // (kFailed).
  virtual int wait() = 0;
  // Ends the current or the next wait(); safe from any thread.
  virtual void wake() = 0;
};

}  // namespace wendrel
