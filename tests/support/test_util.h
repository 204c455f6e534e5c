// Small helpers every kind of test uses: a shell command, a whole file, waiting for a
// condition, timing an action.
#pragma once

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

namespace wendrel::test {

using Millis = std::chrono::milliseconds;

// True when `command` exits 0; its output is dropped.
inline bool shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Polls `done` every 10 ms until it holds or `timeout` passes; returns its last value.
inline bool waitFor(const std::function<bool()>& done, Millis timeout = Millis(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(Millis(10));
  return done();
}

inline long long millisecondsOf(const std::function<void()>& action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return (std::chrono::steady_clock::now() - start) / Millis(1);
}

}  // namespace wendrel::test
