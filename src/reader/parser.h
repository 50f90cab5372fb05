// Recording files: 512-byte blocks of 63 eight-byte tagged frames after a
// big-endian base tick; block 0 also holds the settings records.
#pragma once

#include "export/paths.h"
#include "reader/recording.h"

namespace kinovar {

// Parses an open binary stream into default settings and an empty map.
// True when the settings block was found and every block was read. The file
// is closed on return, except when no file is open or the first 512 bytes
// cannot be read.
bool parseRecording(DeviceSettings& settings, StreamMap& streams, FilePtr& file);

// Opens the UTF-8 path and parses it; false when it cannot be opened.
bool parseRecordingFile(DeviceSettings& settings, StreamMap& streams, const char* utf8Path);

}  // namespace kinovar
