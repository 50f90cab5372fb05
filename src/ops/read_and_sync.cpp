#include <algorithm>
#include <cctype>
#include <set>
#include <stdexcept>

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

namespace {

// The output paths are asked for only once the set is synchronised, so that
// a refusal of them ("-12") never hides an earlier stage's code.
template <typename OutputPaths>
std::string synchronise(const std::vector<std::string>& paths, const ConversionOptions& options,
                        OutputPaths outputPaths) {
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
    // Without an estimator there is no orientation stage to fail.
    if (parsed[i])
      oriented[i] = options.estimator == Estimator::None ||
                    prepareOrientation(set[i].settings, set[i].streams, options.estimator);
  });
  if (std::find(parsed.begin(), parsed.end(), 0) != parsed.end()) return "-10";
  // Without an estimator there is no orientation to fail.
  if (options.estimator != Estimator::None && std::find(oriented.begin(), oriented.end(), 0) != oriented.end())
    return "-13";

  WindowPlan window;
  if (!alignRecordings(set, window)) return "-11";

  // Refused before anything is written.
  const std::vector<std::string> csvPaths = outputPaths();
  if (csvPaths.size() != n) return "-12";

  std::vector<char> exported(n, 0);
  forEachIndex(n, coreCount(), [&](size_t i) {
    Recording& recording = set[i];
    fillOrientation(recording.settings, recording.streams, options.estimator);
    cutToWindow(window, i, recording);
    exported[i] = exportCsv(openCsv(csvPaths[i].c_str()), recording.settings, recording.streams, {},
                            csvStyleOf(options.format));
    recording.streams = StreamMap{};
  });
  return std::find(exported.begin(), exported.end(), 0) == exported.end() ? "OK" : "-12";
}

}  // namespace

std::string readAndSync(const std::vector<std::string>& paths, const std::string& folder,
                        const ConversionOptions& options) {
  return synchronise(paths, options, [&] { return csvPathsOf(paths, folder); });
}

std::string readAndSyncInto(const std::vector<std::string>& paths, const std::vector<std::string>& csvPaths,
                            const ConversionOptions& options) {
  if (csvPaths.size() != paths.size()) throw std::invalid_argument("one output file per recording is needed");
  return synchronise(paths, options, [&] { return csvPaths; });
}

}  // namespace kinovar
