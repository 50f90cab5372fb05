#include "settings/settings_record.h"

namespace kinovar {

// Placeholder until the record decoder lands.
int decodeSettingsRecord(DeviceSettings&, bool&, const uint8_t*, size_t) { return -1; }
bool decodeSettingsBlock(DeviceSettings&, const uint8_t*) { return false; }
bool readSettingsFile(DeviceSettings&, FilePtr& file) {
  file.reset();
  return false;
}

}  // namespace kinovar
