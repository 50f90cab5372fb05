#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "export/csv.h"
#include "export/resample.h"
#include "io/paths.h"
#include "ops/operations.h"
#include "ops/recording_file.h"
#include "ops/workers.h"
#include "orientation/orientation.h"
#include "sync/sync.h"

namespace kinovar {

namespace {

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
    const auto [first, fresh] = seen.emplace(outputNameKey(stem), i);
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
// a refusal of them never hides an earlier stage's failure.
// Quiet: prints nothing. Together: the files take their names only once all
// are written; otherwise each as soon as it is, as readAndSync2 always did.
template <typename OutputPaths>
SetOutcome synchronise(const std::vector<std::string>& paths, const ConversionOptions& options, bool quiet,
                       bool together, OutputPaths outputPaths, const BesideFiles& beside = {}) {
  if (paths.empty()) return SetOutcome{};
  const size_t n = paths.size();
  // The filters are only prepared here (their zeroed quaternion streams take
  // part in the alignment); each runs just before its recording is cut and
  // written, beside the other recordings' work.
  std::vector<Recording> set;
  SetOutcome outcome = prepareSet(paths, options, OrientationStep::Prepare, set);
  if (outcome.failure != SetFailure::None) return outcome;

  WindowPlan window;
  const bool resampled = csvStyleOf(options.format) == CsvStyle::Plain && options.resample > 0;
  if (!alignRecordings(set, window, &outcome.sync, clockAlignment(options, resampled))) {
    // readAndSync2 tells a refusal in a line on stderr, as it always has; nothing else in the core prints.
    if (!quiet) std::fputs(refusalLine(outcome.sync).c_str(), stderr);
    outcome.failure = SetFailure::NotSynchronised;
    return outcome;
  }

  // Refused before anything is written.
  const std::vector<std::string> csvPaths = outputPaths(outcome);
  if (csvPaths.size() != n) {
    outcome.failure = SetFailure::Output;
    return outcome;
  }

  // One time for the set: from its window start, the first recording's
  // creation time standing at its first sample on the common base.
  const double first = firstInstant(tableLayout(set[0].settings, set[0].streams));
  const PlainTime time{window.eventStart, options.absoluteTime,
                       timeBase(epochSeconds(set[0].settings.createdAt), window.eventStart - first, options),
                       options.utcOffset == options.utcOffset};

  // Recordings side by side first; threads left over go to each file's rows.
  const unsigned budget = threadBudget(options);
  const unsigned exportThreads = std::max<unsigned>(1, budget / static_cast<unsigned>(std::min<size_t>(n, budget)));
  std::vector<char> exported(n, 0);
  std::vector<OutputFailure> failures(n);
  std::vector<CsvFile> csvs(n);
  forEachIndex(n, budget, [&](size_t i) {
    Recording& recording = set[i];
    fillOrientation(recording.settings, recording.streams, options.estimator);
    cutToWindow(window, i, recording, &outcome.sync);
    const CsvStyle style = csvStyleOf(options.format);
    if (style == CsvStyle::Plain) resampleStreams(recording.settings, recording.streams, options.resample, window.eventStart);
    // Classic rows are clock ticks from each file's first sample; plain rows
    // are the samples' instants, counted from the set's window start.
    if (style == CsvStyle::Classic) eventsOnRowClock(recording.streams, recording.settings.frequency);
    csvs[i] = openCsv(csvPaths[i].c_str(), options.durable);
    exported[i] = together ? writeCsv(csvs[i], recording.settings, recording.streams, {}, style, exportThreads,
                                      &failures[i], time)
                           : exportCsv(std::move(csvs[i]), recording.settings, recording.streams, {}, style,
                                       exportThreads, &failures[i], time);
    recording.streams = StreamMap{};
  });
  outcome.files = csvPaths;
  for (size_t i = 0; i < n; ++i)
    if (!exported[i]) outcome.outputRecordings.push_back(i);
  if (together && outcome.outputRecordings.empty()) {
    std::vector<OutputFile> outputs;
    for (CsvFile& csv : csvs) outputs.push_back(std::move(csv.output));
    std::vector<std::string> besidePaths;
    if (beside) {
      for (const auto& [path, bytes] : beside(outcome)) {
        OutputFile& file = outputs.emplace_back(path.c_str(), OutputFile::Mode::Binary);
        besidePaths.push_back(path);
        if (file && !bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file.file()) != bytes.size())
          file.noteWriteError(errno);
        if (!file) break;  // refused at open: its error stands, nothing further is needed
      }
    }
    size_t bad = 0;
    if (!commitTogether(outputs, options.durable, &bad)) {
      const OutputFailure failure{bad < n ? csvPaths[bad] : besidePaths[bad - n], outputs[bad].error(),
                                  outputs[bad].failedStep()};
      // A file beside them failed: no file of the set took its name.
      if (bad < n) outcome.outputRecordings.push_back(bad);
      else for (size_t i = 0; i < n; ++i) outcome.outputRecordings.push_back(i);
      failures[outcome.outputRecordings.front()] = failure;
    }
  }
  if (!outcome.outputRecordings.empty()) {
    outcome.failure = SetFailure::Output;
    outcome.output = OutputProblem::NotWritten;
    outcome.written = failures[outcome.outputRecordings.front()];
  }
  return outcome;
}

}  // namespace

SetOutcome readAndSyncSet(const std::vector<std::string>& paths, const std::string& folder, bool quiet,
                          const ConversionOptions& options, const BesideFiles& beside) {
  // Quiet callers (the JS layer) get the set whole or not at all.
  return synchronise(paths, options, quiet, quiet, [&](SetOutcome& outcome) { return csvPathsOf(paths, folder, outcome); },
                     quiet ? beside : BesideFiles{});
}

}  // namespace kinovar
