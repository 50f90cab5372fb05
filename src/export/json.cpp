#include "export/json.h"

namespace kinovar {

namespace {

void appendTwoDigits(std::string& out, int32_t value) {
  if (value < 10) out += '0';  // signed test on purpose: -3 reads 0-3
  out += std::to_string(value);
}

}  // namespace

std::string formatDateTime(const DateTimeFields& date) {
  std::string out;
  out.reserve(19);
  out += date.year == 0 ? std::string("0000") : std::to_string(date.year);
  out += '-';
  appendTwoDigits(out, date.month);
  out += '-';
  appendTwoDigits(out, date.day);
  out += ' ';
  appendTwoDigits(out, date.hour);
  out += ':';
  appendTwoDigits(out, date.minute);
  out += ':';
  appendTwoDigits(out, date.second);
  return out;
}

namespace {

void writeReadMembers(JsonSink& json, const DeviceSettings& settings) {
  json.member("createdAt", formatDateTime(settings.createdAt));
  json.member("endDate", formatDateTime(settings.endDate));
  json.member("frequency", settings.frequency);
  // The versions are texts in this answer, numbers in readConfig's: hosts rely on both.
  json.member("version", std::to_string(settings.version));
  json.member("minorVersion", std::to_string(settings.minorVersion));
  json.member("majorVersion", std::to_string(settings.majorVersion));
  json.member("measureId", settings.measureId);
}

}  // namespace

void writeReadResult(JsonSink& json, const DeviceSettings& settings) {
  json.beginObject();
  writeReadMembers(json, settings);
  json.endObject();
}

void writeRecordingInfo(JsonSink& json, const DeviceSettings& settings) {
  json.beginObject();
  writeReadMembers(json, settings);
  json.member("deviceId", settings.deviceId);
  json.endObject();
}

std::string readResultJson(const DeviceSettings& settings) {
  return jsonText([&](JsonSink& json) { writeReadResult(json, settings); });
}

}  // namespace kinovar
