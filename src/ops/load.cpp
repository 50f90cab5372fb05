#include "ops/load.h"

#include <algorithm>

#include "export/json.h"
#include "io/paths.h"
#include "ops/workers.h"
#include "orientation/orientation.h"
#include "reader/parser.h"
#include "reader/quality.h"
#include "reader/unparsed.h"
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
  loaded.outcome.status = "OK";
  const size_t n = paths.size();
  if (n == 0) return loaded;
  for (const std::string& path : paths) utf8ToWide(path.c_str());  // not UTF-8: an error, not "-10"
  std::vector<Recording>& set = loaded.recordings;
  set.resize(n);
  std::vector<char> parsed(n, 0), oriented(n, 0);
  loaded.qualities.resize(n);
  forEachIndex(n, threadBudget(options), [&](size_t i) {
    ParseStats scan;
    parsed[i] = parseRecordingFile(set[i].settings, set[i].streams, paths[i].c_str(), &scan);
    loaded.qualities[i] = qualityJson(qualityReport(set[i].settings, set[i].streams, scan));
    oriented[i] = parsed[i] && (options.estimator == Estimator::None ||
                                estimateOrientation(set[i].settings, set[i].streams, options.estimator));
  });
  SetOutcome& outcome = loaded.outcome;
  for (size_t i = 0; i < n; ++i)
    if (!parsed[i]) {
      UnparsedRecording why{i};
      why.reason = whyUnparsed(paths[i].c_str(), &why.systemError);
      outcome.unparsed.push_back(why);
    }
  if (outcome.unparsed.empty())
    for (size_t i = 0; i < n; ++i)
      if (!oriented[i]) outcome.noOrientation.push_back(i);
  outcome.status = !outcome.unparsed.empty()         ? "-10"
                   : !outcome.noOrientation.empty()  ? "-13"
                   : !syncRecordings(set, &outcome.sync) ? "-11"
                                                         : "OK";
  if (outcome.status != "OK") {
    set.clear();
    return loaded;
  }
  for (const Recording& recording : set) loaded.infos.push_back(readResultJson(recording.settings));
  return loaded;
}

}  // namespace kinovar
