// Recording files read (through io/) and handed to the parser as bytes, and
// the preparation every set operation starts with.
#pragma once

#include <string>
#include <vector>

#include "ops/operations.h"
#include "reader/parser.h"
#include "sync/sync.h"

namespace kinovar {

// Reads the recording file (in pieces) and parses it. False when it cannot be read
// to its end (the blocks read before a read error are parsed all the same)
// or its bytes are no recording; `why` (when given) then says which.
bool parseRecordingFile(DeviceSettings& settings, StreamMap& streams, const char* utf8Path,
                        ParseStats* stats = nullptr, UnparsedRecording* why = nullptr);

// How the orientation stage runs while a set is prepared: wholly, or only
// prepared (a zeroed stream that takes part in the alignment, filled later).
enum class OrientationStep { Estimate, Prepare };

// Parses every recording of the set and runs its orientation stage, side by
// side on the threads the options allow. The outcome's failure is
// SetFailure::Unparsed (with why for each) or SetFailure::NoOrientation, and
// the recordings are then of no use; `qualities` (when given) receives each
// recording's quality report. A path that is not UTF-8 throws: it is
// the caller's error, not a recording that failed.
SetOutcome prepareSet(const std::vector<std::string>& utf8Paths, const ConversionOptions& options,
                      OrientationStep step, std::vector<Recording>& set,
                      std::vector<QualityReport>* qualities = nullptr);

// How a set's options put it on the common clock: by drift on a grid, or
// by the models' times where a resampler interpolates onto its own grid.
inline ClockAlignment clockAlignment(const ConversionOptions& options, bool resampled) {
  if (options.clock == SetClock::Offset) return ClockAlignment::Offset;
  return resampled ? ClockAlignment::DriftTimes : ClockAlignment::Drift;
}

}  // namespace kinovar
