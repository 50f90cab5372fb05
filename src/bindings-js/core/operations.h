// The operations behind the five JavaScript functions, free of any Node type.
#pragma once

#include <string>

namespace kinovar {

// read: parse, estimate orientation, export CSV; the JSON answer or the error document.
std::string readRecording(const char* utf8RecordingPath, const char* utf8CsvPath);

}  // namespace kinovar
