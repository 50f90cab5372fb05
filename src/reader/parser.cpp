#include "reader/parser.h"

namespace kinovar {

bool parseRecording(DeviceSettings&, StreamMap&, FilePtr& file) { return file != nullptr && false; }

bool parseRecordingFile(DeviceSettings& settings, StreamMap& streams, const char* utf8Path) {
  FilePtr file = openFile(utf8Path, OpenMode::ReadBinary);
  return parseRecording(settings, streams, file);
}

}  // namespace kinovar
