// What every worker thread needs from the host: a name for top -H and debuggers, and a
// signal mask that leaves signals to the main thread. Declared here and defined by the
// platform library, which every program that starts these threads links.
#pragma once

#include <memory>

namespace wendrel::platform {

// Names the calling thread; names longer than the kernel keeps (15 characters) are cut.
void nameThisThread(const char* name);

// Blocks every asynchronous signal in the calling thread for the life of the object, so
// that threads created meanwhile inherit the mask: only the main thread handles signals.
// Faults stay unblocked so that a crash is still reported where it happens.
class WorkerSignalMask {
 public:
  WorkerSignalMask();
  ~WorkerSignalMask();
  WorkerSignalMask(const WorkerSignalMask&) = delete;
  WorkerSignalMask& operator=(const WorkerSignalMask&) = delete;

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

}  // namespace wendrel::platform
