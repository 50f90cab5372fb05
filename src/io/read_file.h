// Whole-file reads, the only way the core reads its inputs: the decoders
// above take the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace kinovar {

// Reads the file at the UTF-8 path, whole or its first `limit` bytes, into
// `bytes` (a large file into huge pages). False, with the system's error
// number in `systemError` when given, when it cannot be opened or a read
// fails; the bytes read before a failed read are kept.
// From `offset` on when given.
bool readFile(const char* utf8Path, std::vector<uint8_t>& bytes, int* systemError = nullptr,
              size_t limit = std::numeric_limits<size_t>::max(), uint64_t offset = 0);

}  // namespace kinovar
