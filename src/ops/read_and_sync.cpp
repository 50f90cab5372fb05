#include <algorithm>
#include <cmath>
#include <memory>
#include <cerrno>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "export/csv.h"
#include "export/resample.h"
#include "io/paths.h"
#include "ops/operations.h"
#include "ops/recording_file.h"
#include "ops/stream_recording.h"
#include "ops/streamed_set.h"
#include "ops/targets.h"
#include "ops/workers.h"
#include "sync/sync.h"

namespace kinovar {

namespace {

// Two recordings with one stem would share a CSV file; empty, and the
// problem told, when the set's CSV files may not take their names.
std::vector<std::string> csvPathsOf(const std::vector<std::string>& paths, const std::string& folder,
                                    SetOutcome& outcome) {
  std::vector<std::string> csvPaths;
  for (const std::string& path : paths) csvPaths.push_back(folder + "/" + fileStem(path) + ".csv");
  TargetClash clash = targetClash(paths, csvPaths);
  if (clash.problem == OutputProblem::None) return csvPaths;
  outcome.output = clash.problem;
  outcome.outputRecordings = std::move(clash.indices);
  return {};
}

// A stream of a set cut to its window as it is read: `count` samples after
// skipping `skip`, their times onto the common clock. The token is checked
// at every read, since a set's reader may hold a whole file in one piece.
class WindowCursor : public StreamCursor {
 public:
  WindowCursor(std::unique_ptr<StreamCursor> inner, uint64_t skip, uint64_t count, double offset, double rate,
               const CancelToken& cancel)
      : inner_(std::move(inner)), skip_(skip), left_(count), offset_(offset), rate_(rate), cancel_(cancel) {}
  uint64_t read(SampleStream& out, uint64_t max) override {
    cancel_.check();
    for (SampleStream ignored; skip_ > 0;) {
      const uint64_t n = inner_->read(ignored, std::min<uint64_t>(skip_, kDefaultChunkSamples));
      if (n == 0) break;
      skip_ -= n;
    }
    const uint64_t n = left_ && max ? inner_->read(out, std::min(max, left_)) : 0;
    for (uint64_t j = 0; j < n; ++j) out.times[j] = onCommonClock(out.times[j], offset_, rate_);
    left_ -= n;
    return n;
  }

 private:
  std::unique_ptr<StreamCursor> inner_;
  uint64_t skip_, left_;
  double offset_, rate_;
  CancelToken cancel_;
};

// A stream onto a grid as it is read: row r takes the sample nearest its
// instant when near enough, as the cut of a stream in memory does
// (sync/window.cpp); what slipped is told once the last row is read.
// The rows walk the pieces as read; the last sample of a piece is kept
// aside while the next is read, so that a row can always look one ahead.
class GridCursor : public StreamCursor {
 public:
  GridCursor(std::unique_ptr<StreamCursor> inner, uint64_t channels, double offset, double rate, const WindowPlan& plan,
             size_t i, size_t k, uint64_t rows, SyncStreamCount& slips, const CancelToken& cancel)
      : inner_(std::move(inner)), channels_(channels), offset_(offset), rate_(rate), plan_(plan), k_(k), rows_(rows),
        slips_(slips), counted_(SyncStreamCount{slips.key}), take_(plan.gridReach[i][k], counted_), kept_(channels),
        cancel_(cancel) {}
  uint64_t read(SampleStream& out, uint64_t max) override {
    cancel_.check();
    const uint64_t n = std::min(max, rows_ - row_);
    out.channels = channels_;
    out.count = n;
    out.times.resize(n);
    out.values.resize(channels_ * n);
    if (row_ == 0 && n > 0 && !more()) empty_ = true;
    const double tie = 1e-6 * plan_.gridPeriod(k_);
    for (uint64_t r = 0; r < n; ++r, ++row_) {
      const double t = plan_.gridTime(k_, row_);
      while (!empty_ && hasNext() && std::fabs(nextTime() - t) < std::fabs(currentTime() - t) - tie) {
        if (keeping_) keeping_ = false, at_ = 0;
        else ++at_;
        ++index_;
      }
      out.times[r] = t;
      const bool held = take_.take(index_, empty_ ? GridTake::kNoSample : std::fabs(currentTime() - t));
      for (uint64_t c = 0; c < channels_; ++c)
        out.values[c * n + r] = !held ? std::numeric_limits<double>::quiet_NaN()
                                : keeping_ ? kept_[c] : piece_.values[c * piece_.count + at_];
    }
    if (row_ == rows_ && n > 0) {
      slips_.skipped = counted_.skipped, slips_.repeated = counted_.repeated, slips_.empty = counted_.empty;
    }
    return n;
  }

