#include "ops/operations.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>

#include "export/json.h"
#include "io/json_reader.h"
#include "io/json_writer.h"
#include "io/output_file.h"
#include "io/read_file.h"
#include "settings/base64.h"
#include "settings/settings_edit.h"
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

std::string settingsDocument(const DeviceSettings& s, bool exact) {
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

std::string settingsDocument(const char* utf8Path, bool exact) {
  DeviceSettings s;
  return loadSettings(utf8Path, s) ? settingsDocument(s, exact) : "";
}

// Flat names of a settings object: "deviceId", "accel.gainX", ...; a name
// given twice keeps its first place and its last value.
std::vector<SettingChange> flatten(const JsonValue& settings) {
  std::vector<SettingChange> flat;
  const auto set = [&](std::string name, const JsonValue* value) {
    const auto prior = std::find_if(flat.begin(), flat.end(), [&](const SettingChange& c) { return c.name == name; });
    if (prior != flat.end()) prior->value = value;
    else flat.push_back({std::move(name), value});
  };
  const auto nameOf = [](const JsonValue& parent, size_t i) {
    return parent.type == JsonValue::Type::Object ? parent.keys[i] : std::to_string(i);
  };
  for (size_t i = 0; i < settings.items.size(); ++i) {
    const JsonValue& value = settings.items[i];
    if (value.type != JsonValue::Type::Object && value.type != JsonValue::Type::Array) {
      set(nameOf(settings, i), &value);
      continue;
    }
    for (size_t j = 0; j < value.items.size(); ++j) set(nameOf(settings, i) + "." + nameOf(value, j), &value.items[j]);
  }
  return flat;
}

const JsonValue* flatValue(const std::vector<SettingChange>& flat, std::string_view name) {
  const auto found = std::find_if(flat.begin(), flat.end(), [&](const SettingChange& c) { return c.name == name; });
  return found == flat.end() ? nullptr : found->value;
}

bool sameValue(const JsonValue* a, const JsonValue* b) {
  if (a == nullptr || b == nullptr || a->type != b->type) return false;
  return a->type == JsonValue::Type::Number ? a->number == b->number
                                            : a->type == JsonValue::Type::String && a->text == b->text;
}

}  // namespace

std::string readConfig(const char* utf8Path) { return settingsDocument(utf8Path, false); }

std::string readSettingsExact(const char* utf8Path) { return settingsDocument(utf8Path, true); }

SettingsWrite settingsToWrite(std::span<const uint8_t> source, std::string_view settingsJson) {
  SettingsWrite out;
  JsonValue settings;
  std::string error;
  if (!parseJson(settingsJson, settings, error, true) ||
      (settings.type != JsonValue::Type::Object && settings.type != JsonValue::Type::Array)) {
    out.problem = {SettingsRefusal::Type, "writeSettings: expected a settings object"};
    return out;
  }
  DeviceSettings current;
  if (!decodeSettingsFile(current, source)) {
    settingsTextOf(settings, out.text, out.problem);
    return out;
  }
  out.edit = true;
  std::vector<SettingChange> wanted = flatten(settings);
  // Fields left at what the file reads as (defaults included) are not edits.
  JsonValue document;
  parseJson(settingsDocument(current, true), document, error);
  const std::vector<SettingChange> now = flatten(document);
  // Base64 of unknown records is not a field: they stay as the file has them.
  const JsonValue* unknown = flatValue(wanted, "unknownFrames");
  if (unknown != nullptr && !sameValue(unknown, flatValue(now, "unknownFrames"))) {
    out.problem = {SettingsRefusal::Range,
                   "unknownFrames cannot be changed in an existing settings file; its unknown records are kept as they are"};
    return out;
  }
  std::erase_if(wanted, [&](const SettingChange& c) {
    return c.name == "unknownFrames" || sameValue(c.value, flatValue(now, c.name));
  });
  editSettingsRecords(source, wanted, out.bytes, out.problem);
  return out;
}

std::string readConfigDeviceId(const char* utf8Path) {
  DeviceSettings s;
  if (!loadSettings(utf8Path, s)) return "";
  return jsonText([&](JsonSink& json) { json.beginObject().member("deviceId", s.deviceId).endObject(); });
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
