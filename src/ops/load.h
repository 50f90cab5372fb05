// Recordings loaded into memory for the host instead of written to a file:
// the same parse, orientation stage and synchronisation as the conversions.
#pragma once

#include <string>
#include <vector>

#include "ops/operations.h"
#include "ops/options.h"
#include "reader/recording.h"

namespace kinovar {

struct LoadedRecording {
  Recording recording;
  bool parsed = false;
  std::string info;     // the JSON description read answers with
  std::string quality;  // what happened in the recording, as JSON
};

LoadedRecording loadRecording(const char* utf8Path, const ConversionOptions& options = {});

// A set parsed, oriented and synchronised as readAndSync2 does it, without
// the files and printing nothing: the outcome readAndSyncSet tells (what was
// done or why not), and without a failure the recordings, synchronised, with
// their JSON descriptions.
struct LoadedSet {
  SetOutcome outcome;
  std::vector<Recording> recordings;
  std::vector<std::string> infos, qualities;
};

LoadedSet loadRecordingSet(const std::vector<std::string>& utf8Paths, const ConversionOptions& options = {});

}  // namespace kinovar
