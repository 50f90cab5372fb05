#include <algorithm>
#include <future>
#include <string_view>
#include <system_error>
#include <thread>

#include "export/csv.h"
#include "export/json.h"
#include "model/streams.h"
#include "ops/operations.h"
#include "ops/workers.h"
#include "ops/recording_file.h"
#include "ops/stream_recording.h"
#include "reader/quality.h"

namespace kinovar {

namespace {

// Opening the output (finding its target, creating the file beside it) is
// done beside the parse.
std::future<CsvFile> openCsvBeside(const char* utf8CsvPath, unsigned threads, bool durable) {
  const auto open = [utf8CsvPath, durable] { return openCsv(utf8CsvPath, durable); };
  if (threads > 1) {
    try {
      return std::async(std::launch::async, open);
    } catch (const std::system_error&) {
    }
  }
  return std::async(std::launch::deferred, open);
}

}  // namespace

bool convertRecording(const char* utf8RecordingPath, const char* utf8CsvPath, const ConversionOptions& options,
                      DeviceSettings& settings, QualityReport* quality, OutputFailure* failure,
                      CalibrationReport* calibration) {
  // The CSV must never replace the recording it is made from.
  if (sameFile(utf8RecordingPath, utf8CsvPath)) return false;
  const unsigned threads = threadBudget(options);
  std::future<CsvFile> output = openCsvBeside(utf8CsvPath, threads, options.durable);
  const CsvStyle style = csvStyleOf(options.format);
  RecordingReader reader(options.chunkSamples, options.cancel, tickReadingOf(style));
  const bool parsed = reader.open(fileSource(utf8RecordingPath));
  if (quality) {
    // The report gives the true times; the classic table's signed ticks
    // differ from them only past 2^31 or on a corrupt block, read once more then.
    const ParseStats& seen = reader.stats();
    if (reader.ticks() == TickReading::Signed && (seen.framesPastSigned > 0 || seen.corruptBlocks > 0)) {
      RecordingReader truth(options.chunkSamples, options.cancel, TickReading::Unwrapped);
      truth.open(fileSource(utf8RecordingPath));
      *quality = qualityReport(truth);
    } else {
      *quality = qualityReport(reader);
    }
  }
  if (parsed) {
    CalibrationReport done = calibrateReader(reader, options);
    if (calibration) *calibration = std::move(done);
  }
  const auto sampled = [&](uint32_t key) { return reader.count(key) > 0; };
  if (!options.writeEmpty && std::none_of(reader.keys().begin(), reader.keys().end(), sampled)) {
    output.get().output.discard();
    settings = reader.settings();
    return true;
  }
  // The creation time stands at the first sample, where the table's time starts.
  PlainTime time{kFromFirstSample, options.absoluteTime,
                       timeBase(epochSeconds(reader.settings().createdAt), 0.0, options), options.utcOffset == options.utcOffset};
  // Streams are read a piece at a time as the rows need them, resampled as
  // they are read. A missing or broken recording still gets its
  // (header-only) CSV: hosts rely on it.
  const bool resampled = style == CsvStyle::Plain && options.resample > 0;
  ConversionOptions streamed = options;
  if (!parsed && !resampled) streamed.estimator = Estimator::None;
  const RecordingStreams streams(reader, streamed, threads > 1, resampled);
  if (resampled) time.origin = streams.origin();
  StreamSource source = streams.source();
  // The first pass and the quality report read the file once already.
  reportProgress(options, kFirstPassShare);
  source.progress = [&options](double fraction) {
    reportProgress(options, kFirstPassShare + (1.0 - kFirstPassShare) * fraction);
  };
  const bool exported = exportCsv(output.get(), source, style, threads, failure, time);
  settings = reader.settings();
  if (exported) reportProgress(options, 1.0);
  return exported;
}

std::string readRecording(const char* utf8RecordingPath, const char* utf8CsvPath, const ConversionOptions& options,
                          QualityReport* quality, OutputFailure* failure) {
  DeviceSettings settings;
  if (!convertRecording(utf8RecordingPath, utf8CsvPath, options, settings, quality, failure))
    return std::string(kErrorDocument);
  return readResultJson(settings);
}

bool inspectRecording(const char* utf8RecordingPath, QualityReport& report, const CancelToken& cancel,
                      CalibrationReport* calibration) {
  RecordingReader reader(0, cancel, TickReading::Unwrapped);
  if (!reader.open(fileSource(utf8RecordingPath))) return false;
  report = qualityReport(reader);
  // How far apart the tables place each sensor's samples: told where the rate does not divide the clock.
  const StreamMap shapes = reader.shapes();
  const TableLayout layout = tableLayout(reader.settings(), shapes);
  for (StreamQuality& q : report.streams)
    for (const TableColumn* column : {&layout.accel, &layout.gyro, &layout.baro})
      if (column->stream && std::string_view(q.name) == streamName(column->key)) q.rowsPerSample = column->divisor;
  if (calibration) *calibration = calibrateRecording(reader);
  return true;
}

void writeInspection(JsonSink& json, const QualityReport& report, const CalibrationReport& calibration) {
  writeQuality(json, report, QualityDetail::full, [&](JsonSink& sink) {
    sink.key("calibration");
    writeCalibration(sink, calibration, true);
  });
}

}  // namespace kinovar
