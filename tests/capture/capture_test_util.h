// Small helpers shared by the capture tests.
#pragma once

#include <log4cplus/loglevel.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace wendrel::test {

constexpr int kDebug = log4cplus::DEBUG_LOG_LEVEL;
constexpr int kInfo = log4cplus::INFO_LOG_LEVEL;
constexpr int kWarn = log4cplus::WARN_LOG_LEVEL;
constexpr int kError = log4cplus::ERROR_LOG_LEVEL;

// Polls `done` every 10 ms until it holds or `limit` has passed; returns its last value.
inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Milliseconds that `action` took.
inline long long millisecondsOf(const std::function<void()>& action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace wendrel::test