 private:
  double currentTime() const { return keeping_ ? keptTime_ : piece_.times[at_]; }
  double nextTime() const { return piece_.times[keeping_ ? 0 : at_ + 1]; }
  // Whether a sample follows the current one, reading the next piece when
  // the current is its piece's last (then kept aside).
  bool hasNext() {
    if (keeping_ || at_ + 1 < piece_.count) return true;
    if (ended_) return false;
    keptTime_ = piece_.times[at_];
    for (uint64_t c = 0; c < channels_; ++c) kept_[c] = piece_.values[c * piece_.count + at_];
    if (!more()) return false;
    keeping_ = true;
    return true;
  }
  // The next piece into piece_, its times on the common clock; false at the
  // end, piece_ then as it was.
  bool more() {
    if (ended_ || inner_->read(next_, kDefaultChunkSamples) == 0) {
      ended_ = true;
      return false;
    }
    for (uint64_t j = 0; j < next_.count; ++j) next_.times[j] = onCommonClock(next_.times[j], offset_, rate_);
    std::swap(piece_, next_);
    at_ = 0;
    return true;
  }

  std::unique_ptr<StreamCursor> inner_;
  uint64_t channels_;
  double offset_, rate_;
  const WindowPlan& plan_;
  size_t k_;
  uint64_t rows_, row_ = 0;
  SyncStreamCount& slips_;
  SyncStreamCount counted_;
  GridTake take_;
  SampleStream piece_, next_;
  uint64_t at_ = 0, index_ = 0;  // in the piece, and in the stream
  std::vector<double> kept_;
  double keptTime_ = 0.0;
  bool keeping_ = false, ended_ = false, empty_ = false;
  CancelToken cancel_;
};

// The own time of sample j of a stream of the reader (a quaternion stands at
// its accelerometer sample's time).
double ownTime(const RecordingReader& reader, uint32_t key, uint64_t j) {
  SampleStream one;
  const auto cursor = reader.cursor(key == kQuaternionKey ? kAccelKey : key, j);
  return cursor && cursor->read(one, 1) == 1 ? one.times[0] : 0.0;
}

// The first instant of recording i's table on the common clock, before the
// cut: its earliest first sample or event.
double streamedFirstInstant(const Recording& light, const RecordingReader& reader, double offset, double rate) {
  double first = std::numeric_limits<double>::infinity();
  for (const auto& [key, stream] : light.streams) {
    if (stream.count == 0) continue;
    first = std::min(first, key == kEventKey ? stream.times[0] : onCommonClock(ownTime(reader, key, 0), offset, rate));
  }
  return first;
}

// Recording i of a set read in pieces, cut to the window as its rows are
// made: its shapes take the window's counts, its events are cut (and, in the
// classic CSV, put on their rows' ticks) in memory, the rest streams.
StreamSource streamedCut(const WindowPlan& window, size_t i, Recording& light, const RecordingReader& reader,
                         const RecordingStreams& streams, SyncReport& report, const CancelToken& cancel, CsvStyle style,
                         double hz = 0.0) {
  const double offset = report.offsets[i], rate = placedRate(report, i);
  const bool grid = window.grid();
  std::vector<SyncStreamCount>& kept = report.samples[i];
  kept.assign(window.keys.size(), SyncStreamCount{});
  std::vector<std::pair<uint32_t, std::pair<double, double>>> spans;
  for (size_t k = 0; k < window.keys.size(); ++k) {
    const uint32_t key = window.keys[k];
    const uint64_t count = window.count[i][k];
    light.streams.at(key).count = kept[k].samples = count;
    kept[k].key = key;
    if (count == 0) continue;
    if (grid) {
      spans.push_back({key, {window.gridTime(k, 0), window.gridTime(k, count - 1)}});
    } else {
      const uint64_t start = window.start[i][k];
      spans.push_back({key, {onCommonClock(ownTime(reader, key, start), offset, rate),
                             onCommonClock(ownTime(reader, key, start + count - 1), offset, rate)}});
    }
  }
  cutEvents(window, light.streams, spans);
  if (style == CsvStyle::Classic) eventsOnRowClock(light.streams, light.settings.frequency, firstRowTime(light.streams, spans));
  const SampleStream* events = findStream(light.streams, kEventKey);
  report.events[i] = events ? events->count : 0;

  StreamSource source = streams.source();
  source.settings = &light.settings;
  source.shapes = &light.streams;
  const auto read = source.cursor;
  source.cursor = [&window, &light, &reader, &kept, read, i, offset, rate, grid, cancel](uint32_t key) -> std::unique_ptr<StreamCursor> {
    if (key == kEventKey) return memoryCursor(light.streams.at(kEventKey));
    const size_t k = static_cast<size_t>(std::find(window.keys.begin(), window.keys.end(), key) - window.keys.begin());
    if (k == window.keys.size()) return read(key);
    const uint64_t count = window.count[i][k];
    if (grid)
      return std::make_unique<GridCursor>(read(key), light.streams.at(key).channels, offset, rate, window, i, k, count,
                                          kept[k], cancel);
    // Quaternions are estimated from the first sample on; the rest start where the window does.
    if (key == kQuaternionKey) return std::make_unique<WindowCursor>(read(key), window.start[i][k], count, offset, rate, cancel);
    return std::make_unique<WindowCursor>(reader.cursor(key, window.start[i][k]), 0, count, offset, rate, cancel);
  };
  if (!(hz > 0)) return source;
  // Resampled onto the set's grid from the window start as the cut is read, as a set in memory is.
  auto table = std::make_shared<ResampledTable>(source.cursor);
  for (const ResampledSource& own : resampledSources(light.settings)) {
    const auto span = std::find_if(spans.begin(), spans.end(), [&own](const auto& s) { return s.first == own.key; });
    if (span == spans.end()) continue;
    SampleStream& shape = light.streams.at(own.key);
    ResampledStream stream;
    stream.channels = shape.channels;
    stream.count = shape.count;
    stream.rate = own.rate;
    stream.hz = hz;
    stream.origin = window.eventStart;
    stream.quaternion = own.key == kQuaternionKey;
    stream.piece = reader.chunkSamples();
    stream.first = span->second.first;
    stream.last = span->second.second;
    shape.count = table->add(own.key, stream);
  }
  source.cursor = [table](uint32_t key) { return table->cursor(key); };
  return source;
}

// The set's files, with those beside them, take their names together; when
// one fails none does, and the failure is noted for the first recording named.
void commitSet(std::vector<CsvFile>& csvs, const std::vector<std::string>& csvPaths, const ConversionOptions& options,
               const BesideFiles& beside, SetOutcome& outcome, std::vector<OutputFailure>& failures) {
  const size_t n = csvs.size();
  std::vector<OutputFile> outputs;
  for (CsvFile& csv : csvs) outputs.push_back(std::move(csv.output));
  size_t bad = 0;
  OutputFailure failure;
  if (commitWithBeside(outputs, csvPaths, options, beside, outcome, bad, failure)) return;
  // A file beside them failed: no file of the set took its name.
  if (bad < n) outcome.outputRecordings.push_back(bad);
  else for (size_t i = 0; i < n; ++i) outcome.outputRecordings.push_back(i);
  failures[outcome.outputRecordings.front()] = failure;
}

// The output paths are asked for only once the set is synchronised, so that
// a refusal of them never hides an earlier stage's failure.
// Quiet: prints nothing. Together: the files take their names only once all
// are written; otherwise each as soon as it is, as readAndSync2 always did.
template <typename OutputPaths>
SetOutcome synchronise(const std::vector<std::string>& paths, const ConversionOptions& options, bool quiet,
                       bool together, OutputPaths outputPaths, const BesideFiles& beside = {}) {
  if (paths.empty()) return SetOutcome{};
  const size_t n = paths.size();
  const CsvStyle style = csvStyleOf(options.format);
  // A first pass over each recording finds what the alignment needs, and
  // the second streams the cut (resampled as it is read, when asked)
  // through the writers, so that memory does not grow with the length.
  const bool resampled = style == CsvStyle::Plain && options.resample > 0;
  std::vector<Recording> set;
  std::vector<std::unique_ptr<RecordingReader>> readers;
  SetOutcome outcome = openSet(paths, options, tickReadingOf(style), readers, set);
  if (outcome.failure != SetFailure::None) return outcome;
  const OwnTime streamed = [&readers](size_t i, uint32_t key, uint64_t j) { return ownTime(*readers[i], key, j); };

  WindowPlan window;
  if (!alignRecordings(set, window, &outcome.sync, clockAlignment(options, resampled), streamed)) {
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
  const double first = streamedFirstInstant(set[0], *readers[0], outcome.sync.offsets[0], placedRate(outcome.sync, 0));
  const PlainTime time{window.eventStart, options.absoluteTime,
                       timeBase(epochSeconds(set[0].settings.createdAt), window.eventStart - first, options),
                       options.utcOffset == options.utcOffset};

  // Recordings side by side first; threads left over go to each file's rows.
  const unsigned budget = threadBudget(options);
  const unsigned exportThreads = std::max<unsigned>(1, budget / static_cast<unsigned>(std::min<size_t>(n, budget)));
  std::vector<char> exported(n, 0);
  std::vector<OutputFailure> failures(n);
  std::vector<CsvFile> csvs(n);
  // Each recording's rows weigh by its samples in the window, a fair measure of its share of the work.
  std::vector<double> weights(n, 0.0);
  for (size_t i = 0; i < std::min(n, window.count.size()); ++i)
    for (const uint64_t count : window.count[i]) weights[i] += static_cast<double>(count);
  SetProgress progress(options, n, kFirstPassShare, 1.0, std::move(weights));
  forEachIndex(n, budget, [&](size_t i) {
    Recording& recording = set[i];
    csvs[i] = openCsv(csvPaths[i].c_str(), options.durable);
    const RecordingStreams streams(*readers[i], options, exportThreads > 1);
    StreamSource source = streamedCut(window, i, recording, *readers[i], streams, outcome.sync, options.cancel, style,
                                      resampled ? options.resample : 0.0);
    if (options.progress) source.progress = [&progress, i](double fraction) { progress.note(i, fraction); };
    exported[i] = together ? writeCsv(csvs[i], source, style, exportThreads, &failures[i], time)
                           : exportCsv(std::move(csvs[i]), source, style, exportThreads, &failures[i], time);
    progress.note(i, 1.0);
  }, progress.waiting());
  outcome.files = csvPaths;
  for (size_t i = 0; i < n; ++i)
    if (!exported[i]) outcome.outputRecordings.push_back(i);
  if (together && outcome.outputRecordings.empty()) commitSet(csvs, csvPaths, options, beside, outcome, failures);
  if (!outcome.outputRecordings.empty()) {
    outcome.failure = SetFailure::Output;
    outcome.output = OutputProblem::NotWritten;
    outcome.written = failures[outcome.outputRecordings.front()];
  } else {
    reportProgress(options, 1.0);
  }
  return outcome;
}

}  // namespace

bool commitWithBeside(std::vector<OutputFile>& outputs, const std::vector<std::string>& paths,
                      const ConversionOptions& options, const BesideFiles& beside, const SetOutcome& outcome, size_t& bad,
                      OutputFailure& failure) {
  std::vector<std::string> named = paths;
  if (beside) {
    for (const auto& [path, bytes] : beside(outcome)) {
      OutputFile& file = outputs.emplace_back(path.c_str(), OutputFile::Mode::Binary);
      named.push_back(path);
      if (file && !bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file.file()) != bytes.size())
        file.noteWriteError(errno);
      if (!file) break;  // refused at open: its error stands, nothing further is needed
    }
  }
  if (commitTogether(outputs, options.durable, &bad)) return true;
  failure = OutputFailure{named[bad], outputs[bad].error(), outputs[bad].failedStep()};
  return false;
}

std::unique_ptr<StreamedSet> openStreamedSet(const std::vector<std::string>& paths, const ConversionOptions& options,
                                             CsvStyle style) {
  auto set = std::make_unique<StreamedSet>();
  if (paths.empty()) return set;
  SetOutcome& outcome = set->outcome;
  outcome = openSet(paths, options, tickReadingOf(style), set->readers, set->recordings);
  if (outcome.failure != SetFailure::None) return set;
  const OwnTime own = [&readers = set->readers](size_t i, uint32_t key, uint64_t j) { return ownTime(*readers[i], key, j); };
  const bool resampled = options.resample > 0;
  if (!alignRecordings(set->recordings, set->window, &outcome.sync, clockAlignment(options, resampled), own)) {
    outcome.failure = SetFailure::NotSynchronised;
    return set;
  }
  // The first recording's creation time stands at its first sample, before the cut.
  const double first = streamedFirstInstant(set->recordings[0], *set->readers[0], outcome.sync.offsets[0],
                                            placedRate(outcome.sync, 0));
  set->timeBase = timeBase(epochSeconds(set->recordings[0].settings.createdAt), set->window.eventStart - first, options);
  for (size_t i = 0; i < paths.size(); ++i) {
    set->qualities.push_back(qualityReport(*set->readers[i]));
    set->streams.push_back(std::make_unique<RecordingStreams>(*set->readers[i], options));
    set->sources.push_back(
        streamedCut(set->window, i, set->recordings[i], *set->readers[i], *set->streams[i], outcome.sync, options.cancel,
                    style, resampled ? options.resample : 0.0));
  }
  return set;
}

SetOutcome readAndSyncSet(const std::vector<std::string>& paths, const std::string& folder, bool quiet,
                          const ConversionOptions& options) {
  // Quiet callers (the JS layer) get the set whole or not at all.
  const bool report = quiet && options.format == OutputFormat::PlainCsv;
  return synchronise(paths, options, quiet, quiet, [&](SetOutcome& outcome) { return csvPathsOf(paths, folder, outcome); },
                     report ? setFileBeside(paths, folder, options) : BesideFiles{});
}

}  // namespace kinovar
