// The threads of the operations: recordings worked on side by side, and a
// count of finished samples that one thread publishes and another waits on.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "ops/options.h"

namespace kinovar {

// How many samples of a stream are final. A mutex and a condition variable
// rather than an atomic wait: some C++ libraries (mingw's) lose atomic wake-ups.
class Progress {
 public:
  void publish(uint64_t finished) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = finished;
    }
    changed_.notify_all();
  }
  void await(uint64_t needed) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return finished_ >= needed; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t finished_ = 0;
};

// Runs task(i) for every i on up to `threads` threads (the caller's among
// them). The recordings of a set are independent until they are synchronised,
// and their files after that, so working on them side by side gives what one
// after the other gives. The first error raised is rethrown once every thread
// has finished.
template <typename Task>
void forEachIndex(size_t n, size_t threads, Task task) {
  threads = std::min(n, std::max<size_t>(1, threads));
  size_t next = 0;
  std::mutex mutex;
  std::exception_ptr error;
  const auto work = [&] {
    for (;;) {
      size_t i;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (next >= n) return;
        i = next++;
      }
      try {
        task(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!error) error = std::current_exception();
      }
    }
  };
  std::vector<std::jthread> pool;
  for (size_t t = 1; t < threads; ++t) {
    try {
      pool.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads still do all the work
    }
  }
  work();
  pool.clear();  // joins
  if (error) std::rethrow_exception(error);
}

inline size_t coreCount() { return std::max(1u, std::thread::hardware_concurrency()); }

inline unsigned threadBudget(const ConversionOptions& options) {
  return options.threads ? options.threads : static_cast<unsigned>(coreCount());
}

}  // namespace kinovar
