#include "ops/operations.h"

#include <cmath>
#include <string_view>

#include "export/json.h"
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

void writeSensor(JsonWriter& json, std::string_view keyLiteral, const SensorSettings& sensor) {
  json.openObject(keyLiteral);
  json.number("\"frequency\":", sensor.frequency);
  json.number("\"range\":", sensor.range);
  json.number("\"offsetX\":", truncateToInt32(sensor.offset[0]));
  json.number("\"offsetY\":", truncateToInt32(sensor.offset[1]));
  json.number("\"offsetZ\":", truncateToInt32(sensor.offset[2]));
  json.number("\"gainX\":", truncateToInt32(sensor.gain[0]));
  json.number("\"gainY\":", truncateToInt32(sensor.gain[1]));
  json.number("\"gainZ\":", truncateToInt32(sensor.gain[2]));
  json.closeObject();
}

}  // namespace

std::string readConfig(const char* utf8Path) {
  DeviceSettings s;
  if (!loadSettings(utf8Path, s)) return "";
  JsonWriter json;
  json.text("\"unknownFrames\":\"", encodeBase64(s.unknownRecords));
  if (s.gyro.present) writeSensor(json, "\"gyro\":{", s.gyro);
  if (s.accel.present) writeSensor(json, "\"accel\":{", s.accel);
  if (s.baro.present) {
    json.openObject("\"baro\":{");
    json.number("\"frequency\":", s.baro.frequency);
    json.closeObject();
  }
  if (s.gps.present) {
    json.openObject("\"gps\":{");
    json.number("\"frequency\":", s.gps.frequency);
    json.closeObject();
  }
  if (s.hasDeviceInfo) {
    json.number("\"deviceId\":", s.deviceId);
    json.number("\"deviceType\":", s.deviceType);
    json.number("\"bodyLocation\":", s.bodyLocation);
    json.number("\"version\":", s.version);
    json.number("\"majorVersion\":", s.majorVersion);
    json.number("\"minorVersion\":", s.minorVersion);
    json.number("\"radioMode\":", s.radioMode);
    json.number("\"radioChannel\":", s.radioChannel);
  }
  json.text("\"createdAt\":\"", formatDateTime(s.createdAt));
  json.text("\"endDate\":\"", formatDateTime(s.endDate));
  json.number("\"frequency\":", s.frequency);
  json.number("\"measureId\":", s.measureId);
  return json.finish();
}

std::string readConfigDeviceId(const char* utf8Path) {
  DeviceSettings s;
  if (!loadSettings(utf8Path, s)) return "";
  return "{\"deviceId\":" + std::to_string(s.deviceId) + "}";
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
