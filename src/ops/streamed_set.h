// A set read in pieces, as the CSV sets are converted: the first pass over
// each recording and the alignment when opened, then each recording's cut
// streamed from its file, so that no recording is held whole.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "export/csv.h"
#include "ops/operations.h"
#include "ops/options.h"
#include "ops/stream_recording.h"
#include "reader/quality.h"
#include "model/recording.h"
#include "sync/sync.h"

namespace kinovar {

struct StreamedSet {
  SetOutcome outcome;  // the report's slips are complete once every cut is read
  std::vector<std::unique_ptr<RecordingReader>> readers;
  std::vector<Recording> recordings;  // settings, and the cut's shapes (events whole)
  std::vector<QualityReport> qualities;
  WindowPlan window;
  std::vector<std::unique_ptr<RecordingStreams>> streams;
  std::vector<StreamSource> sources;  // each recording's cut (resampled when asked), on the common clock
  double timeBase = 0.0;  // seconds since 1970 at the window start
};

// Opened, aligned and cut, or stopped at the failure outcome tells (no sources then).
std::unique_ptr<StreamedSet> openStreamedSet(const std::vector<std::string>& utf8Paths, const ConversionOptions& options,
                                             CsvStyle style);

// The set.json a set's files take their names with, of its outcome then.
BesideFiles setFileBeside(const std::vector<std::string>& paths, const std::string& folder,
                          const ConversionOptions& options);

// Commits the files `outputs` (at `paths`) with those `beside` gives for the
// outcome, all taking their names together; false, with the index of the
// first that failed (past `outputs`' own: one beside them) and why.
bool commitWithBeside(std::vector<OutputFile>& outputs, const std::vector<std::string>& paths,
                      const ConversionOptions& options, const BesideFiles& beside, const SetOutcome& outcome, size_t& bad,
                      OutputFailure& failure);

}  // namespace kinovar
