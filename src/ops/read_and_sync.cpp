#include <algorithm>
#include <map>
#include <stdexcept>

#include "export/csv.h"
#include "io/paths.h"
#include "ops/operations.h"
#include "ops/workers.h"
#include "reader/parser.h"
#include "reader/unparsed.h"
#include "sync/sync.h"

namespace kinovar {

namespace {

// Names that land on the same CSV file: Windows and macOS (by default) fold
// case in file names, beyond ASCII too.
std::string collisionKey(const std::string& stem) {
#if defined(_WIN32) || defined(__APPLE__)
  return caseFoldKey(stem);
#else
  return stem;
#endif
}

// Two recordings with one stem would share a CSV file and the second would
// silently replace the first; a CSV path that names one of the recordings
// would destroy it; on Windows a device name would swallow the rows. Empty,
// and the problem told, when any of these would happen.
std::vector<std::string> csvPathsOf(const std::vector<std::string>& paths, const std::string& folder,
                                    SetOutcome& outcome) {
  const auto refuse = [&](OutputProblem problem, std::vector<size_t> recordings) {
    outcome.output = problem;
    outcome.outputRecordings = std::move(recordings);
    return std::vector<std::string>{};
  };
  std::vector<std::string> csvPaths(paths.size());
  std::map<std::string, size_t> seen;
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string stem = fileStem(paths[i]);
    const auto [first, fresh] = seen.emplace(collisionKey(stem), i);
    if (!fresh) return refuse(OutputProblem::SameName, {first->second, i});
    csvPaths[i] = folder + "/" + stem + ".csv";
#ifdef _WIN32
    if (reservedDeviceName(csvPaths[i])) return refuse(OutputProblem::DeviceName, {i});
#endif
  }
  for (const std::string& csv : csvPaths)
    for (size_t j = 0; j < paths.size(); ++j)
      if (sameFile(paths[j].c_str(), csv.c_str())) return refuse(OutputProblem::ReplacesRecording, {j});
  return csvPaths;
}

}  // namespace

namespace {

// The output paths are asked for only once the set is synchronised, so that
// a refusal of them ("-12") never hides an earlier stage's code.
// Quiet: prints nothing and finds why each unparsed recording failed.
template <typename OutputPaths>
SetOutcome synchronise(const std::vector<std::string>& paths, const ConversionOptions& options, bool quiet,
                       OutputPaths outputPaths) {
  SetOutcome outcome;
  outcome.status = "OK";
  if (paths.empty()) return outcome;
  const size_t n = paths.size();
  std::vector<Recording> set(n);

  // A path that is not UTF-8 must reach the host as an error, not as "-10".
  for (const std::string& path : paths) utf8ToWide(path.c_str());
  std::vector<char> parsed(n, 0), oriented(n, 0);
  // The filters are only prepared here (their zeroed quaternion streams take
  // part in the alignment); each runs just before its recording is cut and
  // written, beside the other recordings' work. A recording that does not
  // parse answers "-10" before any "-13".
  const unsigned budget = threadBudget(options);
  forEachIndex(n, budget, [&](size_t i) {
    parsed[i] = parseRecordingFile(set[i].settings, set[i].streams, paths[i].c_str());
    // Without an estimator there is no orientation stage to fail.
    if (parsed[i])
      oriented[i] = options.estimator == Estimator::None ||
                    prepareOrientation(set[i].settings, set[i].streams, options.estimator);
  });
  if (std::find(parsed.begin(), parsed.end(), 0) != parsed.end()) {
    outcome.status = "-10";
    for (size_t i = 0; i < n; ++i)
      if (!parsed[i]) {
        UnparsedRecording why{i};
        if (quiet) why.reason = whyUnparsed(paths[i].c_str(), &why.systemError);
        outcome.unparsed.push_back(why);
      }
    return outcome;
  }
  if (std::find(oriented.begin(), oriented.end(), 0) != oriented.end()) {
    outcome.status = "-13";
    for (size_t i = 0; i < n; ++i)
      if (!oriented[i]) outcome.noOrientation.push_back(i);
    return outcome;
  }

  WindowPlan window;
  if (!alignRecordings(set, window, quiet ? &outcome.sync : nullptr)) {
    outcome.status = "-11";
    return outcome;
  }

  // Refused before anything is written.
  const std::vector<std::string> csvPaths = outputPaths(outcome);
  if (csvPaths.size() != n) {
    outcome.status = "-12";
    return outcome;
  }

  // Recordings side by side first; threads left over go to each file's rows.
  const unsigned exportThreads = std::max<unsigned>(1, budget / static_cast<unsigned>(std::min<size_t>(n, budget)));
  std::vector<char> exported(n, 0);
  std::vector<OutputFailure> failures(n);
  forEachIndex(n, budget, [&](size_t i) {
    Recording& recording = set[i];
    fillOrientation(recording.settings, recording.streams, options.estimator);
    cutToWindow(window, i, recording, &outcome.sync);
    eventsOnRowClock(recording.streams, recording.settings.frequency);
    exported[i] = exportCsv(openCsv(csvPaths[i].c_str(), options.inPlace), recording.settings, recording.streams, {},
                            csvStyleOf(options.format), exportThreads, &failures[i]);
    recording.streams = StreamMap{};
  });
  outcome.files = csvPaths;
  for (size_t i = 0; i < n; ++i)
    if (!exported[i]) outcome.outputRecordings.push_back(i);
  if (!outcome.outputRecordings.empty()) {
    outcome.status = "-12";
    outcome.output = OutputProblem::NotWritten;
    outcome.failure = failures[outcome.outputRecordings.front()];
  }
  return outcome;
}

}  // namespace

std::string readAndSync(const std::vector<std::string>& paths, const std::string& folder,
                        const ConversionOptions& options, OutputFailure* failure) {
  SetOutcome outcome = readAndSyncSet(paths, folder, false, options);
  if (failure) *failure = outcome.failure;
  return outcome.status;
}

SetOutcome readAndSyncSet(const std::vector<std::string>& paths, const std::string& folder, bool quiet,
                          const ConversionOptions& options) {
  return synchronise(paths, options, quiet, [&](SetOutcome& outcome) { return csvPathsOf(paths, folder, outcome); });
}

SetOutcome readAndSyncInto(const std::vector<std::string>& paths, const std::vector<std::string>& csvPaths,
                           const ConversionOptions& options) {
  if (csvPaths.size() != paths.size()) throw std::invalid_argument("one output file per recording is needed");
  return synchronise(paths, options, true, [&](SetOutcome&) { return csvPaths; });
}

}  // namespace kinovar
