#include "settings/settings_edit.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <string_view>

#include "io/js_number.h"
#include "io/json_writer.h"
#include "model/calendar.h"
#include "settings/base64.h"
#include "settings/settings_record.h"

namespace kinovar {

namespace {

// ---- Values as the hosts show them in messages ----

// As JSON.stringify shows the value; a null pointer is undefined.
std::string shownJson(const JsonValue* v) {
  if (v == nullptr) return "undefined";
  return jsonText([&](JsonSink& json) { writeJsonValue(json, *v); }, JsonLayout::JavaScript);
}

// As String() shows the value.
std::string shownText(const JsonValue* v) {
  if (v == nullptr) return "undefined";
  if (v->type == JsonValue::Type::String) return v->text;
  if (v->type == JsonValue::Type::Object) return "[object Object]";
  if (v->type == JsonValue::Type::Number) return jsNumber(v->number);
  if (v->type != JsonValue::Type::Array) return shownJson(v);
  std::string out;
  for (size_t i = 0; i < v->items.size(); ++i) {
    if (i > 0) out += ',';
    if (v->items[i].type != JsonValue::Type::Null) out += shownText(&v->items[i]);
  }
  return out;
}

bool isNumber(const JsonValue* v) { return v != nullptr && v->type == JsonValue::Type::Number; }
bool isInteger(const JsonValue* v) { return isNumber(v) && std::isfinite(v->number) && std::trunc(v->number) == v->number; }
bool isNothing(const JsonValue* v) { return v == nullptr || v->type == JsonValue::Type::Null; }

bool same(const JsonValue* a, const JsonValue* b) {
  if (a == nullptr || b == nullptr || a->type != b->type) return false;
  if (a->type == JsonValue::Type::Number) return a->number == b->number;
  return a->type == JsonValue::Type::String && a->text == b->text;
}


// ---- The records and their fields ----

enum class Codec { U8, U16, S32, Scaled, AccelCode, GyroCode, Date, Period };

struct Field {
  std::string name;
  int offset;
  Codec codec;
};

struct Kind {
  int key;  // type * 256 + subtype
  int min;
  const char* group;  // the sensor it describes, for messages
  const char* form;
};

constexpr char kLegacyForm[] = "the older form: rate and range in one byte each, calibration in whole numbers";
constexpr char kModernForm[] = "the newer form: rate in two bytes, calibration in steps of 0.0001";

constexpr std::array<Kind, 15> kKinds = {{
    {0x101, 6, nullptr, nullptr},
    {0x102, 4, nullptr, nullptr},
    {0x105, 2, nullptr, nullptr},
    {0x200, 27, "accel", kLegacyForm},
    {0x201, 27, "gyro", kLegacyForm},
    {0x202, 2, "baro", "the older form: its rate in one byte"},
    {0x300, 7, nullptr, nullptr},
    {0x302, 30, "accel", kModernForm},
    {0x303, 30, "gyro", kModernForm},
    {0x304, 5, "baro", "the newer form: its rate in two bytes"},
    {0x306, 7, nullptr, nullptr},
    {0x307, 5, "gps", nullptr},
    {0x308, 2, nullptr, nullptr},
    {0x309, 8, nullptr, nullptr},
    {0x315, 2, nullptr, nullptr},
}};

constexpr std::array<const char*, 3> kFirmware = {"version", "majorVersion", "minorVersion"};
constexpr std::array<const char*, 8> kSensorFields = {"frequency", "range",   "offsetX", "offsetY",
                                                      "offsetZ",   "gainX",   "gainY",   "gainZ"};
// Indexed by the stored code; the unit is what a person sets the range in.
constexpr std::array<int, 4> kAccelCodes = {2, 16, 4, 8};
constexpr std::array<int, 5> kGyroCodes = {245, 500, 1000, 2000, 125};

const Kind* kindOf(int type, int subtype, int length) {
  const int key = type * 256 + subtype;
  const auto kind = std::find_if(kKinds.begin(), kKinds.end(), [&](const Kind& k) { return k.key == key; });
  if (kind == kKinds.end() || length < kind->min) return nullptr;
  if (key == 0x102 && length != 4 && length != 6) return nullptr;
  if (key == 0x307 && length != 5 && length != 8) return nullptr;
  return &*kind;
}

std::string sensorWords(const std::string& group) {
  if (group == "accel") return "accelerometer";
  if (group == "gyro") return "gyroscope";
  return "barometer";
}

std::vector<Field> sensorLayout(const std::string& group, bool legacy) {
  if (group == "baro") return {{"baro.frequency", 1, legacy ? Codec::U8 : Codec::U16}};
  std::vector<Field> fields = {{group + ".frequency", 1, legacy ? Codec::U8 : Codec::U16},
                               legacy ? Field{group + ".range", 2, Codec::U8}
                                      : Field{group + ".range", 3, group == "accel" ? Codec::AccelCode : Codec::GyroCode}};
  const Codec calibration = legacy ? Codec::S32 : Codec::Scaled;
  for (int i = 0; i < 3; ++i) {
    const std::string axis(1, static_cast<char>('X' + i));
    fields.push_back({group + ".offset" + axis, (legacy ? 3 : 4) + 4 * i, calibration});
    fields.push_back({group + ".gain" + axis, (legacy ? 15 : 16) + 4 * i, calibration});
  }
  return fields;
}

// The fields a record of this kind and length holds (the firmware's three
// are read as one, apart).
std::vector<Field> fieldsOf(const Kind& kind, int length) {
  switch (kind.key) {
    case 0x101: return {{"deviceId", 0, Codec::S32}, {"deviceType", 4, Codec::U8}, {"bodyLocation", 5, Codec::U8}};
    case 0x105: return {{"radioMode", 0, Codec::U8}, {"radioChannel", 1, Codec::U8}};
    case 0x200:
    case 0x202:
    case 0x201: return sensorLayout(kind.group, true);
    case 0x302:
    case 0x303:
    case 0x304: return sensorLayout(kind.group, false);
    case 0x300: return {{"createdAt", 0, Codec::Date}};
    case 0x306: return {{"endDate", 0, Codec::Date}};
    case 0x307: return {{"gps.frequency", 1, length == 5 ? Codec::U16 : Codec::Period}};
    case 0x308: return {{"frequency", 0, Codec::U16}};
    case 0x309:
      if (length >= 10) return {{"radioMode", 0, Codec::U8}, {"radioChannel", 9, Codec::U8}};
      return {{"radioMode", 0, Codec::U8}};
    case 0x315: return {{"measureId", 0, Codec::U16}};
    default: return {};
  }
}

size_t widthOf(Codec codec) {
  switch (codec) {
    case Codec::U8:
    case Codec::AccelCode:
    case Codec::GyroCode: return 1;
    case Codec::U16: return 2;
    case Codec::Date: return 7;
    default: return 4;
  }
}

uint32_t u32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
int32_t s32(const uint8_t* p) { return static_cast<int32_t>(u32(p)); }
int u16(const uint8_t* p) { return (p[0] << 8) | p[1]; }
void put(uint8_t* p, uint32_t value, int width) {
  for (int i = 0; i < width; ++i) p[i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
}

std::string twoDigits(int value) {
  std::string text = std::to_string(value);
  return text.size() < 2 ? "0" + text : text;
}

JsonValue readField(const uint8_t* p, const Field& field) {
  const uint8_t* at = p + field.offset;
  switch (field.codec) {
    case Codec::U8: return JsonValue::of(at[0]);
    case Codec::U16: return JsonValue::of(u16(at));
    case Codec::S32: return JsonValue::of(s32(at));
    case Codec::Scaled: return JsonValue::of(s32(at) / 10000.0);
    case Codec::AccelCode: return JsonValue::of(at[0] < kAccelCodes.size() ? kAccelCodes[at[0]] : 4);
    case Codec::GyroCode: return JsonValue::of(at[0] < kGyroCodes.size() ? kGyroCodes[at[0]] : 1000);
    case Codec::Period: {
      const uint32_t period = u32(at);
      return JsonValue::of(period == 0 ? 0 : std::trunc(1 / (period * 0.001)));
    }
    case Codec::Date: {
      const int year = u16(at + 5);
      return JsonValue::of((year == 0 ? "0000" : std::to_string(year)) + "-" + twoDigits(at[4]) + "-" + twoDigits(at[3]) +
                           " " + twoDigits(at[2]) + ":" + twoDigits(at[1]) + ":" + twoDigits(at[0]));
    }
  }
  return {};
}

std::array<int32_t, 3> readFirmware(const uint8_t* p, int length) {
  if (length == 6) return {u16(p), u16(p + 2), u16(p + 4)};
  const int32_t n = s32(p);
  if (n > 999) return {0, 0, 0};
  const int32_t version = n / 100;
  const int32_t major = (n - 100 * version) / 10;
  return {version, major, n - 100 * version - 10 * major};
}

// ---- Storing a value, or saying why it cannot be stored ----

bool refuse(SettingsProblem& problem, const std::string& name, const std::string& allowed, const JsonValue* value,
            const std::string& where) {
  problem.kind = SettingsRefusal::Value;
  problem.message = name + " must be " + allowed + (where.empty() ? "" : " (" + where + ")") + ", not " + shownJson(value);
  return false;
}

bool integerIn(SettingsProblem& problem, const std::string& name, const JsonValue* value, double low, double high,
               const std::string& where) {
  if (isInteger(value) && value->number >= low && value->number <= high) return true;
  return refuse(problem, name, "an integer from " + jsNumber(low) + " to " + jsNumber(high), value, where);
}

constexpr double kInt32Low = -2147483648.0;
constexpr double kInt32High = 2147483647.0;

// "YYYY-MM-DD hh:mm:ss" with 1 to 5 digits for the year, 1 to 3 for the others.
bool parseDate(const std::string& text, std::array<int64_t, 6>& parts) {
  constexpr char kSeparators[] = "-- ::";
  size_t at = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    const size_t begin = at;
    parts[i] = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - begin < (i == 0 ? 5u : 3u)) {
      parts[i] = parts[i] * 10 + (text[at++] - '0');
    }
    if (at == begin) return false;
    if (i + 1 < parts.size() && (at >= text.size() || text[at++] != kSeparators[i])) return false;
  }
  return at == text.size();
}

bool writeDate(uint8_t* p, const std::string& name, const JsonValue* value, const std::string& where,
               SettingsProblem& problem) {
  std::array<int64_t, 6> parts{};
  if (!parseDate(shownText(value), parts) || parts[0] > 65535 ||
      std::any_of(parts.begin() + 1, parts.end(), [](int64_t v) { return v > 255; })) {
    return refuse(problem, name, "a date \"YYYY-MM-DD hh:mm:ss\" (year up to 65535, the others up to 255)", value, where);
  }
  // All zeros is a date never set, as a new settings file has it.
  if (std::any_of(parts.begin(), parts.end(), [](int64_t v) { return v != 0; })) {
    const std::string why = dateProblem(parts[0], parts[1], parts[2], parts[3], parts[4], parts[5]);
    if (!why.empty()) return refuse(problem, name, "a real date and time: " + why, value, where);
  }
  put(p + 5, static_cast<uint32_t>(parts[0]), 2);
  for (size_t i = 0; i < 5; ++i) p[i] = static_cast<uint8_t>(parts[5 - i]);
  return true;
}

template <size_t N>
bool writeCode(uint8_t* p, const std::string& name, const JsonValue* value, const std::array<int, N>& codes,
               const char* unit, SettingsProblem& problem) {
  for (size_t code = 0; code < N; ++code) {
    if (isNumber(value) && value->number == codes[code]) {
      *p = static_cast<uint8_t>(code);
      return true;
    }
  }
  std::array<int, N> sorted = codes;
  std::sort(sorted.begin(), sorted.end());
  std::string allowed = "one of ";
  for (size_t i = 0; i < N; ++i) allowed += (i ? ", " : "") + std::to_string(sorted[i]);
  return refuse(problem, name, allowed + " (" + unit + ")", value, "");
}

// The record keeps a period in whole milliseconds; a rate is stored only
// when some period reads back as exactly that rate.
bool writePeriod(uint8_t* p, const std::string& name, const JsonValue* value, const std::string& where,
                 SettingsProblem& problem) {
  if (!integerIn(problem, name, value, 0, 1000, where)) return false;
  const double rate = value->number;
  double period = 0;
  if (rate != 0) {
    period = -1;
    for (const double candidate : {std::floor(1000 / rate), std::ceil(1000 / rate)}) {
      if (candidate > 0 && std::trunc(1 / (candidate * 0.001)) == rate) {
        period = candidate;
        break;
      }
    }
  }
  if (period < 0) {
    return refuse(problem, name, "a rate that a whole period in milliseconds gives (1000, 500, 333, 250, 200, ...)",
                  value, where);
  }
  put(p, static_cast<uint32_t>(period), 4);
  return true;
}

// Rounds halves up, as the hosts' usual rounding does.
double roundHalfUp(double x) {
  const double below = std::floor(x);
  return x - below >= 0.5 ? below + 1 : below;
}

bool writeScaled(uint8_t* p, const std::string& name, const JsonValue* value, const std::string& where,
                 SettingsProblem& problem) {
  const double stored = isNumber(value) ? roundHalfUp(value->number * 10000) : 0;
  if (!isNumber(value) || !std::isfinite(value->number) || stored / 10000 != value->number || stored < kInt32Low ||
      stored > kInt32High) {
    return refuse(problem, name,
                  "a multiple of 0.0001 from " + jsNumber(kInt32Low / 10000) + " to " + jsNumber(kInt32High / 10000),
                  value, where);
  }
  put(p, static_cast<uint32_t>(static_cast<int32_t>(stored)), 4);
  return true;
}

// Stores one field's new value into a record's payload, in the record's form.
bool writeField(uint8_t* payload, const Field& field, const JsonValue* value, const std::string& where,
                SettingsProblem& problem) {
  uint8_t* at = payload + field.offset;
  const std::string& name = field.name;
  switch (field.codec) {
    case Codec::Date: return writeDate(at, name, value, where, problem);
    case Codec::AccelCode: return writeCode(at, name, value, kAccelCodes, "g", problem);
    case Codec::GyroCode: return writeCode(at, name, value, kGyroCodes, "deg/s", problem);
    case Codec::Period: return writePeriod(at, name, value, where, problem);
    case Codec::Scaled: return writeScaled(at, name, value, where, problem);
    case Codec::U8:
      if (!integerIn(problem, name, value, 0, 255, where)) return false;
      put(at, static_cast<uint32_t>(value->number), 1);
      return true;
    case Codec::U16:
      if (!integerIn(problem, name, value, 0, 65535, where)) return false;
      put(at, static_cast<uint32_t>(value->number), 2);
      return true;
    case Codec::S32:
      if (!integerIn(problem, name, value, kInt32Low, kInt32High, where)) return false;
      put(at, static_cast<uint32_t>(static_cast<int32_t>(value->number)), 4);
      return true;
  }
  return true;
}

bool writeFirmware(uint8_t* p, int length, const std::array<const JsonValue*, 3>& triple, const std::string& where,
                   SettingsProblem& problem) {
  const double high = length == 6 ? 65535 : 9;
  for (size_t i = 0; i < 3; ++i) {
    if (!integerIn(problem, kFirmware[i], triple[i], 0, high, where)) return false;
  }
  if (length == 6) {
    for (size_t i = 0; i < 3; ++i) put(p + 2 * i, static_cast<uint32_t>(triple[i]->number), 2);
  } else {
    put(p, static_cast<uint32_t>(100 * triple[0]->number + 10 * triple[1]->number + triple[2]->number), 4);
  }
  return true;
}

// ---- New records, in the form the native writer uses for a new file ----

using Lookup = std::function<const JsonValue*(const std::string&)>;

void appendRecord(std::vector<uint8_t>& out, int key, const std::vector<uint8_t>& payload) {
  out.insert(out.end(), {'Q', '7', static_cast<uint8_t>(key >> 8), static_cast<uint8_t>(key & 0xFF),
                         static_cast<uint8_t>(payload.size())});
  out.insert(out.end(), payload.begin(), payload.end());
  out.insert(out.end(), {0xFF, 0xFE});
}

// A new sensor record: the native writer's one-byte form when the values fit
// it, else the newer form the device itself writes (two-byte rate, range by
// its code, calibration in steps of 0.0001), so that what a recording's
// settings hold (a 2000 deg/s range, a 1000 Hz rate, 0.9995) can be written
// to a new file. The frame ids are the native writer's.
bool newSensorRecord(const std::string& group, const Lookup& get, std::vector<uint8_t>& out,
                     SettingsProblem& problem) {
  const int index = group == "accel" ? 0 : group == "gyro" ? 1 : 2;
  bool legacy = true;
  for (const Field& field : sensorLayout(group, false)) {
    const JsonValue* v = get(field.name);
    const bool oneByte = field.codec == Codec::U16 || field.codec == Codec::AccelCode || field.codec == Codec::GyroCode;
    legacy = legacy && isInteger(v) && v->number >= (oneByte ? 0 : kInt32Low) && v->number <= (oneByte ? 255 : kInt32High);
  }
  const Kind& kind = *kindOf(legacy ? 2 : 3, legacy ? index : index + 2, 30);
  std::vector<uint8_t> payload(static_cast<size_t>(kind.min));
  payload[0] = static_cast<uint8_t>(19 + index);
  const std::string where = legacy ? "" : "beyond the one-byte form, a new " + sensorWords(group) + " record takes " + kind.form;
  for (const Field& field : sensorLayout(group, legacy)) {
    if (!writeField(payload.data(), field, get(field.name), where, problem)) return false;
  }
  appendRecord(out, kind.key, payload);
  return true;
}

bool newRecord(const std::string& group, const Lookup& get, std::vector<uint8_t>& out, SettingsProblem& problem) {
  if (group == "accel" || group == "gyro" || group == "baro") return newSensorRecord(group, get, out, problem);
  const std::string where = "kinovar adds it in the one-byte form of its settings files";
  std::vector<Field> fields;
  int key = 0x105;
  if (group == "device") {
    fields = {{"deviceId", 0, Codec::S32}, {"deviceType", 4, Codec::U8}, {"bodyLocation", 5, Codec::U8}};
    key = 0x101;
  } else if (group == "firmware") {
    for (int i = 0; i < 3; ++i) fields.push_back({kFirmware[static_cast<size_t>(i)], 2 * i, Codec::U16});
    key = 0x102;
  } else {
    fields = {{"radioMode", 0, Codec::U8}, {"radioChannel", 1, Codec::U8}};
  }
  std::vector<uint8_t> payload(key == 0x105 ? 2 : 6);
  for (const Field& field : fields) {
    if (!writeField(payload.data(), field, get(field.name), where, problem)) return false;
  }
  appendRecord(out, key, payload);
  return true;
}

// Which new record holds a field the block lacks; "" for those that cannot be added.
std::string newGroupOf(const std::string& name) {
  if (name.rfind("accel.", 0) == 0 || name.rfind("gyro.", 0) == 0) return name.substr(0, name.find('.'));
  if (name == "baro.frequency") return "baro";
  if (name == "deviceId" || name == "deviceType" || name == "bodyLocation") return "device";
  if (std::find(kFirmware.begin(), kFirmware.end(), name) != kFirmware.end()) return "firmware";
  if (name == "radioMode" || name == "radioChannel") return "radio";
  return "";
}

// What a setting that cannot be added is, in words.
std::string settingWords(const std::string& name) {
  static const std::map<std::string, std::string> words = {{"gps.frequency", "GPS rate"},
                                                           {"frequency", "clock frequency"},
                                                           {"measureId", "measure id"},
                                                           {"createdAt", "creation date"},
                                                           {"endDate", "end date"}};
  const auto found = words.find(name);
  return found == words.end() ? name : found->second;
}

// What a new record takes for a field neither named nor in the file.
const JsonValue* defaultOf(const std::string& name) {
  static const JsonValue zero = JsonValue::of(0);
  static const JsonValue one = JsonValue::of(1);
  const size_t dot = name.find('.');
  return dot != std::string::npos && name.compare(dot + 1, 4, "gain") == 0 && name.size() == dot + 6 ? &one : &zero;
}

// Every field the block's records set (the last record wins), with the
// record it comes from.
struct Owned {
  JsonValue value;
  SettingsRecordSpan owner;
  Field field;
};

std::map<std::string, Owned> decodeFields(const uint8_t* block, const std::vector<SettingsRecordSpan>& records) {
  std::map<std::string, Owned> fields;
  for (const SettingsRecordSpan& record : records) {
    const Kind* kind = kindOf(record.type, record.subtype, record.length);
    if (kind == nullptr) continue;
    const uint8_t* payload = block + record.start + 5;
    if (kind->key == 0x102) {
      const std::array<int32_t, 3> triple = readFirmware(payload, record.length);
      for (size_t i = 0; i < 3; ++i) fields[kFirmware[i]] = {JsonValue::of(triple[i]), record, {kFirmware[i], 0, Codec::U16}};
      continue;
    }
    for (const Field& field : fieldsOf(*kind, record.length)) fields[field.name] = {readField(payload, field), record, field};
  }
  return fields;
}

bool valueProblem(SettingsProblem& problem, std::string message) {
  problem.kind = SettingsRefusal::Value;
  problem.message = std::move(message);
  return false;
}

}  // namespace

