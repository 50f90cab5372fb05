// A small reader of JSON documents, for the files the core reads back
// (calibration files): values as a tree, numbers as doubles.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kinovar {

struct JsonValue {
  enum class Type { Null, Bool, Number, String, Array, Object };
  Type type = Type::Null;
  bool boolean = false;
  double number = 0.0;
  std::string text;
  // An array's values; an object's too, named by `keys` in order (a pair
  // of a name and an incomplete value is refused by some libraries).
  std::vector<JsonValue> items;
  std::vector<std::string> keys;

  // The member named so, or nullptr (also when this is no object).
  const JsonValue* find(std::string_view name) const;

  // Values built by hand, for a document composed before it is written.
  static JsonValue of(Type type) {
    JsonValue v;
    v.type = type;
    return v;
  }
  static JsonValue of(double value) {
    JsonValue v = of(Type::Number);
    v.number = value;
    return v;
  }
  static JsonValue of(std::string value) {
    JsonValue v = of(Type::String);
    v.text = std::move(value);
    return v;
  }
  static JsonValue truth(bool value) {
    JsonValue v = of(Type::Bool);
    v.boolean = value;
    return v;
  }
};

// False, with where and why in `error`, when the text is no JSON document.
// With `nonFinite`, NaN and Infinity (as hosts write numbers JSON lacks) are
// numbers too.
bool parseJson(std::string_view text, JsonValue& out, std::string& error, bool nonFinite = false);

}  // namespace kinovar
