#include "export/json.h"
#include "ops/operations.h"
#include "orientation/orientation.h"
#include "reader/parser.h"
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
  StreamMap streams;
  std::string created;
  if (!readClassicCsv(utf8CsvPath, streams, created, error)) return false;
  page = buildViewData(streams, created, {budgetBytes, {}});
  return true;
}

std::vector<uint8_t> viewSamples(const StreamMap& streams, const std::string& created, uint64_t budgetBytes,
                                 const std::string& qualityJson) {
  return buildViewData(streams, created, {budgetBytes, qualityJson});
}

}  // namespace kinovar
