#include "io/json_writer.h"

#include <charconv>
#include <cmath>

#include "io/js_number.h"
#include "io/json_reader.h"

namespace kinovar {

void JsonWriter::separate() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (first_.empty()) return;
  if (!first_.back()) text_ += ',';
  first_.back() = false;
  if (layout_ == JsonLayout::Indented) text_.append(1, '\n').append(2 * first_.size(), ' ');
}

void JsonWriter::open(bool array) {
  separate();
  text_ += array ? '[' : '{';
  first_.push_back(true);
}

void JsonWriter::close(bool array) {
  const bool empty = first_.back();
  first_.pop_back();
  if (layout_ == JsonLayout::Indented && !empty) text_.append(1, '\n').append(2 * first_.size(), ' ');
  text_ += array ? ']' : '}';
}

void JsonWriter::memberName(std::string_view name) {
  string(name);
  text_ += layout_ == JsonLayout::Indented ? ": " : ":";
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
  if (javascript()) return appendJsNumber(text_, number);
  char buffer[32];
  text_.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, number).ptr);
}

void JsonWriter::string(std::string_view text) {
  separate();
  text_ += '"';
  if (javascript()) {
    escape(text);
    text_ += '"';
    return;
  }
  for (char c : text) {
    if (c == '"' || c == '\\') text_ += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    text_ += c;
  }
  text_ += '"';
}

// As JSON.stringify escapes: the short forms, other controls as \u00XX, and
// a lone surrogate (which a host's WTF-8 path may hold: ED A0-BF xx) as
// \uDXXX in lower case; every other byte as it is.
void JsonWriter::escape(std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  const auto u = [&](unsigned code) {
    text_ += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) text_ += hex[(code >> shift) & 0xF];
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': text_ += "\\\""; continue;
      case '\\': text_ += "\\\\"; continue;
      case '\b': text_ += "\\b"; continue;
      case '\f': text_ += "\\f"; continue;
      case '\n': text_ += "\\n"; continue;
      case '\r': text_ += "\\r"; continue;
      case '\t': text_ += "\\t"; continue;
      default: break;
    }
    if (c < 0x20) {
      u(c);
    } else if (c == 0xED && i + 2 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0xA0) {
      u(0xD000u | (static_cast<unsigned>(static_cast<unsigned char>(text[i + 1])) & 0x3Fu) << 6 |
        (static_cast<unsigned>(static_cast<unsigned char>(text[i + 2])) & 0x3Fu));
      i += 2;
    } else {
      text_ += static_cast<char>(c);
    }
  }
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

void writeJsonValue(JsonSink& json, const JsonValue& v) {
  switch (v.type) {
    case JsonValue::Type::Null: json.null(); return;
    case JsonValue::Type::Bool: json.value(v.boolean); return;
    case JsonValue::Type::Number: json.value(v.number); return;
    case JsonValue::Type::String: json.value(v.text); return;
    default: break;
  }
  const bool object = v.type == JsonValue::Type::Object;
  object ? json.beginObject() : json.beginArray();
  for (size_t i = 0; i < v.items.size(); ++i) {
    if (object) json.key(v.keys[i]);
    writeJsonValue(json, v.items[i]);
  }
  object ? json.endObject() : json.endArray();
}

}  // namespace kinovar
