// Snappy's raw format (the compression Parquet names SNAPPY): a compressor
// of our own, short, since its format is public and small.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kinovar {

// Appends `size` bytes at `data`, compressed, to `out`.
void snappyCompress(const uint8_t* data, size_t size, std::vector<uint8_t>& out);

}  // namespace kinovar
