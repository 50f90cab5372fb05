// Recordings loaded into memory for the host instead of written to a file:
// the same parse, orientation stage and synchronisation as the conversions.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "ops/names.h"
#include "ops/operations.h"
#include "ops/options.h"
#include "reader/recording.h"

namespace kinovar {

// Loaded streams keep the samples' own times, counted as the tables count
// them (from the first sample of the recording, or from a set's window
// start), and a quaternion without an estimate reads NaN.
struct LoadedRecording {
  Recording recording;  // its settings are the description read answers with
  bool parsed = false;
  QualityReport quality;  // what happened in the recording
  double timeBase = 0.0;  // seconds since 1970 at time 0 (ops/options.h timeBase)
  double resampled = 0.0;  // the grid's rate, 0: none
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
  double timeBase = 0.0;  // seconds since 1970 at the window start, for every recording
  double resampled = 0.0;  // the grid's rate, 0: none
};

LoadedSet loadRecordingSet(const std::vector<std::string>& utf8Paths, const ConversionOptions& options = {});

// A loaded recording's streams, the table's, in the order of streamLayouts(),
// with their rates (events: 0; the grid's when resampled).
struct LoadedStream {
  const StreamLayout* layout = nullptr;
  SampleStream* stream = nullptr;
  int32_t rate = 0;
};
std::vector<LoadedStream> loadedStreams(Recording& recording, double resampled = 0.0);

// The table's rows (export/rows.h) of streams with the given times, at most
// kTableStreams: the row of each sample of each stream, and the number of rows.
inline constexpr size_t kTableStreams = 5;
uint64_t tableRows(const std::vector<std::span<const double>>& times, std::vector<std::vector<uint32_t>>& rowOf);

}  // namespace kinovar
