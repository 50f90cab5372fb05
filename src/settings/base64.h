// Base64 (standard alphabet, "=" padding) for the unknown records that
// readConfig hands to the host and writeConfig takes back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kinovar {

std::string encodeBase64(const std::vector<uint8_t>& bytes);

// Stops at the first "=" or at the first character outside the alphabet; a
// final group of two or three characters gives one or two bytes, a lone
// character gives none.
std::vector<uint8_t> decodeBase64(std::string_view text);

}  // namespace kinovar
