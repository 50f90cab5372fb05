#include "bindings-js/core/operations.h"

#include <atomic>
#include <future>
#include <system_error>
#include <thread>

#include "export/csv.h"
#include "export/json.h"
#include "orientation/orientation.h"
#include "reader/parser.h"

namespace kinovar {

std::string readRecording(const char* utf8RecordingPath, const char* utf8CsvPath) {
  // The CSV must never replace the recording it is made from.
  if (sameFile(utf8RecordingPath, utf8CsvPath)) return std::string(kErrorDocument);
  // Emptying an old CSV of that name can take a while (the file system lets
  // go of its blocks): it is opened beside the parse.
  std::future<CsvFile> output;
  const auto open = [utf8CsvPath] { return openCsv(utf8CsvPath); };
  try {
    output = std::async(std::launch::async, open);
  } catch (const std::system_error&) {
    output = std::async(std::launch::deferred, open);
  }
  Recording recording;
  bool parsed;
  {
    FilePtr input = openFile(utf8RecordingPath, OpenMode::ReadBinary);
    parsed = parseRecording(recording.settings, recording.streams, input);
  }  // the input is closed before the orientation stage
  // The filter runs on its own thread while the rows before its position
  // are formatted and written; the bytes are those of the two in sequence.
  OrientationJob orientation;
  std::atomic<uint64_t> ready{0};
  bool exported;
  if (parsed && orientation.begin(recording.settings, recording.streams)) {
    std::jthread filter;
    try {
      filter = std::jthread([&] { orientation.run(&ready); });
    } catch (const std::system_error&) {
      orientation.run(&ready);  // no thread to spare: one after the other
    }
    exported = exportCsv(output.get(), recording.settings, recording.streams, &ready);
  } else {
    // A missing or broken recording still gets its (header-only) CSV: hosts rely on it.
    exported = exportCsv(output.get(), recording.settings, recording.streams);
  }
  if (!exported) return std::string(kErrorDocument);
  return readResultJson(recording.settings);
}

}  // namespace kinovar
