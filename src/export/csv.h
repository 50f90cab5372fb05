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
// A CSV file opened for writing (null when it cannot be), and whether it
// held data that opening it threw away.
struct CsvFile {
  FilePtr file;
  bool replacesData = false;
};
CsvFile openCsv(const char* utf8Path);
// The same as above into a file already opened by openCsv (null: false).
bool exportCsv(CsvFile file, const DeviceSettings& settings, const StreamMap& streams,
               const std::atomic<uint64_t>* quaternionsReady = nullptr);

}  // namespace kinovar
