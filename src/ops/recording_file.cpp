#include "ops/recording_file.h"

#include <algorithm>

#include "io/paths.h"
#include "reader/stream_reader.h"
#include "ops/workers.h"
#include "orientation/orientation.h"
#include "reader/quality.h"
#include "reader/unparsed.h"

namespace kinovar {

bool parseRecordingFile(DeviceSettings& settings, StreamMap& streams, const char* utf8Path, ParseStats* stats,
                        UnparsedRecording* why) {
  // Read in pieces: the file's bytes are never held whole beside its streams.
  RecordingReader reader;
  Unparsed reason = Unparsed::None;
  int systemError = 0;
  const bool parsed = reader.openFile(utf8Path, &reason, &systemError);
  settings = reader.settings();
  reader.readAll(streams);
  if (stats && reader.stats().blocks > 0) *stats = reader.stats();  // the settings block was found
  if (why && !parsed) {
    why->reason = reason;
    why->systemError = systemError;
  }
  return parsed;
}

SetOutcome prepareSet(const std::vector<std::string>& paths, const ConversionOptions& options, OrientationStep step,
                      std::vector<Recording>& set, std::vector<QualityReport>* qualities) {
  SetOutcome outcome;
  const size_t n = paths.size();
  for (const std::string& path : paths) utf8ToWide(path.c_str());
  set.assign(n, Recording{});
  if (qualities) qualities->assign(n, QualityReport{});
  std::vector<UnparsedRecording> unparsed(n);
  std::vector<char> parsed(n, 0), oriented(n, 0);
  forEachIndex(n, threadBudget(options), [&](size_t i) {
    ParseStats scan;
    unparsed[i].recording = i;
    parsed[i] = parseRecordingFile(set[i].settings, set[i].streams, paths[i].c_str(), qualities ? &scan : nullptr,
                                   &unparsed[i]);
    if (qualities) (*qualities)[i] = qualityReport(set[i].settings, set[i].streams, scan);
    // Without an estimator there is no orientation stage to fail.
    oriented[i] = parsed[i] && (options.estimator == Estimator::None ||
                                (step == OrientationStep::Estimate
                                     ? estimateOrientation(set[i].settings, set[i].streams, options.estimator)
                                     : prepareOrientation(set[i].settings, set[i].streams, options.estimator)));
  });
  // A recording that does not parse fails the set before any orientation does.
  for (size_t i = 0; i < n; ++i)
    if (!parsed[i]) outcome.unparsed.push_back(unparsed[i]);
  if (!outcome.unparsed.empty()) {
    outcome.failure = SetFailure::Unparsed;
    return outcome;
  }
  for (size_t i = 0; i < n; ++i)
    if (!oriented[i]) outcome.noOrientation.push_back(i);
  if (!outcome.noOrientation.empty()) outcome.failure = SetFailure::NoOrientation;
  return outcome;
}

}  // namespace kinovar
