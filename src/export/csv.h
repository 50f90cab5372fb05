// CSV export of one recording on its clock's time axis.
#pragma once

#include <atomic>
#include <cstdint>

#include "export/paths.h"
#include "reader/recording.h"

namespace kinovar {

// True when the file was opened and completely written and closed. With
// `quaternionsReady`, the quaternion stream is still being filled: a row is
// formatted only once that many of its samples are final.
bool exportCsv(const char* utf8Path, const DeviceSettings& settings, const StreamMap& streams,
               const std::atomic<uint64_t>* quaternionsReady = nullptr);
// The same into a file the caller opened for writing (null: false).
bool exportCsv(FilePtr file, const DeviceSettings& settings, const StreamMap& streams,
               const std::atomic<uint64_t>* quaternionsReady = nullptr);

}  // namespace kinovar
