// The one writer of the core's JSON documents. A document is written once,
// to a sink: JsonWriter makes compact text of it (no white space, members in
// the order written, numbers in their shortest exact form), or the text
// JavaScript's JSON.stringify makes, compact or indented, for files whose
// bytes were first written by the JS layer; a host binding may build its
// own values from the same calls instead.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kinovar {

class JsonSink {
 public:
  virtual ~JsonSink() = default;

  JsonSink& beginObject() { return open(false), *this; }
  JsonSink& endObject() { return close(false), *this; }
  JsonSink& beginArray() { return open(true), *this; }
  JsonSink& endArray() { return close(true), *this; }
  // The name of the next member of the open object.
  JsonSink& key(std::string_view name) { return memberName(name), *this; }

  JsonSink& value(int64_t number) { return integer(number), *this; }
  JsonSink& value(uint64_t number) { return unsignedInteger(number), *this; }
  JsonSink& value(int32_t number) { return integer(number), *this; }
  JsonSink& value(uint32_t number) { return unsignedInteger(number), *this; }
  // Infinities and NaN, which JSON cannot hold, are null.
  JsonSink& value(double number) { return real(number), *this; }
  JsonSink& value(std::string_view text) { return string(text), *this; }
  JsonSink& value(const char* text) { return string(text), *this; }
  JsonSink& value(const std::string& text) { return string(text), *this; }
  JsonSink& value(bool truth) { return boolean(truth), *this; }
  JsonSink& null() { return nothing(), *this; }

  template <typename T>
  JsonSink& member(std::string_view name, const T& v) {
    return key(name).value(v);
  }

 protected:
  virtual void open(bool array) = 0;
  virtual void close(bool array) = 0;
  virtual void memberName(std::string_view name) = 0;
  virtual void integer(int64_t number) = 0;
  virtual void unsignedInteger(uint64_t number) = 0;
  virtual void real(double number) = 0;
  virtual void string(std::string_view text) = 0;
  virtual void nothing() = 0;
  virtual void boolean(bool truth) = 0;
};

enum class JsonLayout {
  Compact,
  // JSON.stringify(value): compact, numbers and strings as below.
  JavaScript,
  // JSON.stringify(value, null, 2): members and items on lines of their
  // own indented by two spaces, [] and {} when empty, numbers as String(n)
  // writes them, every control character and lone surrogate escaped.
  Indented,
};

class JsonWriter : public JsonSink {
 public:
  explicit JsonWriter(JsonLayout layout = JsonLayout::Compact) : layout_(layout) {}

  // A document made as text before, as the next value (compact layout only:
  // it is not indented again).
  JsonWriter& document(std::string_view json);
  const std::string& text() const { return text_; }
  std::string take() { return std::move(text_); }

 protected:
  void open(bool array) override;
  void close(bool array) override;
  void memberName(std::string_view name) override;
  void integer(int64_t number) override;
  void unsignedInteger(uint64_t number) override;
  void real(double number) override;
  // Compact: quotes and backslashes escaped, control characters left out.
  void string(std::string_view text) override;
  void nothing() override;
  void boolean(bool truth) override;

 private:
  void separate();
  void escape(std::string_view text);
  bool javascript() const { return layout_ != JsonLayout::Compact; }

  JsonLayout layout_;
  std::string text_;
  std::vector<bool> first_;  // per open level: nothing written in it yet
  bool afterKey_ = false;
};

struct JsonValue;

// A tree read by parseJson, written back to a sink.
void writeJsonValue(JsonSink& json, const JsonValue& value);

// The text of a document written by `write` to a JsonWriter.
template <typename Write>
std::string jsonText(Write&& write, JsonLayout layout = JsonLayout::Compact) {
  JsonWriter json(layout);
  write(static_cast<JsonSink&>(json));
  return json.take();
}

}  // namespace kinovar
