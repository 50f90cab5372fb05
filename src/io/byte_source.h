// Where a recording's bytes come from, for the stages that decode them and
// open nothing themselves: a file, opened afresh for every pass and cursor so
// that readers on several threads each keep their own position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "io/paths.h"

namespace kinovar {

// Bytes in order from where it was opened.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // Up to n bytes into out; fewer only at the end or on a failure.
  virtual size_t read(uint8_t* out, size_t n) = 0;
  // Whether a read failed, and the system's reason as it gave it (0 when it gave none).
  virtual bool failed() const = 0;
  virtual int error() const = 0;
};

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // A reader from byte `offset` on, or null with the system's reason in `error`
  // (0 when it gave none).
  virtual std::unique_ptr<ByteReader> open(uint64_t offset, int& error) const = 0;
};

std::shared_ptr<const ByteSource> fileSource(std::string utf8Path);

// A scratch file of the system's, unnamed, that goes with the process
// whatever ends it; null when none can be had.
FilePtr scratchFile();

}  // namespace kinovar
