#include "io/ordered_writer.h"

#if defined(__linux__)
#include <fcntl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace kinovar {

FileWriter::FileWriter(std::FILE* file, bool writeBehind) : file_(file), writeBehind_(writeBehind) {
  buffer_.reserve((1 << 20) + 4096);
}

void FileWriter::write(const char* data, size_t size) {
  if (!size) return;
  if (std::fwrite(data, 1, size, file_) != size && !failed_) {
    failed_ = true;
    errno_ = errno;
  }
  written_ += size;
  startWriteback();
}

void FileWriter::startWriteback() {
#if defined(__linux__)
  constexpr uint64_t kWritebackStep = 8 << 20;
  // The last MiB may still sit in the stream's buffer; it goes next time.
  if (!writeBehind_ || written_ < started_ + kWritebackStep + (1 << 20)) return;
  const uint64_t end = written_ - (1 << 20);
  const int fd = fileno(file_);
  sync_file_range(fd, static_cast<off_t>(started_), static_cast<off_t>(end - started_),
                  SYNC_FILE_RANGE_WRITE);  // a hint: failure is harmless
  started_ = end;
  // What went to the medium a while ago is clean by now and let go, so that
  // a long output does not fill memory with its pages and make every later
  // allocation reclaim them; pages still dirty are skipped, never waited for.
  if (started_ > dropped_ + kDropLag + kWritebackStep) {
    const uint64_t upTo = started_ - kDropLag;
    posix_fadvise(fd, static_cast<off_t>(dropped_), static_cast<off_t>(upTo - dropped_), POSIX_FADV_DONTNEED);
    dropped_ = upTo;
  }
#endif
}

namespace {

class Pipeline {
 public:
  Pipeline(size_t count, size_t bound, const std::function<bool(size_t, ChunkBuffer&)>& make,
           const std::function<void(const char*, size_t)>& write)
      : count_(count), make_(make), write_(write) {
    for (ChunkBuffer& buffer : buffers_) buffer.setBound(bound);
  }

  void run(bool threaded, const std::function<void()>& helperStart) {
    std::thread writer, helper;
    if (threaded && count_ > 1) {
      try {
        writer = std::thread([this] { writeInOrder(); });
        writerThread_ = true;
        helper = std::thread([this, &helperStart] {
          if (helperStart) helperStart();
          make();
        });
      } catch (const std::system_error&) {
        // fewer threads: the ones there are do it all
      }
    }
    make();
    if (helper.joinable()) helper.join();
    if (writer.joinable()) writer.join();
    if (error_) std::rethrow_exception(error_);
  }

 private:
  static constexpr size_t kSlots = 6;

  // Writes the chunks that are due, in order; the lock is held on entry and exit.
  void writeDue(std::unique_lock<std::mutex>& lock) {
    while (written_ < count_ && ready_[written_ % kSlots]) {
      const ChunkBuffer& buffer = buffers_[written_ % kSlots];
      lock.unlock();
      write_(buffer.data(), buffer.size());
      lock.lock();
      ready_[written_ % kSlots] = false;
      ++written_;
      changed_.notify_all();
    }
  }

  void fail(std::unique_lock<std::mutex>& lock) {
    if (!lock.owns_lock()) lock.lock();
    if (!error_) error_ = std::current_exception();
    changed_.notify_all();
  }

  void make() noexcept {
    std::unique_lock lock(mutex_);
    try {
      for (;;) {
        changed_.wait(lock, [&] { return error_ || claimed_ >= count_ || claimed_ < written_ + kSlots; });
        if (error_ || claimed_ >= count_) return;
        const size_t c = claimed_++;
        lock.unlock();
        buffers_[c % kSlots].clear();
        const bool made = make_(c, buffers_[c % kSlots]);
        lock.lock();
        if (!made) {  // the end: chunk c and those after it are not written
          count_ = std::min(count_, c);
          changed_.notify_all();
          continue;
        }
        ready_[c % kSlots] = true;
        changed_.notify_all();
        if (!writerThread_) writeDue(lock);
      }
    } catch (...) {
      fail(lock);
    }
  }

  void writeInOrder() noexcept {
    std::unique_lock lock(mutex_);
    try {
      while (written_ < count_) {
        changed_.wait(lock, [&] { return error_ || written_ >= count_ || ready_[written_ % kSlots]; });
        if (error_) return;
        writeDue(lock);
      }
    } catch (...) {
      fail(lock);
    }
  }

  size_t count_;  // lowered when a chunk turns out to be past the end
  const std::function<bool(size_t, ChunkBuffer&)>& make_;
  const std::function<void(const char*, size_t)>& write_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t claimed_ = 0, written_ = 0;  // chunks handed out, chunks written
  bool writerThread_ = false;
  bool ready_[kSlots] = {};
  ChunkBuffer buffers_[kSlots];
  std::exception_ptr error_;
};

}  // namespace

void writeChunksInOrder(size_t count, size_t chunkBound, const std::function<void(size_t, ChunkBuffer&)>& make,
                        const std::function<void(const char*, size_t)>& write, bool threaded,
                        const std::function<void()>& helperStart) {
  const std::function<bool(size_t, ChunkBuffer&)> made = [&](size_t c, ChunkBuffer& buffer) {
    make(c, buffer);
    return true;
  };
  Pipeline(count, chunkBound, made, write).run(threaded, helperStart);
}

void writeChunksUntil(size_t chunkBound, const std::function<bool(size_t, ChunkBuffer&)>& make,
                      const std::function<void(const char*, size_t)>& write, bool threaded,
                      const std::function<void()>& helperStart) {
  Pipeline(SIZE_MAX, chunkBound, make, write).run(threaded, helperStart);
}

}  // namespace kinovar
