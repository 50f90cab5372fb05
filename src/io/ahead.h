// Pieces made on a thread of their own while the caller uses the ones
// before: a bounded queue between one producer and one consumer.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace kinovar {

// `produce` fills a piece and hands it to `put` in order, returning at the
// end; put waits while `limit` of the pieces' size (as `size` measures it)
// is waiting, and throws Stopped once the consumer has gone. put swaps the
// piece for one the consumer has used up: the same few buffers go round for
// the whole run, allocated once on one thread, where a piece allocated on
// this thread and freed on the consumer's left its memory with the
// allocator's arenas. A failure of produce reaches the consumer after the
// pieces made before it.
template <class Piece>
class Ahead {
 public:
  struct Stopped {};
  using Put = std::function<void(Piece&)>;
  using Size = std::function<uint64_t(const Piece&)>;

  // Throws std::system_error when no thread can be had.
  Ahead(uint64_t limit, Size size, std::function<void(const Put&)> produce)
      : limit_(std::max<uint64_t>(limit, 1)), size_(std::move(size)) {
    thread_ = std::thread([this, produce = std::move(produce)] {
      try {
        produce([this](Piece& piece) { put(piece); });
      } catch (const Stopped&) {
      } catch (...) {
        std::lock_guard lock(mutex_);
        error_ = std::current_exception();
      }
      std::lock_guard lock(mutex_);
      done_ = true;
      changed_.notify_all();
    });
  }
  ~Ahead() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  Ahead(const Ahead&) = delete;
  Ahead& operator=(const Ahead&) = delete;

  // The oldest piece not yet used up, once there is one; null at the end.
  // The producer never touches it: the caller may read it and change it.
  Piece* front() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return done_ || !pieces_.empty(); });
    if (!pieces_.empty()) return &pieces_.front();
    if (error_) std::rethrow_exception(error_);
    return nullptr;
  }
  // `n` more of the front piece's size used, which makes room for the
  // producer; `finished`: the piece is used up, its buffers go back.
  void used(uint64_t n, bool finished) {
    {
      std::lock_guard lock(mutex_);
      queued_ -= n;
      if (finished) {
        spare_.push_back(std::move(pieces_.front()));
        pieces_.pop_front();
      }
    }
    changed_.notify_all();
  }

 private:
  void put(Piece& piece) {
    const uint64_t size = size_(piece);
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stop_ || queued_ < limit_; });
    if (stop_) throw Stopped{};
    queued_ += size;
    pieces_.push_back(std::move(piece));
    if (spare_.empty()) {
      piece = Piece{};
    } else {
      piece = std::move(spare_.back());
      spare_.pop_back();
    }
    changed_.notify_all();
  }

  uint64_t limit_;
  Size size_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Piece> pieces_;  // push_back leaves the front where the consumer holds it
  std::vector<Piece> spare_;  // pieces used up, whose buffers the producer fills next
  uint64_t queued_ = 0;       // size put and not yet used
  bool done_ = false, stop_ = false;
  std::exception_ptr error_;
  std::thread thread_;
};

}  // namespace kinovar
