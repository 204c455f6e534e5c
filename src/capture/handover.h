// A value handed from any thread to the one thread that applies it: the latest one put wins,
// and take() leaves nothing behind.
#pragma once

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>
#include <optional>
#include <utility>

namespace wendrel {

template <class T>
class Handover {
 public:
  void put(T value) {
    boost::lock_guard<boost::mutex> lock(mutex);
    pending = std::move(value);
  }
  std::optional<T> take() {
    boost::lock_guard<boost::mutex> lock(mutex);
    return std::exchange(pending, std::nullopt);
  }

 private:
  boost::mutex mutex;
  std::optional<T> pending;
};

}  // namespace wendrel
