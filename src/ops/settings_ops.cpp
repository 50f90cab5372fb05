#include "ops/operations.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>

#include "export/json.h"
#include "io/json_writer.h"
#include "io/output_file.h"
#include "io/read_file.h"
#include "settings/base64.h"
#include "settings/settings_record.h"
#include "settings/settings_text.h"

namespace kinovar {

namespace {

bool loadSettings(const char* utf8Path, DeviceSettings& settings) {
  std::vector<uint8_t> bytes;
  return readFile(utf8Path, bytes, nullptr, kSettingsBlockSize) && decodeSettingsFile(settings, bytes);
}

// Calibration is reported as whole numbers; clamping only matters for values
// no record can hold, but keeps the conversion defined.
int32_t truncateToInt32(double value) {
  if (!(value > -2147483649.0)) return INT32_MIN;
  if (!(value < 2147483648.0)) return INT32_MAX;
  return static_cast<int32_t>(std::trunc(value));
}

void writeSensor(JsonWriter& json, std::string_view name, const SensorSettings& sensor, bool exact) {
  json.key(name).beginObject();
  json.member("frequency", sensor.frequency);
  json.member("range", sensor.range);
  const char* names[] = {"offsetX", "offsetY", "offsetZ", "gainX", "gainY", "gainZ"};
  for (int i = 0; i < 6; ++i) {
    const double value = i < 3 ? sensor.offset[i] : sensor.gain[i - 3];
    if (exact) json.member(names[i], value);
    else json.member(names[i], truncateToInt32(value));
  }
  json.endObject();
}

std::string settingsDocument(const char* utf8Path, bool exact) {
  DeviceSettings s;
  if (!loadSettings(utf8Path, s)) return "";
  JsonWriter json;
  json.beginObject();
  json.member("unknownFrames", encodeBase64(s.unknownRecords));
  if (s.gyro.present) writeSensor(json, "gyro", s.gyro, exact);
  if (s.accel.present) writeSensor(json, "accel", s.accel, exact);
  if (s.baro.present) json.key("baro").beginObject().member("frequency", s.baro.frequency).endObject();
  if (s.gps.present) json.key("gps").beginObject().member("frequency", s.gps.frequency).endObject();
  if (s.hasDeviceInfo) {
    json.member("deviceId", s.deviceId);
    json.member("deviceType", s.deviceType);
    json.member("bodyLocation", s.bodyLocation);
    json.member("version", s.version);
    json.member("majorVersion", s.majorVersion);
    json.member("minorVersion", s.minorVersion);
    json.member("radioMode", s.radioMode);
    json.member("radioChannel", s.radioChannel);
  }
  json.member("createdAt", formatDateTime(s.createdAt));
  json.member("endDate", formatDateTime(s.endDate));
  json.member("frequency", s.frequency);
  json.member("measureId", s.measureId);
  json.endObject();
  return json.take();
}

}  // namespace

std::string readConfig(const char* utf8Path) { return settingsDocument(utf8Path, false); }

std::string readSettingsExact(const char* utf8Path) { return settingsDocument(utf8Path, true); }

std::string settingsRecords(std::span<const uint8_t> bytes) {
  std::array<uint8_t, kSettingsBlockSize> block{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), block.size()), block.begin());
  DeviceSettings ignored;
  JsonWriter json;
  json.beginObject().key("records").beginArray();
  const int end = walkSettingsBlock(ignored, block.data(), [&](const SettingsRecordSpan& r) {
    json.beginObject().member("start", static_cast<int32_t>(r.start)).member("type", r.type);
    json.member("subtype", r.subtype).member("length", r.length).member("recognised", r.recognised).endObject();
  });
  if (end < 0) return "";
  json.endArray().member("end", end).endObject();
  return json.take();
}

std::string readConfigDeviceId(const char* utf8Path) {
  DeviceSettings s;
  if (!loadSettings(utf8Path, s)) return "";
  return jsonText([&](JsonSink& json) { json.beginObject().member("deviceId", s.deviceId).endObject(); });
}

bool holdsSettingsRecord(std::span<const uint8_t> block) {
  std::array<uint8_t, kSettingsBlockSize> whole{};
  std::copy_n(block.begin(), std::min(block.size(), whole.size()), whole.begin());
  return firstSettingsRecord(whole.data()) >= 0;
}

// The whole text is checked before the file is touched, and the file is
// replaced only by a complete copy: a refused text or a failed write leaves
// the old settings in place.
bool writeConfig(const char* utf8Path, const char* settingsText) {
  std::vector<uint8_t> bytes;
  if (!encodeSettingsText(settingsText, bytes)) return false;
  return replaceFile(utf8Path, bytes);
}

}  // namespace kinovar
