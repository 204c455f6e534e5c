#include "linux_signal_source.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace wendrel {
namespace {

sigset_t handledSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2})
    sigaddset(&set, sig);
  return set;
}

}  // namespace

void LinuxSignalSource::blockSignals() {
  const sigset_t set = handledSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // An ignored signal is discarded before signalfd could see it, and a parent may have left
  // one ignored (nohup does so with SIGHUP).
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2})
    ::signal(sig, SIG_DFL);
  ::signal(SIGPIPE, SIG_IGN);
}

LinuxSignalSource::LinuxSignalSource() {
  const sigset_t set = handledSignals();
  signalFd_ = ::signalfd(-1, &set, SFD_CLOEXEC);
  if (signalFd_ < 0) {
    error_ = std::string("signalfd: ") + std::strerror(errno);
    return;
  }
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0)
    error_ = std::string("eventfd: ") + std::strerror(errno);
}

LinuxSignalSource::~LinuxSignalSource() {
  if (signalFd_ >= 0)
    ::close(signalFd_);
  if (wakeFd_ >= 0)
    ::close(wakeFd_);
}

int LinuxSignalSource::wait() {
  if (!error_.empty())
    return kFailed;
  for (;;) {
    pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      error_ = std::string("poll: ") + std::strerror(errno);
      return kFailed;
    }
    if (fds[1].revents & POLLIN) {
      uint64_t count = 0;
      if (::read(wakeFd_, &count, sizeof count) < 0) { /* already drained */
      }
      return 0;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        switch (static_cast<int>(info.ssi_signo)) {
          case SIGTERM:
          case SIGINT:
            return 1;
          case SIGUSR1:
            return 128;
          case SIGUSR2:
            return 129;
          case SIGHUP:
            return 6;
          default:
            return 4;
        }
      }
    }
  }
}

void LinuxSignalSource::wake() {
  if (wakeFd_ < 0)
    return;
  const uint64_t one = 1;
  if (::write(wakeFd_, &one, sizeof one) < 0) { /* the counter is already set */
  }
}

}  // namespace wendrel
