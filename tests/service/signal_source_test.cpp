#include "linux_signal_source.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <thread>

namespace wendrel {
namespace {

// Signals map to the service controls the module understands; wake() ends a wait.
TEST(LinuxSignalSource, MapsSignalsToControls) {
  sigset_t saved;
  pthread_sigmask(SIG_SETMASK, nullptr, &saved);
  LinuxSignalSource::blockSignals();
  {
    LinuxSignalSource source;
    for (const auto& [sig, control] : std::vector<std::pair<int, int>>{
             {SIGTERM, 1}, {SIGINT, 1}, {SIGUSR1, 128}, {SIGUSR2, 129}, {SIGHUP, 4}}) {
      // Sent to the process, as kill does: only this thread may take it.
      ASSERT_EQ(::kill(::getpid(), sig), 0);
      EXPECT_EQ(source.wait(), control) << sig;
    }
    std::thread waker([&] { source.wake(); });
    EXPECT_EQ(source.wait(), 0);
    waker.join();
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
}

}  // namespace
}  // namespace wendrel
