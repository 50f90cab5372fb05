#include "sync/sync.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <exception>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

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

// Runs task(i) for every i on up to one thread per core. The recordings of a
// set are independent until they are synchronised, and their files after
// that, so working on them side by side gives what one after the other gives. The first error
// raised is rethrown once every thread has finished.
template <typename Task>
void forEachRecording(size_t n, Task task) {
  const size_t threads = std::min<size_t>(n, std::max(1u, std::thread::hardware_concurrency()));
  std::atomic<size_t> next{0};
  std::mutex failure;
  std::exception_ptr error;
  const auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < n;) {
      try {
        task(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(failure);
        if (!error) error = std::current_exception();
      }
    }
  };
  std::vector<std::jthread> pool;
  for (size_t t = 1; t < threads; ++t) {
    try {
      pool.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads still do all the work
    }
  }
  work();
  pool.clear();  // joins
  if (error) std::rethrow_exception(error);
}

}  // namespace

std::string readAndSync(const std::vector<std::string>& paths, const std::string& folder) {
  if (paths.empty()) return "OK";
  const size_t n = paths.size();
  std::vector<DeviceSettings> settings(n);
  std::vector<StreamMap> streams(n);
  std::vector<StreamMap> synced;

  // A path that is not UTF-8 must reach the host as an error, not as "-10".
  for (const std::string& path : paths) utf8ToWide(path.c_str());
  std::vector<char> parsed(n, 0), oriented(n, 0);
  // The filters are only prepared here (their zeroed quaternion streams take
  // part in the alignment); each runs just before its recording is cut and
  // written, beside the other recordings' work. A recording that does not
  // parse answers "-10" before any "-13".
  std::vector<OrientationJob> filters(n);
  forEachRecording(n, [&](size_t i) {
    parsed[i] = parseRecordingFile(settings[i], streams[i], paths[i].c_str());
    if (parsed[i]) oriented[i] = filters[i].begin(settings[i], streams[i]);
  });
  if (std::find(parsed.begin(), parsed.end(), 0) != parsed.end()) return "-10";
  if (std::find(oriented.begin(), oriented.end(), 0) != oriented.end()) return "-13";

  AlignedSet aligned;
  if (!alignRecordings(synced, settings, streams, aligned) || synced.size() != n) return "-11";

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

  std::vector<char> exported(n, 0);
  forEachRecording(n, [&](size_t i) {
    filters[i].run();
    cutAligned(aligned, i, streams[i], synced[i]);
    exported[i] = exportCsv(csvPaths[i].c_str(), settings[i], synced[i]);
    synced[i] = StreamMap{};
    streams[i] = StreamMap{};
  });
  return std::find(exported.begin(), exported.end(), 0) == exported.end() ? "OK" : "-12";
}

}  // namespace kinovar
