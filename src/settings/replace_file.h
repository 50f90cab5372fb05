// Writing a settings file so that a failure never leaves a damaged one: the
// bytes go to a new file in the same folder, which replaces the target only
// once it is complete and flushed to the medium.
#pragma once

#include <cstdint>
#include <vector>

namespace kinovar {

// False when the target cannot be written (not well-formed UTF-8, not
// writable, not a regular file, a folder that does not exist) or when any
// write, flush, close or the final replace fails. On false the target keeps
// its old content.
bool replaceFile(const char* utf8Path, const std::vector<uint8_t>& bytes);

}  // namespace kinovar
