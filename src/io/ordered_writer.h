// Large outputs written in order while they are still being made: a buffered
// file writer that starts the writeback as it goes, and a pipeline that makes
// chunks on two threads and writes them strictly in order on a third. With
// ops/, the only place in the core that starts threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace kinovar {

// Buffered writer that remembers whether any write failed, and why. With
// `writeBehind` (Linux; elsewhere the system's own writeback) the writeback of
// what is written is started as it goes, so that little is left to wait for
// when the file is forced to the medium, and the cached pages written back
// long before are let go, so that a long output does not crowd memory.
class FileWriter {
 public:
  FileWriter(std::FILE* file, bool writeBehind);
  std::string& buffer() { return buffer_; }
  void write(const char* data, size_t size);
  void flush() {
    write(buffer_.data(), buffer_.size());
    buffer_.clear();
  }
  bool failed() const { return failed_; }
  int errnum() const { return errno_; }

 private:
  void startWriteback();

  std::FILE* file_;
  bool writeBehind_;
  std::string buffer_;
  bool failed_ = false;
  int errno_ = 0;
  uint64_t written_ = 0, started_ = 0, dropped_ = 0;
  // The output's most recent bytes stay cached for whoever reads it next.
  static constexpr uint64_t kDropLag = 256 << 20;
};

// A chunk's bytes; room() always leaves at least `bound` bytes free.
class ChunkBuffer {
 public:
  explicit ChunkBuffer(size_t bound = 4096) : bound_(bound) {}
  char* room() {
    if (data_.size() - used_ < bound_) data_.resize(std::max(data_.size() * 2, used_ + bound_));
    return data_.data() + used_;
  }
  void commit(char* end) { used_ = static_cast<size_t>(end - data_.data()); }
  const char* data() const { return data_.data(); }
  size_t size() const { return used_; }
  void clear() { used_ = 0; }
  void setBound(size_t bound) { bound_ = bound; }

 private:
  std::vector<char> data_;
  size_t used_ = 0;
  size_t bound_;
};

// Makes chunks 0..count-1 with make(c, buffer) and writes each with
// write(data, size), strictly in order. Threaded: the calling thread and a
// helper make chunks into a ring of buffers while a writer thread, which
// mostly waits on the file system, writes them; the helper first calls
// `helperStart` (when given). Otherwise, or when no thread can be started,
// the calling thread makes and writes every chunk itself. The first
// exception raised is rethrown once every thread has stopped.
void writeChunksInOrder(size_t count, size_t chunkBound, const std::function<void(size_t, ChunkBuffer&)>& make,
                        const std::function<void(const char*, size_t)>& write, bool threaded,
                        const std::function<void()>& helperStart = {});
// The same for a number of chunks found as they are made: make(c, buffer)
// returns false for the first chunk past the end (made in order, so that
// every chunk before it is made too).
void writeChunksUntil(size_t chunkBound, const std::function<bool(size_t, ChunkBuffer&)>& make,
                      const std::function<void(const char*, size_t)>& write, bool threaded,
                      const std::function<void()>& helperStart = {});

}  // namespace kinovar
