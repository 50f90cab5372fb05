// Helpers shared by the fuzz targets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "io/paths.h"
#include "reader/parser.h"

namespace kinovar::fuzz {

// Parses bytes held in memory, as files are once read, so no execution touches the disk.
inline bool parseBytes(const uint8_t* data, size_t size, DeviceSettings& settings, StreamMap& streams,
                       ParseStats* stats = nullptr) {
  return parseRecording(settings, streams, std::span<const uint8_t>(data, size), stats);
}

// A property the code under test broke: abort so libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// One scratch folder per fuzzing process, in memory where the host allows.
inline std::string scratchFolder() {
  static const std::string folder = [] {
    const char* base = std::getenv("KINOVAR_FUZZ_TMP");
    std::string pattern = std::string(base ? base : "/dev/shm") + "/kinovar-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) {
      pattern = "/tmp/kinovar-fuzz-XXXXXX";
      if (!mkdtemp(pattern.data())) fail("no scratch folder");
    }
    return pattern;
  }();
  return folder;
}

}  // namespace kinovar::fuzz
