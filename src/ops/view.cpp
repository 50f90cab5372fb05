#include "export/json.h"
#include "ops/operations.h"
#include "orientation/orientation.h"
#include "io/read_file.h"
#include "ops/recording_file.h"
#include "reader/quality.h"
#include "view/view_data.h"

namespace kinovar {

bool viewRecording(const char* utf8RecordingPath, const ConversionOptions& options, uint64_t budgetBytes,
                   std::vector<uint8_t>& page, std::string& error) {
  Recording recording;
  ParseStats stats;
  if (!parseRecordingFile(recording.settings, recording.streams, utf8RecordingPath, &stats)) {
    error = "could not be read to its end";
    return false;
  }
  const std::string quality = qualityJson(qualityReport(recording.settings, recording.streams, stats));
  estimateOrientation(recording.settings, recording.streams, options.estimator);
  page = buildViewData(recording.streams, formatDateTime(recording.settings.createdAt), {budgetBytes, quality});
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
