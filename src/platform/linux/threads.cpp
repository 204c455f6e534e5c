#include "worker_threads.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <initializer_list>

namespace wendrel::platform {

void nameThisThread(const char* name) {
  char shortName[16];  // the kernel keeps 15 characters
  std::snprintf(shortName, sizeof shortName, "%.15s", name);
  pthread_setname_np(pthread_self(), shortName);
}

struct WorkerSignalMask::Saved {
  sigset_t mask;
};

WorkerSignalMask::WorkerSignalMask() : saved_(std::make_unique<Saved>()) {
  sigset_t blocked;
  sigfillset(&blocked);
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT})
    sigdelset(&blocked, fault);
  pthread_sigmask(SIG_BLOCK, &blocked, &saved_->mask);
}

WorkerSignalMask::~WorkerSignalMask() {
  pthread_sigmask(SIG_SETMASK, &saved_->mask, nullptr);
}

}  // namespace wendrel::platform
