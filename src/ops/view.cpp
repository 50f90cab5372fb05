#include "export/json.h"
#include "io/json_writer.h"
#include "ops/epochs.h"
#include "ops/operations.h"
#include "orientation/orientation.h"
#include "io/read_file.h"
#include "ops/recording_file.h"
#include "ops/stream_recording.h"
#include "ops/workers.h"
#include "reader/quality.h"
#include "view/view_data.h"

namespace kinovar {

namespace {

// ENMO per epoch (mg) and the non-wear spans, on the page's clock: epochs
// long enough that a recording of any length gives a few thousand.
std::string activityJson(const RecordingReader& reader, const ConversionOptions& options) {
  const double span = [&] {
    double first = 0.0, last = 0.0;
    if (reader.count(kAccelKey) == 0) return 0.0;
    SampleStream one;
    reader.cursor(kAccelKey, 0)->read(one, 1);
    first = one.times[0];
    reader.cursor(kAccelKey, reader.count(kAccelKey) - 1)->read(one, 1);
    last = one.times[0];
    return last - first;
  }();
  EpochRequest request;
  for (const double epoch : {5.0, 10.0, 15.0, 30.0, 60.0, 120.0, 300.0, 600.0, 900.0, 1800.0, 3600.0})
    if ((request.epochs.seconds = epoch) * 5000 >= span) break;
  EpochReader epochs(reader, options, request);
  if (epochs.refusal() != EpochRefusal::None) return {};
  JsonWriter json;
  json.beginObject().member("epoch", request.epochs.seconds);
  std::vector<EpochRow> rows;
  std::vector<std::pair<double, double>> nonwear;
  json.key("enmo").beginArray();
  while (epochs.next(1 << 12, rows)) {
    for (const EpochRow& row : rows) {
      const double start = epochs.origin() + epochs.timeOf(row);
      if (row.samples) json.value(std::round(row.enmo * 1e4) / 10);  // mg to 0.1
      else json.null();
      if (!row.nonwear) continue;
      if (!nonwear.empty() && nonwear.back().second >= start - 1e-6) nonwear.back().second = start + request.epochs.seconds;
      else nonwear.emplace_back(start, start + request.epochs.seconds);
    }
  }
  json.endArray();
  json.member("start", epochs.origin());
  json.key("nonwear").beginArray();
  for (const auto& [from, to] : nonwear) json.beginArray().value(from).value(to).endArray();
  json.endArray().endObject();
  return json.take();
}

}  // namespace

bool viewRecording(const char* utf8RecordingPath, const ConversionOptions& options, uint64_t budgetBytes,
                   std::vector<uint8_t>& page, std::string& error) {
  // The streams are read in pieces, as often as the page needs them.
  RecordingReader reader(options.chunkSamples, options.cancel, TickReading::Unwrapped);
  if (!reader.open(fileSource(utf8RecordingPath))) {
    error = "could not be read to its end";
    return false;
  }
  const std::string quality = qualityJson(qualityReport(reader));
  const std::string calibration = calibrationJson(calibrateReader(reader, options));
  reportProgress(options, 0.1);  // the first pass has read the file; the page's data remain
  const RecordingStreams streams(reader, options, threadBudget(options) > 1);
  const StreamSource source = streams.source();
  ViewSource view;
  view.shapes = &streams.shapes();
  view.cursor = source.cursor;
  view.piece = reader.chunkSamples();
  view.span = [&](uint32_t key) {
    // The quaternions stand at the accelerometer's times.
    const uint32_t timed = key == kQuaternionKey ? kAccelKey : key;
    SampleStream one;
    reader.cursor(timed, 0)->read(one, 1);
    const double first = one.times[0];
    reader.cursor(timed, streams.shapes().at(key).count - 1)->read(one, 1);
    return std::pair{first, one.times[0]};
  };
  page = buildViewData(view, formatDateTime(reader.settings().createdAt), {budgetBytes, quality, activityJson(reader, options), calibration});
  return true;
}

bool viewClassicCsv(const char* utf8CsvPath, uint64_t budgetBytes, std::vector<uint8_t>& page, std::string& error) {
  std::vector<uint8_t> bytes;
  if (!readFile(utf8CsvPath, bytes)) {
    error = "cannot be opened";
    return false;
  }
  StreamMap streams;
  std::string created;
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!decodeClassicCsv(text, streams, created, error)) return false;
  page = buildViewData(streams, created, {budgetBytes, {}, {}, {}});
  return true;
}

std::vector<uint8_t> viewSamples(const StreamMap& streams, const std::string& created, uint64_t budgetBytes,
                                 const std::string& qualityJson, const std::string& calibrationJson) {
  return buildViewData(streams, created, {budgetBytes, qualityJson, {}, calibrationJson});
}

}  // namespace kinovar