bool editSettingsRecords(std::span<const uint8_t> bytes, const std::vector<SettingChange>& changes,
                         std::vector<uint8_t>& out, SettingsProblem& problem) {
  std::vector<uint8_t> block(kSettingsBlockSize);
  std::copy_n(bytes.begin(), std::min(bytes.size(), block.size()), block.begin());
  std::vector<SettingsRecordSpan> records;
  DeviceSettings ignored;
  const int end = walkSettingsBlock(ignored, block.data(), [&](const SettingsRecordSpan& r) { records.push_back(r); });
  if (end < 0) return valueProblem(problem, "the file holds no settings record to edit");
  const auto current = decodeFields(block.data(), records);
  // A file cut inside its records grows as far as an edited field reaches.
  size_t kept = std::min(bytes.size(), block.size());
  std::map<std::string, const JsonValue*> firmware;
  std::vector<std::pair<std::string, std::vector<SettingChange>>> added;
  for (const SettingChange& change : changes) {
    const auto found = current.find(change.name);
    if (found != current.end() && same(&found->second.value, change.value)) continue;
    if (found == current.end()) {
      const std::string group = newGroupOf(change.name);
      if (group.empty()) {
        // Only the settings our own settings files hold have a form kinovar knows how to add.
        return valueProblem(problem, change.name + " cannot be set in this file: it holds no " + settingWords(change.name) +
            " setting to change, and kinovar can add only the settings its own settings files hold (device, firmware, "
            "radio, accelerometer, gyroscope and barometer). Edit a file that already has it, such as one the device "
            "itself wrote");
      }
      auto named = std::find_if(added.begin(), added.end(), [&](const auto& g) { return g.first == group; });
      if (named == added.end()) named = added.insert(added.end(), {group, {}});
      auto prior = std::find_if(named->second.begin(), named->second.end(),
                                [&](const SettingChange& c) { return c.name == change.name; });
      if (prior == named->second.end()) named->second.push_back(change);
      else prior->value = change.value;
      continue;
    }
    const SettingsRecordSpan& owner = found->second.owner;
    const Kind& kind = *kindOf(owner.type, owner.subtype, owner.length);
    if (kind.key == 0x102) {
      firmware[change.name] = change.value;
      continue;
    }
    const std::string where = kind.form ? std::string("this file stores the ") + sensorWords(kind.group) +
                                              " settings in " + kind.form : "";
    const Field& field = found->second.field;
    if (!writeField(block.data() + owner.start + 5, field, change.value, where, problem)) return false;
    kept = std::max(kept, owner.start + 5 + static_cast<size_t>(field.offset) + widthOf(field.codec));
  }
  if (!firmware.empty()) {
    const SettingsRecordSpan& owner = current.at("version").owner;
    std::array<const JsonValue*, 3> triple{};
    for (size_t i = 0; i < 3; ++i) {
      const auto named = firmware.find(kFirmware[i]);
      triple[i] = named != firmware.end() ? named->second : &current.at(kFirmware[i]).value;
    }
    const std::string where = owner.length == 6 ? "" : "this file stores the three as one number up to 999, a digit each";
    if (!writeFirmware(block.data() + owner.start + 5, owner.length, triple, where, problem)) return false;
    kept = std::max(kept, owner.start + 5 + static_cast<size_t>(owner.length));
  }
  std::vector<uint8_t> extra;
  for (const auto& entry : added) {
    const auto& named = entry.second;
    const Lookup get = [&](const std::string& name) -> const JsonValue* {
      for (const SettingChange& change : named)
        if (change.name == name) return change.value;
      const auto found = current.find(name);
      return found != current.end() ? &found->second.value : defaultOf(name);
    };
    if (!newRecord(entry.first, get, extra, problem)) return false;
  }
  const size_t split = std::min(static_cast<size_t>(end), kept);
  out.assign(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(split));
  out.insert(out.end(), extra.begin(), extra.end());
  out.insert(out.end(), block.begin() + static_cast<std::ptrdiff_t>(split), block.begin() + static_cast<std::ptrdiff_t>(kept));
  const size_t used = static_cast<size_t>(end) + extra.size();
  if (used > kSettingsBlockSize) {
    return valueProblem(problem, "the settings no longer fit in one " + std::to_string(kSettingsBlockSize) +
                                     "-byte block (" + std::to_string(used) + " bytes)");
  }
  // Filler after the records (a recording's block is padded) keeps the block's size.
  if (kept == kSettingsBlockSize) out.resize(kSettingsBlockSize);
  return true;
}

