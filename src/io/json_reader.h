// A small reader of JSON documents, for the files the core reads back
// (calibration files): values as a tree, numbers as doubles.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kinovar {

struct JsonValue {
  enum class Type { Null, Bool, Number, String, Array, Object };
  Type type = Type::Null;
  bool boolean = false;
  double number = 0.0;
  std::string text;
  std::vector<JsonValue> items;                            // Array
  std::vector<std::pair<std::string, JsonValue>> members;  // Object, in order

  // The member named so, or nullptr (also when this is no object).
  const JsonValue* find(std::string_view name) const;
};

// False, with where and why in `error`, when the text is no JSON document.
bool parseJson(std::string_view text, JsonValue& out, std::string& error);

}  // namespace kinovar
