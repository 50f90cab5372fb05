// CSV export of one recording on its clock's time axis.
#pragma once

#include <cstdint>
#include <functional>

#include "export/paths.h"
#include "reader/recording.h"

namespace kinovar {

// For streams still being filled while their rows are written: before rows
// are formatted, awaitSamples(key, n) is called for each stream they read,
// with how many leading samples of it they read, and returns once those are
// final. Empty: every sample is final already.
using AwaitSamples = std::function<void(uint32_t key, uint64_t samples)>;

// True when the file was opened and completely written and closed.
bool exportCsv(const char* utf8Path, const DeviceSettings& settings, const StreamMap& streams,
               const AwaitSamples& awaitSamples = {});
// A CSV file opened for writing (null when it cannot be), and whether it
// held data that opening it threw away.
struct CsvFile {
  FilePtr file;
  bool replacesData = false;
};
CsvFile openCsv(const char* utf8Path);
// The same as above into a file already opened by openCsv (null: false).
bool exportCsv(CsvFile file, const DeviceSettings& settings, const StreamMap& streams,
               const AwaitSamples& awaitSamples = {});

}  // namespace kinovar