namespace {

bool textInteger(SettingsProblem& problem, const char* name, const JsonValue* value, double low, double high) {
  if (isInteger(value) && value->number >= low && value->number <= high) return true;
  problem.kind = SettingsRefusal::Value;
  problem.message = std::string("settingsText: ") + name + " must be an integer from " + jsNumber(low) + " to " +
                    jsNumber(high) + ", not " + shownText(value);
  return false;
}

bool truthy(const JsonValue* v) {
  if (isNothing(v)) return false;
  switch (v->type) {
    case JsonValue::Type::Bool: return v->boolean;
    case JsonValue::Type::Number: return v->number != 0 && !std::isnan(v->number);
    case JsonValue::Type::String: return !v->text.empty();
    default: return true;
  }
}

std::string integerText(double value) { return std::to_string(static_cast<int64_t>(value)); }

bool isBase64(const std::string& text) {
  const size_t body = text.find('=');
  const size_t padding = body == std::string::npos ? 0 : text.size() - body;
  if (padding > 2 || (padding > 0 && text.find_first_not_of('=', body) != std::string::npos)) return false;
  return std::all_of(text.begin(), text.end() - static_cast<std::ptrdiff_t>(padding), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
  });
}

bool sensorEntry(const std::string& key, const JsonValue& sensor, std::string& entry, SettingsProblem& problem) {
  const Lookup get = [&](const std::string& name) { return sensor.find(name.substr(key.size() + 1)); };
  std::vector<uint8_t> record;
  if (!newSensorRecord(key, get, record, problem)) return false;
  if (record[2] != 2) {
    entry = "unknownFrames," + encodeBase64(record);
    return true;
  }
  entry = key;
  for (const char* member : kSensorFields) {
    if (key == "baro" && std::string_view(member) != "frequency") continue;
    entry += "," + integerText(sensor.find(member)->number);
  }
  return true;
}

}  // namespace

