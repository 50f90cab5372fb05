// The one writer of the core's JSON documents: compact (no white space),
// members in the order written, numbers in their shortest exact form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kinovar {

class JsonWriter {
 public:
  JsonWriter& beginObject() { return open('{'); }
  JsonWriter& endObject() { return close('}'); }
  JsonWriter& beginArray() { return open('['); }
  JsonWriter& endArray() { return close(']'); }
  // The name of the next member of the open object.
  JsonWriter& key(std::string_view name);

  JsonWriter& value(int64_t number);
  JsonWriter& value(uint64_t number);
  JsonWriter& value(int32_t number) { return value(static_cast<int64_t>(number)); }
  JsonWriter& value(uint32_t number) { return value(static_cast<uint64_t>(number)); }
  // Shortest text that reads back as the same double; null for what JSON
  // cannot hold (infinities, NaN).
  JsonWriter& value(double number);
  // A string: quotes and backslashes escaped, control characters left out.
  JsonWriter& value(std::string_view text);
  JsonWriter& value(const char* text) { return value(std::string_view(text)); }
  JsonWriter& null();
  // A document made by this writer before, as the value.
  JsonWriter& document(std::string_view json);

  template <typename T>
  JsonWriter& member(std::string_view name, const T& v) {
    return key(name).value(v);
  }

  const std::string& text() const { return text_; }
  std::string take() { return std::move(text_); }

 private:
  JsonWriter& open(char bracket);
  JsonWriter& close(char bracket);
  void separate();

  std::string text_;
  std::vector<bool> first_;  // per open level: nothing written in it yet
  bool afterKey_ = false;
};

}  // namespace kinovar
