#include <algorithm>
#include <cctype>
#include <set>

#include "export/csv.h"
#include "export/paths.h"
#include "ops/operations.h"
#include "ops/workers.h"
#include "reader/parser.h"
#include "sync/sync.h"

namespace kinovar {

namespace {

// Names that land on the same CSV file; Windows folds ASCII case in file names.
std::string collisionKey(const std::string& stem) {
#ifdef _WIN32
  std::string key = stem;
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return key;
#else
  return stem;
#endif
}

// Two recordings with one stem would share a CSV file and the second would
// silently replace the first; a CSV path that names one of the recordings
// would destroy it. Empty when either would happen.
std::vector<std::string> csvPathsOf(const std::vector<std::string>& paths, const std::string& folder) {
  std::vector<std::string> csvPaths(paths.size());
  std::set<std::string> seen;
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string stem = fileStem(paths[i]);
    if (!seen.insert(collisionKey(stem)).second) return {};
    csvPaths[i] = folder + "/" + stem + ".csv";
  }
  for (const std::string& csv : csvPaths)
    for (const std::string& recording : paths)
      if (sameFile(recording.c_str(), csv.c_str())) return {};
  return csvPaths;
}

}  // namespace

std::string readAndSync(const std::vector<std::string>& paths, const std::string& folder,
                        const ConversionOptions& options) {
  if (paths.empty()) return "OK";
  const size_t n = paths.size();
  std::vector<Recording> set(n);

  // A path that is not UTF-8 must reach the host as an error, not as "-10".
  for (const std::string& path : paths) utf8ToWide(path.c_str());
  std::vector<char> parsed(n, 0), oriented(n, 0);
  // The filters are only prepared here (their zeroed quaternion streams take
  // part in the alignment); each runs just before its recording is cut and
  // written, beside the other recordings' work. A recording that does not
  // parse answers "-10" before any "-13".
  forEachIndex(n, coreCount(), [&](size_t i) {
    parsed[i] = parseRecordingFile(set[i].settings, set[i].streams, paths[i].c_str());
    if (parsed[i]) oriented[i] = prepareOrientation(set[i].settings, set[i].streams, options.estimator);
  });
  if (std::find(parsed.begin(), parsed.end(), 0) != parsed.end()) return "-10";
  // Without an estimator there is no orientation to fail.
  if (options.estimator != Estimator::None && std::find(oriented.begin(), oriented.end(), 0) != oriented.end())
    return "-13";

  WindowPlan window;
  if (!alignRecordings(set, window)) return "-11";

  // Refused before anything is written.
  const std::vector<std::string> csvPaths = csvPathsOf(paths, folder);
  if (csvPaths.empty()) return "-12";

  std::vector<char> exported(n, 0);
  forEachIndex(n, coreCount(), [&](size_t i) {
    Recording& recording = set[i];
    fillOrientation(recording.settings, recording.streams, options.estimator);
    cutToWindow(window, i, recording);
    exported[i] = exportCsv(csvPaths[i].c_str(), recording.settings, recording.streams);
    recording.streams = StreamMap{};
  });
  return std::find(exported.begin(), exported.end(), 0) == exported.end() ? "OK" : "-12";
}

}  // namespace kinovar
