#include "ops/load.h"

#include <algorithm>

#include "export/json.h"
#include "ops/recording_file.h"
#include "orientation/orientation.h"
#include "reader/quality.h"
#include "sync/sync.h"

namespace kinovar {

LoadedRecording loadRecording(const char* utf8Path, const ConversionOptions& options) {
  LoadedRecording loaded;
  Recording& recording = loaded.recording;
  ParseStats scan;
  loaded.parsed = parseRecordingFile(recording.settings, recording.streams, utf8Path, &scan);
  loaded.quality = qualityJson(qualityReport(recording.settings, recording.streams, scan));
  if (loaded.parsed) estimateOrientation(recording.settings, recording.streams, options.estimator);
  loaded.info = readResultJson(recording.settings);
  return loaded;
}

LoadedSet loadRecordingSet(const std::vector<std::string>& paths, const ConversionOptions& options) {
  LoadedSet loaded;
  if (paths.empty()) return loaded;
  std::vector<Recording>& set = loaded.recordings;
  SetOutcome& outcome = loaded.outcome;
  outcome = prepareSet(paths, options, OrientationStep::Estimate, set, &loaded.qualities);
  if (outcome.failure == SetFailure::None && !syncRecordings(set, &outcome.sync))
    outcome.failure = SetFailure::NotSynchronised;
  if (outcome.failure != SetFailure::None) {
    set.clear();
    return loaded;
  }
  for (const Recording& recording : set) loaded.infos.push_back(readResultJson(recording.settings));
  return loaded;
}

}  // namespace kinovar
