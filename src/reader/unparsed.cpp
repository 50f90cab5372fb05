#include "reader/unparsed.h"

#include "settings/settings_record.h"

namespace kinovar {

Unparsed whyUnparsed(std::span<const uint8_t> bytes) {
  return holdsSettingsRecord(bytes) ? Unparsed::CutShort : Unparsed::NotARecording;
}

}  // namespace kinovar
