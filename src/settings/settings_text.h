// The settings text of writeConfig: entries split at ":", fields at ",",
// each entry becoming one record (or the verbatim unknown records).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace kinovar {

// Builds the bytes of the settings file. False (with `out` half built) for
// an unknown key, an entry with too few values, a value that is not a decimal
// integer in the signed 32-bit range, or records that would pass 512 bytes.
bool encodeSettingsText(std::string_view text, std::vector<uint8_t>& out);

}  // namespace kinovar