bool settingsTextOf(const JsonValue& config, std::string& text, SettingsProblem& problem) {
  std::vector<std::string> entries;
  const JsonValue* unknown = config.find("unknownFrames");
  if (!isNothing(unknown)) {
    if (unknown->type != JsonValue::Type::String || !isBase64(unknown->text)) {
      problem = {SettingsRefusal::Type, "settingsText: unknownFrames must be Base64 text"};
      return false;
    }
    if (!unknown->text.empty()) entries.push_back("unknownFrames," + unknown->text);
  }
  for (const char* key : {"gyro", "accel", "baro"}) {
    const JsonValue* sensor = config.find(key);
    if (!truthy(sensor)) continue;
    entries.emplace_back();
    if (!sensorEntry(key, *sensor, entries.back(), problem)) return false;
  }
  static constexpr std::array<const char*, 8> kDeviceKeys = {
      "deviceId", "deviceType", "bodyLocation", "version", "majorVersion", "minorVersion", "radioMode", "radioChannel"};
  if (std::any_of(kDeviceKeys.begin(), kDeviceKeys.end(), [&](const char* key) { return config.find(key) != nullptr; })) {
    static const JsonValue minusOne = JsonValue::of(-1);
    static const JsonValue zero = JsonValue::of(0);
    const auto valueOr = [&](const char* key, const JsonValue& fallback) {
      const JsonValue* v = config.find(key);
      return isNothing(v) ? &fallback : v;
    };
    const JsonValue* id = valueOr("deviceId", minusOne);
    if (!textInteger(problem, "deviceId", id, kInt32Low, kInt32High)) return false;
    const JsonValue* type = valueOr("deviceType", minusOne);
    const JsonValue* location = valueOr("bodyLocation", minusOne);
    // -1 throughout means the file had no device record: writing one would
    // turn the -1 type and location into 255.
    const bool hasDevice = !(id->number == -1 && same(type, &minusOne) && same(location, &minusOne));
    if (hasDevice) {
      if (!textInteger(problem, "deviceType", type, 0, 255) || !textInteger(problem, "bodyLocation", location, 0, 255)) {
        return false;
      }
      entries.push_back("device," + integerText(id->number) + "," + integerText(type->number) + "," +
                        integerText(location->number));
    }
    std::string firmware = "firmware";
    bool nonzero = false;
    for (const char* key : kFirmware) {
      const JsonValue* v = valueOr(key, zero);
      if (!textInteger(problem, key, v, 0, 65535)) return false;
      firmware += "," + integerText(v->number);
      nonzero = nonzero || v->number != 0;
    }
    // Without a device record the firmware record is what marks the device
    // fields as known; otherwise zeros need no record.
    if (!hasDevice || nonzero) entries.push_back(firmware);
    std::string radio = "radio";
    nonzero = false;
    for (const char* key : {"radioMode", "radioChannel"}) {
      const JsonValue* v = valueOr(key, zero);
      if (!textInteger(problem, key, v, 0, 255)) return false;
      radio += "," + integerText(v->number);
      nonzero = nonzero || v->number != 0;
    }
    if (nonzero) entries.push_back(radio);
  }
  // An empty text makes an empty file, which readConfig rejects; a radio
  // record of zeros keeps it a settings file and reports nothing by itself.
  if (entries.empty()) entries.push_back("radio,0,0");
  text.clear();
  for (const std::string& entry : entries) text += (text.empty() ? "" : ":") + entry;
  return true;
}

std::vector<std::string> settingsKeys() {
  std::vector<std::string> keys;
  const auto add = [&](const std::string& name) {
    if (std::find(keys.begin(), keys.end(), name) == keys.end()) keys.push_back(name);
  };
  for (const Kind& kind : kKinds) {
    if (kind.key == 0x102 || kind.key == 0x307 || kind.key == 0x309) continue;  // fields vary with the length
    for (const Field& field : fieldsOf(kind, kind.min)) add(field.name);
  }
  for (const char* name : kFirmware) add(name);
  for (const char* name : {"radioMode", "radioChannel", "gps.frequency"}) add(name);
  return keys;
}

std::vector<std::string> sensorFields() { return {kSensorFields.begin(), kSensorFields.end()}; }

}  // namespace kinovar
