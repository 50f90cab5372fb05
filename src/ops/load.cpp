#include "ops/load.h"

#include <algorithm>

#include "export/csv.h"
#include "ops/recording_file.h"
#include "orientation/orientation.h"
#include "reader/quality.h"
#include "sync/sync.h"

namespace kinovar {

LoadedRecording loadRecording(const char* utf8Path, const ConversionOptions& options) {
  LoadedRecording loaded;
  Recording& recording = loaded.recording;
  ParseStats scan;
  loaded.parsed = parseRecordingFile(recording.settings, recording.streams, utf8Path, &scan);
  loaded.quality = qualityReport(recording.settings, recording.streams, scan);
  if (loaded.parsed) estimateOrientation(recording.settings, recording.streams, options.estimator);
  return loaded;
}

LoadedSet loadRecordingSet(const std::vector<std::string>& paths, const ConversionOptions& options) {
  LoadedSet loaded;
  if (paths.empty()) return loaded;
  std::vector<Recording>& set = loaded.recordings;
  SetOutcome& outcome = loaded.outcome;
  outcome = prepareSet(paths, options, OrientationStep::Estimate, set, &loaded.qualities);
  if (outcome.failure == SetFailure::None && !syncRecordings(set, &outcome.sync))
    outcome.failure = SetFailure::NotSynchronised;
  if (outcome.failure != SetFailure::None) set.clear();
  return loaded;
}

LoadedTable loadedTable(Recording& recording) {
  const DeviceSettings& settings = recording.settings;
  const TableLayout table = tableLayout(settings, recording.streams);
  const TableColumn* columns[] = {&table.accel, &table.gyro, &table.baro, &table.event, &table.quaternion};
  const int32_t rates[] = {settings.accel.frequency, settings.gyro.frequency, settings.baro.frequency, 0,
                           settings.gyro.frequency};
  LoadedTable loaded{table.rows, {}};
  const std::vector<StreamLayout>& layouts = streamLayouts();
  for (size_t i = 0; i < layouts.size(); ++i) {
    if (!columns[i]->stream) continue;
    // The table reads the streams; a host may take their arrays.
    loaded.streams.push_back(
        {&layouts[i], const_cast<SampleStream*>(columns[i]->stream), columns[i]->divisor, rates[i]});
  }
  return loaded;
}

}  // namespace kinovar
