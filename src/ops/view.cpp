#include "export/json.h"
#include "ops/operations.h"
#include "orientation/orientation.h"
#include "io/read_file.h"
#include "ops/recording_file.h"
#include "ops/stream_recording.h"
#include "ops/workers.h"
#include "reader/quality.h"
#include "view/view_data.h"

namespace kinovar {

bool viewRecording(const char* utf8RecordingPath, const ConversionOptions& options, uint64_t budgetBytes,
                   std::vector<uint8_t>& page, std::string& error) {
  // The streams are read in pieces, as often as the page needs them.
  RecordingReader reader(options.chunkSamples, options.cancel, TickReading::Unwrapped);
  if (!reader.openFile(utf8RecordingPath)) {
    error = "could not be read to its end";
    return false;
  }
  const std::string quality = qualityJson(qualityReport(reader));
  calibrateReader(reader, options);
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
  page = buildViewData(view, formatDateTime(reader.settings().createdAt), {budgetBytes, quality});
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
  page = buildViewData(streams, created, {budgetBytes, {}});
  return true;
}

std::vector<uint8_t> viewSamples(const StreamMap& streams, const std::string& created, uint64_t budgetBytes,
                                 const std::string& qualityJson) {
  return buildViewData(streams, created, {budgetBytes, qualityJson});
}

}  // namespace kinovar
