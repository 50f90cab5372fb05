#include "bindings-js/core/operations.h"
#include "export/csv.h"
#include "export/json.h"
#include "orientation/orientation.h"
#include "reader/parser.h"

namespace kinovar {

std::string readRecording(const char* utf8RecordingPath, const char* utf8CsvPath) {
  // The CSV must never replace the recording it is made from.
  if (sameFile(utf8RecordingPath, utf8CsvPath)) return std::string(kErrorDocument);
  Recording recording;
  bool parsed;
  {
    FilePtr input = openFile(utf8RecordingPath, OpenMode::ReadBinary);
    parsed = parseRecording(recording.settings, recording.streams, input);
  }  // the input is closed before the orientation stage
  if (parsed) estimateOrientation(recording.settings, recording.streams);
  // A missing or broken recording still gets its (header-only) CSV: hosts rely on it.
  if (!exportCsv(utf8CsvPath, recording.settings, recording.streams)) return std::string(kErrorDocument);
  return readResultJson(recording.settings);
}

}  // namespace kinovar
