// The JSON documents of a recording's description, written by the one
// writer of the core (io/json_writer.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "reader/recording.h"

namespace kinovar {

// read's answer when the CSV file was not written: a fixed text that hosts
// compare as it is.
inline constexpr std::string_view kErrorDocument = "{\"error\":\"Error during data loading.\"}";

std::string formatDateTime(const DateTimeFields& date);

// The answer of `read` for a recording whose CSV export succeeded.
std::string readResultJson(const DeviceSettings& settings);

}  // namespace kinovar
