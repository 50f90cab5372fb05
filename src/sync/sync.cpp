#include "sync/sync.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "export/csv.h"
#include "export/paths.h"
#include "orientation/orientation.h"
#include "reader/parser.h"

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

}  // namespace

std::string readAndSync(const std::vector<std::string>& paths, const std::string& folder) {
  if (paths.empty()) return "OK";
  const size_t n = paths.size();
  std::vector<DeviceSettings> settings(n);
  std::vector<StreamMap> streams(n);
  std::vector<StreamMap> synced;

  bool parsed = true;
  for (size_t i = 0; i < n; ++i) {
    // A path that is not UTF-8 must reach the host as an error, not as "-10".
    utf8ToWide(paths[i].c_str());
    if (!parseRecordingFile(settings[i], streams[i], paths[i].c_str())) parsed = false;
  }
  if (!parsed) return "-10";

  bool oriented = true;
  for (size_t i = 0; i < n; ++i)
    if (!estimateOrientation(settings[i], streams[i])) oriented = false;
  if (!oriented) return "-13";

  if (!syncRecordings(synced, settings, streams) || synced.size() != n) return "-11";
  streams.clear();  // only the synchronised copies are exported

  // Two recordings with one stem would share a CSV file and the second would
  // silently replace the first; a CSV path that names one of the recordings
  // would destroy it. Refuse both before writing anything.
  std::vector<std::string> csvPaths(n);
  std::set<std::string> seen;
  for (size_t i = 0; i < n; ++i) {
    const std::string stem = fileStem(paths[i]);
    if (!seen.insert(collisionKey(stem)).second) return "-12";
    csvPaths[i] = folder + "/" + stem + ".csv";
  }
  for (const std::string& csv : csvPaths)
    for (const std::string& recording : paths)
      if (sameFile(recording.c_str(), csv.c_str())) return "-12";

  bool exported = true;
  for (size_t i = 0; i < n; ++i)
    if (!exportCsv(csvPaths[i].c_str(), settings[i], synced[i])) exported = false;
  return exported ? "OK" : "-12";
}

}  // namespace kinovar
