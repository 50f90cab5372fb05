#include "reader/unparsed.h"

#include <algorithm>
#include <cstddef>

namespace kinovar {

Unparsed whyUnparsed(std::span<const uint8_t> bytes) {
  constexpr size_t kBlock = 512;
  const size_t size = std::min(bytes.size(), kBlock);
  // A settings record starts anywhere its 5-byte header still fits the block.
  for (size_t i = 0; i + 1 < size && i <= kBlock - 5; ++i)
    if (bytes[i] == 'Q' && bytes[i + 1] == '7') return Unparsed::CutShort;
  return Unparsed::NotARecording;
}

}  // namespace kinovar
