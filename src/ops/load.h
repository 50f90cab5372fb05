// Recordings loaded into memory for the host instead of written to a file:
// the same parse, orientation stage and synchronisation as the conversions.
#pragma once

#include <string>
#include <vector>

#include "ops/names.h"
#include "ops/operations.h"
#include "ops/options.h"
#include "reader/recording.h"

namespace kinovar {

struct LoadedRecording {
  Recording recording;  // its settings are the description read answers with
  bool parsed = false;
  QualityReport quality;  // what happened in the recording
};

LoadedRecording loadRecording(const char* utf8Path, const ConversionOptions& options = {});

// A set parsed, oriented and synchronised as readAndSync2 does it, without
// the files and printing nothing: the outcome readAndSyncSet tells (what was
// done or why not), and without a failure the recordings, synchronised, with
// their quality reports.
struct LoadedSet {
  SetOutcome outcome;
  std::vector<Recording> recordings;
  std::vector<QualityReport> qualities;
};

LoadedSet loadRecordingSet(const std::vector<std::string>& utf8Paths, const ConversionOptions& options = {});

// A loaded recording's streams as the table of its classic CSV has them, in
// the order of streamLayouts(): where sample k of each stands (row k *
// divisor; events have no divisor and a rate of 0) and its rate.
struct LoadedStream {
  const StreamLayout* layout = nullptr;
  SampleStream* stream = nullptr;
  uint64_t divisor = 1;
  int32_t rate = 0;
};
struct LoadedTable {
  uint64_t rows = 0;
  std::vector<LoadedStream> streams;
};
LoadedTable loadedTable(Recording& recording);

}  // namespace kinovar
