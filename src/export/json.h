// The JSON texts of the module are composed by hand, member by member, with
// no white space and no escaping (only dates and numbers are ever written).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "reader/recording.h"

namespace kinovar {

inline constexpr std::string_view kErrorDocument = "{\"error\":\"Error during data loading.\"}";

std::string formatDateTime(const DateTimeFields& date);

// The answer of `read` for a recording whose CSV export succeeded.
std::string readResultJson(const DeviceSettings& settings);

// Builds a document from key literals that carry their own quotes and colon
// (and the opening quote of a text value, or the "{" of a nested object).
class JsonWriter {
 public:
  JsonWriter() : text_("{") {}
  void number(std::string_view keyLiteral, int32_t value);
  void text(std::string_view keyLiteral, std::string_view value);  // key literal ends in '"'
  void openObject(std::string_view keyLiteral);                     // key literal ends in '{'
  void closeObject();
  std::string finish();

 private:
  void dropTrailingComma();
  std::string text_;
};

}  // namespace kinovar
