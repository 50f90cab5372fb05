// Recording files read (through io/) and handed to the parser, and the
// first pass every set operation starts with.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ops/operations.h"
#include "reader/parser.h"
#include "reader/stream_reader.h"
#include "sync/sync.h"

namespace kinovar {

// Reads the recording file (in pieces) and parses it. False when it cannot be read
// to its end (the blocks read before a read error are parsed all the same)
// or its bytes are no recording; `why` (when given) then says which.
bool parseRecordingFile(DeviceSettings& settings, StreamMap& streams, const char* utf8Path,
                        ParseStats* stats = nullptr, UnparsedRecording* why = nullptr);

// Opens every recording of the set, side by side on the threads the options
// allow: each one's settings, its streams by their counts alone (the
// quaternions' as the estimator will make them), and whole only the few
// samples the alignment reads: radio time and events. The outcome's failure
// is SetFailure::Unparsed (with why for each) or SetFailure::NoOrientation,
// and the recordings are then of no use. A path that is not UTF-8 throws: it
// is the caller's error, not a recording that failed.
SetOutcome openSet(const std::vector<std::string>& utf8Paths, const ConversionOptions& options, TickReading ticks,
                   std::vector<std::unique_ptr<RecordingReader>>& readers, std::vector<Recording>& set);

// How a set's options put it on the common clock: by drift on a grid, or
// by the models' times where a resampler interpolates onto its own grid.
inline ClockAlignment clockAlignment(const ConversionOptions& options, bool resampled) {
  if (options.clock == SetClock::Offset) return ClockAlignment::Offset;
  return resampled ? ClockAlignment::DriftTimes : ClockAlignment::Drift;
}

}  // namespace kinovar
