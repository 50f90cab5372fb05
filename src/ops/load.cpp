#include "ops/load.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "export/csv.h"
#include "export/resample.h"
#include "export/rows.h"
#include "ops/recording_file.h"
#include "orientation/orientation.h"
#include "reader/quality.h"
#include "sync/sync.h"

namespace kinovar {

namespace {

// The table's time on every stream a host receives; NaN where the filter had no estimate.
void onTableTime(Recording& recording, double origin) {
  const TableLayout table = tableLayout(recording.settings, recording.streams);
  if (std::isnan(origin)) origin = firstInstant(table);
  for (const TableColumn* column : {&table.accel, &table.gyro, &table.baro, &table.event, &table.quaternion}) {
    if (!column->stream) continue;
    SampleStream& stream = *const_cast<SampleStream*>(column->stream);
    for (double& t : stream.times) t -= origin;
  }
  if (!table.quaternion.stream) return;
  SampleStream& q = *const_cast<SampleStream*>(table.quaternion.stream);
  const uint64_t n = q.count;
  double* v = q.values.data();
  for (uint64_t k = 0; k < n; ++k)
    if (noEstimate(v[k], v[n + k], v[2 * n + k], v[3 * n + k]))
      v[k] = v[n + k] = v[2 * n + k] = v[3 * n + k] = std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

LoadedRecording loadRecording(const char* utf8Path, const ConversionOptions& options) {
  LoadedRecording loaded;
  Recording& recording = loaded.recording;
  ParseStats scan;
  loaded.parsed = parseRecordingFile(recording.settings, recording.streams, utf8Path, &scan);
  loaded.quality = qualityReport(recording.settings, recording.streams, scan);
  if (loaded.parsed) estimateOrientation(recording.settings, recording.streams, options.estimator);
  const double origin = firstInstant(tableLayout(recording.settings, recording.streams));
  resampleStreams(recording.settings, recording.streams, options.resample, origin);
  onTableTime(recording, origin);
  loaded.resampled = options.resample;
  loaded.timeBase = timeBase(epochSeconds(recording.settings.createdAt), 0.0, options);
  return loaded;
}

LoadedSet loadRecordingSet(const std::vector<std::string>& paths, const ConversionOptions& options) {
  LoadedSet loaded;
  if (paths.empty()) return loaded;
  std::vector<Recording>& set = loaded.recordings;
  SetOutcome& outcome = loaded.outcome;
  outcome = prepareSet(paths, options, OrientationStep::Estimate, set, &loaded.qualities);
  WindowPlan window;
  if (outcome.failure == SetFailure::None &&
      !alignRecordings(set, window, &outcome.sync, clockAlignment(options, options.resample > 0)))
    outcome.failure = SetFailure::NotSynchronised;
  if (outcome.failure != SetFailure::None) {
    set.clear();
    return loaded;
  }
  // The first recording's creation time stands at its first sample, before the cut.
  const double first = firstInstant(tableLayout(set[0].settings, set[0].streams));
  loaded.timeBase = timeBase(epochSeconds(set[0].settings.createdAt), outcome.sync.windowStart - first, options);
  for (size_t i = 0; i < set.size(); ++i) {
    cutToWindow(window, i, set[i], &outcome.sync);
    resampleStreams(set[i].settings, set[i].streams, options.resample, outcome.sync.windowStart);
  }
  loaded.resampled = options.resample;
  for (Recording& recording : set) onTableTime(recording, outcome.sync.windowStart);
  return loaded;
}

std::vector<LoadedStream> loadedStreams(Recording& recording, double resampled) {
  const DeviceSettings& settings = recording.settings;
  const TableLayout table = tableLayout(settings, recording.streams);
  const TableColumn* columns[] = {&table.accel, &table.gyro, &table.baro, &table.event, &table.quaternion};
  int32_t rates[] = {settings.accel.frequency, settings.gyro.frequency, settings.baro.frequency, 0,
                     settings.gyro.frequency};
  if (resampled > 0)
    for (int32_t& rate : rates) rate = rate ? static_cast<int32_t>(std::lround(resampled)) : 0;
  std::vector<LoadedStream> loaded;
  const std::vector<StreamLayout>& layouts = streamLayouts();
  for (size_t i = 0; i < layouts.size(); ++i) {
    if (!columns[i]->stream) continue;
    // The table reads the streams; a host may take their arrays.
    loaded.push_back({&layouts[i], const_cast<SampleStream*>(columns[i]->stream), rates[i]});
  }
  return loaded;
}

static_assert(kTableStreams == InstantMerge::kMax);

uint64_t tableRows(const std::vector<std::span<const double>>& times, std::vector<std::vector<uint32_t>>& rowOf) {
  InstantMerge merge;
  rowOf.assign(std::min(times.size(), InstantMerge::kMax), {});
  for (size_t s = 0; s < rowOf.size(); ++s) {
    merge.add(times[s].data(), times[s].size());
    rowOf[s].resize(times[s].size());
  }
  uint64_t rows = 0;
  for (double t = merge.next(); !std::isinf(t); t = merge.next(), ++rows) {
    uint64_t k = 0;
    for (size_t s = 0; s < rowOf.size(); ++s)
      if (merge.take(s, t, k)) rowOf[s][k] = static_cast<uint32_t>(rows);
  }
  return rows;
}

}  // namespace kinovar
