// The threads of the operations: recordings worked on side by side, and a
// count of finished samples that one thread publishes and another waits on.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
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
// has finished. `waiting`, when given, is called every kWaitingPeriod on the
// caller's thread while it has no task left and others still work: only that
// thread may tell a caller how far the work has come.
inline constexpr std::chrono::milliseconds kWaitingPeriod{100};

template <typename Task>
void forEachIndex(size_t n, size_t threads, Task task, const std::function<void()>& waiting = {}) {
  threads = std::min(n, std::max<size_t>(1, threads));
  size_t next = 0, busy = 0;
  std::mutex mutex;
  std::condition_variable idle;
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
      {
        std::lock_guard<std::mutex> lock(mutex);
        ++busy;
      }
      pool.emplace_back([&] {
        work();
        std::lock_guard<std::mutex> lock(mutex);
        --busy;
        idle.notify_all();
      });
    } catch (const std::system_error&) {
      std::lock_guard<std::mutex> lock(mutex);
      --busy;
      break;  // fewer threads still do all the work
    }
  }
  work();
  if (waiting) {
    std::unique_lock<std::mutex> lock(mutex);
    while (!idle.wait_for(lock, kWaitingPeriod, [&] { return busy == 0; })) {
      lock.unlock();
      try {
        waiting();
      } catch (...) {
        lock.lock();
        if (!error) error = std::current_exception();
        break;
      }
      lock.lock();
    }
  }
  pool.clear();  // joins
  if (error) std::rethrow_exception(error);
}

// How far the work on a set's recordings, done side by side, has come: each
// recording's own fraction, weighted (equally when no weight is given or all
// are 0), spans [from, to] of the whole conversion. Any thread may note a
// fraction; only the thread that made this one tells options.progress, as
// it promises, and only a fraction that grew.
class SetProgress {
 public:
  SetProgress(const ConversionOptions& options, size_t n, double from, double to, std::vector<double> weights = {})
      : options_(options), from_(from), to_(to), weights_(std::move(weights)), done_(n) {
    double total = 0.0;
    for (const double w : weights_) total += w;
    if (weights_.size() != n || !(total > 0)) weights_.assign(n, 1.0), total = static_cast<double>(n);
    for (double& w : weights_) w /= total;
  }
  void note(size_t i, double fraction) {
    if (fraction >= 0) done_[i].store(std::min(1.0, fraction), std::memory_order_relaxed);
    tell();
  }
  void tell() {
    if (!options_.progress || std::this_thread::get_id() != caller_) return;
    double sum = 0.0;
    for (size_t i = 0; i < done_.size(); ++i) sum += weights_[i] * done_[i].load(std::memory_order_relaxed);
    const double fraction = from_ + (to_ - from_) * std::min(1.0, sum);
    if (fraction <= told_) return;
    told_ = fraction;
    reportProgress(options_, fraction);
  }
  // forEachIndex's waiting: nothing to call when nobody is watching.
  std::function<void()> waiting() {
    if (!options_.progress) return {};
    return [this] { tell(); };
  }

 private:
  const ConversionOptions& options_;
  const std::thread::id caller_ = std::this_thread::get_id();
  double from_, to_, told_ = -1.0;
  std::vector<double> weights_;
  std::vector<std::atomic<double>> done_;
};

inline size_t coreCount() { return std::max(1u, std::thread::hardware_concurrency()); }

inline unsigned threadBudget(const ConversionOptions& options) {
  return options.threads ? options.threads : static_cast<unsigned>(coreCount());
}

}  // namespace kinovar
