// The JSON documents of a recording's description, written by the one
// writer of the core (io/json_writer.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "io/json_writer.h"
#include "model/recording.h"

namespace kinovar {

// read's answer when the CSV file was not written: a fixed text that hosts
// compare as it is.
inline constexpr std::string_view kErrorDocument = "{\"error\":\"Error during data loading.\"}";

std::string formatDateTime(const DateTimeFields& date);

// The answer of `read` for a recording whose CSV export succeeded: the
// recording's description.
void writeReadResult(JsonSink& json, const DeviceSettings& settings);
std::string readResultJson(const DeviceSettings& settings);
// Our API's description of a recording: that answer with the device that
// made it, which `read` has never given.
void writeRecordingInfo(JsonSink& json, const DeviceSettings& settings);

}  // namespace kinovar
