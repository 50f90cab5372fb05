#include "gen/generator.h"

namespace kinovar::gen {

std::vector<uint8_t> settingsRecord(uint8_t type, uint8_t subtype, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> record = {'Q', '7', type, subtype, static_cast<uint8_t>(payload.size())};
  record.insert(record.end(), payload.begin(), payload.end());
  record.push_back(0xFF);
  record.push_back(0xFE);
  return record;
}

std::vector<uint8_t> buildRecording(const RecordingSpec&, GeneratedSamples*) { return {}; }
bool writeRecording(const std::string&, const RecordingSpec&, GeneratedSamples*) { return false; }

}  // namespace kinovar::gen
