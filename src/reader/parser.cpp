#include "reader/parser.h"

#include "reader/stream_reader.h"

namespace kinovar {

bool parseRecording(DeviceSettings& settings, StreamMap& streams, std::span<const uint8_t> bytes, ParseStats* stats) {
  RecordingReader reader;
  const bool parsed = reader.open(bytes, streams);
  if (bytes.size() >= 512) settings = reader.settings();  // what the settings block gave, found or not
  if (!parsed) return false;
  reader.readAll(streams);
  if (stats) *stats = reader.stats();
  return true;
}

}  // namespace kinovar
