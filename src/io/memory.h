// Large sample arrays: ask for transparent huge pages before the first touch,
// which cuts the page faults of filling hundreds of megabytes by ~500 times.
#pragma once

#include <cstddef>
#include <vector>

namespace kinovar {

void adviseHugePages(void* data, size_t bytes) noexcept;

// For a program that owns its process (the command line), not a library's
// host: the C library's allocator keeps a pool per thread, and the memory a
// pool frees stays with it, so a conversion's threads hold more and more of
// it as a recording gets longer. Two pools keep that flat at no cost in speed.
void limitAllocatorPools() noexcept;

// Sizes v to n copies of value, advising huge pages for a large array.
template <typename T>
void resizeLarge(std::vector<T>& v, size_t n, const T& value = T()) {
  v.reserve(n);
  adviseHugePages(v.data(), n * sizeof(T));
  v.resize(n, value);
}

}  // namespace kinovar
