#include "ops/recording_file.h"

#include <algorithm>
#include <array>

#include "io/byte_source.h"
#include "io/paths.h"
#include "ops/workers.h"
#include "orientation/orientation.h"
#include "reader/unparsed.h"
#include "settings/settings_record.h"

namespace kinovar {

bool parseRecordingFile(DeviceSettings& settings, StreamMap& streams, const char* utf8Path, ParseStats* stats,
                        UnparsedRecording* why) {
  // Read in pieces: the file's bytes are never held whole beside its streams.
  RecordingReader reader;
  Unparsed reason = Unparsed::None;
  int systemError = 0;
  const bool parsed = reader.open(fileSource(utf8Path), &reason, &systemError);
  settings = reader.settings();
  reader.readAll(streams);
  if (stats && reader.stats().blocks > 0) *stats = reader.stats();  // the settings block was found
  if (why && !parsed) {
    why->reason = reason;
    why->systemError = systemError;
  }
  return parsed;
}

RecordingCheck checkRecordingFile(const char* utf8Path) {
  RecordingCheck check;
  const auto fails = [&](const char* step, int error) {
    check.fault = RecordingFault::Unreadable;
    check.systemError = error;
    check.step = step;
    return check;
  };
  int error = 0;
  const std::unique_ptr<ByteReader> file = fileSource(utf8Path)->open(0, error);
  if (!file) return fails("open", error);
  // Samples come in whole blocks after the settings block: a file without one has none.
  std::array<uint8_t, 2 * kSettingsBlockSize> head{};
  for (size_t got; check.bytes < head.size() && (got = file->read(head.data() + check.bytes, head.size() - check.bytes)) > 0;)
    check.bytes += got;
  if (file->failed()) return fails("read", file->error());  // a folder opens, then fails to read
  // The parse's own reason for a first block that holds no settings or is cut.
  const Unparsed unparsed = whyUnparsed({head.data(), static_cast<size_t>(std::min<uint64_t>(check.bytes, kSettingsBlockSize))});
  if (check.bytes < kSettingsBlockSize && unparsed == Unparsed::CutShort) check.fault = RecordingFault::CutShort;
  else if (unparsed == Unparsed::NotARecording) check.fault = RecordingFault::NotARecording;
  else if (check.bytes == kSettingsBlockSize) check.fault = RecordingFault::SettingsFile;
  else if (check.bytes < head.size()) check.fault = RecordingFault::NoSamples;
  return check;
}

SetOutcome openSet(const std::vector<std::string>& paths, const ConversionOptions& options, TickReading ticks,
                   std::vector<std::unique_ptr<RecordingReader>>& readers, std::vector<Recording>& set) {
  SetOutcome outcome;
  const size_t n = paths.size();
  for (const std::string& path : paths) utf8ToWide(path.c_str());
  set.assign(n, Recording{});
  readers.clear();
  for (size_t i = 0; i < n; ++i) readers.push_back(std::make_unique<RecordingReader>(options.chunkSamples, options.cancel, ticks));
  std::vector<UnparsedRecording> unparsed(n);
  std::vector<char> parsed(n, 0), oriented(n, 0);
  outcome.calibrations.assign(n, CalibrationReport{});
  SetProgress progress(options, n, 0.0, kFirstPassShare);
  forEachIndex(n, threadBudget(options), [&](size_t i) {
    RecordingReader& reader = *readers[i];
    unparsed[i].recording = i;
    parsed[i] = reader.open(fileSource(paths[i]), &unparsed[i].reason, &unparsed[i].systemError);
    if (parsed[i]) outcome.calibrations[i] = calibrateReader(reader, options);
    set[i].settings = reader.settings();
    set[i].streams = reader.shapes();
    set[i].unwrappedTicks = ticks == TickReading::Unwrapped;
    for (const uint32_t key : {kRadioTimeKey, kEventKey}) {
      const auto found = set[i].streams.find(key);
      if (found == set[i].streams.end() || found->second.count == 0) continue;
      SampleStream whole(found->second.channels, found->second.count);
      reader.cursor(key)->read(whole, whole.count);
      found->second = std::move(whole);
    }
    const uint64_t quaternions = orientationSamples(set[i].settings, set[i].streams, options.estimator);
    if (quaternions > 0) {
      SampleStream shape;
      shape.channels = 4;
      shape.count = quaternions;
      set[i].streams.emplace(kQuaternionKey, std::move(shape));
    }
    // Without an estimator there is no orientation stage to fail.
    oriented[i] = parsed[i] && (options.estimator == Estimator::None || quaternions > 0);
    progress.note(i, 1.0);
  }, progress.waiting());
  // A recording that does not parse fails the set before any orientation does.
  for (size_t i = 0; i < n; ++i)
    if (!parsed[i]) outcome.unparsed.push_back(unparsed[i]);
  if (!outcome.unparsed.empty()) {
    outcome.failure = SetFailure::Unparsed;
    return outcome;
  }
  for (size_t i = 0; i < n; ++i) {
    if (!oriented[i]) outcome.noOrientation.push_back(i);
    uint64_t samples = 0;
    for (const auto& [key, stream] : set[i].streams)
      if (key != kQuaternionKey) samples += stream.count;
    if (samples == 0) outcome.empty.push_back(i);
  }
  if (!outcome.noOrientation.empty()) outcome.failure = SetFailure::NoOrientation;
  return outcome;
}

}  // namespace kinovar
