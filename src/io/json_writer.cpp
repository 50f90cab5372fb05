#include "io/json_writer.h"

#include <charconv>
#include <cmath>

namespace kinovar {

void JsonWriter::separate() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (first_.empty()) return;
  if (!first_.back()) text_ += ',';
  first_.back() = false;
}

JsonWriter& JsonWriter::open(char bracket) {
  separate();
  text_ += bracket;
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::close(char bracket) {
  text_ += bracket;
  first_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
  value(name);
  text_ += ':';
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::value(int64_t number) {
  separate();
  text_ += std::to_string(number);
  return *this;
}

JsonWriter& JsonWriter::value(uint64_t number) {
  separate();
  text_ += std::to_string(number);
  return *this;
}

JsonWriter& JsonWriter::value(double number) {
  separate();
  if (!std::isfinite(number)) {
    text_ += "null";
    return *this;
  }
  char buffer[32];
  text_.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, number).ptr);
  return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
  separate();
  text_ += '"';
  for (char c : text) {
    if (c == '"' || c == '\\') text_ += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    text_ += c;
  }
  text_ += '"';
  return *this;
}

JsonWriter& JsonWriter::null() {
  separate();
  text_ += "null";
  return *this;
}

JsonWriter& JsonWriter::document(std::string_view json) {
  separate();
  text_ += json;
  return *this;
}

}  // namespace kinovar
