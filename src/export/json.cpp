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

void JsonWriter::number(std::string_view keyLiteral, int32_t value) {
  text_ += keyLiteral;
  text_ += std::to_string(value);
  text_ += ',';
}

void JsonWriter::text(std::string_view keyLiteral, std::string_view value) {
  text_ += keyLiteral;
  text_ += value;
  text_ += "\",";
}

void JsonWriter::openObject(std::string_view keyLiteral) { text_ += keyLiteral; }

void JsonWriter::closeObject() {
  if (text_.back() == ',') text_.pop_back();
  text_ += "},";
}

void JsonWriter::dropTrailingComma() {
  if (text_.size() > 1) text_.pop_back();
}

std::string JsonWriter::finish() {
  dropTrailingComma();
  text_ += '}';
  return std::move(text_);
}

std::string readResultJson(const DeviceSettings& settings) {
  JsonWriter json;
  json.text("\"createdAt\":\"", formatDateTime(settings.createdAt));
  json.text("\"endDate\":\"", formatDateTime(settings.endDate));
  json.number("\"frequency\":", settings.frequency);
  json.text("\"version\":\"", std::to_string(settings.version));
  json.text("\"minorVersion\":\"", std::to_string(settings.minorVersion));
  json.text("\"majorVersion\":\"", std::to_string(settings.majorVersion));
  json.number("\"measureId\":", settings.measureId);
  return json.finish();
}

}  // namespace kinovar
