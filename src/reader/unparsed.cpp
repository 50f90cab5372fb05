#include "reader/unparsed.h"

#include <algorithm>
#include <array>

#include "settings/settings_record.h"

namespace kinovar {

Unparsed whyUnparsed(std::span<const uint8_t> bytes) {
  // The bytes missing from a short first block read as zeros, which start no record.
  std::array<uint8_t, kSettingsBlockSize> block{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), block.size()), block.begin());
  return firstSettingsRecord(block.data()) >= 0 ? Unparsed::CutShort : Unparsed::NotARecording;
}

}  // namespace kinovar
