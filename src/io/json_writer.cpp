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

void JsonWriter::open(bool array) {
  separate();
  text_ += array ? '[' : '{';
  first_.push_back(true);
}

void JsonWriter::close(bool array) {
  text_ += array ? ']' : '}';
  first_.pop_back();
}

void JsonWriter::memberName(std::string_view name) {
  string(name);
  text_ += ':';
  afterKey_ = true;
}

void JsonWriter::integer(int64_t number) {
  separate();
  text_ += std::to_string(number);
}

void JsonWriter::unsignedInteger(uint64_t number) {
  separate();
  text_ += std::to_string(number);
}

void JsonWriter::real(double number) {
  separate();
  if (!std::isfinite(number)) {
    text_ += "null";
    return;
  }
  char buffer[32];
  text_.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, number).ptr);
}

void JsonWriter::string(std::string_view text) {
  separate();
  text_ += '"';
  for (char c : text) {
    if (c == '"' || c == '\\') text_ += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    text_ += c;
  }
  text_ += '"';
}

void JsonWriter::nothing() {
  separate();
  text_ += "null";
}

void JsonWriter::boolean(bool truth) {
  separate();
  text_ += truth ? "true" : "false";
}

JsonWriter& JsonWriter::document(std::string_view json) {
  separate();
  text_ += json;
  return *this;
}

}  // namespace kinovar
