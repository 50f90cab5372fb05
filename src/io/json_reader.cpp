#include "io/json_reader.h"

#include <cstdlib>
#include <string>

namespace kinovar {

const JsonValue* JsonValue::find(std::string_view name) const {
  if (type != Type::Object) return nullptr;
  for (size_t i = 0; i < keys.size() && i < items.size(); ++i)
    if (keys[i] == name) return &items[i];
  return nullptr;
}

namespace {

class Parser {
 public:
  Parser(std::string_view text, bool nonFinite) : text_(text), nonFinite_(nonFinite) {}

  bool document(JsonValue& out, std::string& error) {
    if (!value(out, 0) || (space(), at_ != text_.size() && fail("text after the document"))) {
      error = why_ + " at byte " + std::to_string(at_);
      return false;
    }
    return true;
  }

 private:
  // Deep enough for any file of ours; deeper is refused rather than overflowing the stack.
  static constexpr int kDepth = 64;

  bool fail(const char* why) {
    if (why_.empty()) why_ = why;
    return false;
  }
  void space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) ++at_;
  }
  bool literal(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return fail("an unknown word");
    at_ += word.size();
    return true;
  }
  bool value(JsonValue& out, int depth) {
    space();
    if (depth > kDepth) return fail("nesting too deep");
    if (at_ >= text_.size()) return fail("the document ends early");
    const char c = text_[at_];
    if (c == '{') return object(out, depth);
    if (c == '[') return array(out, depth);
    if (c == '"') return out.type = JsonValue::Type::String, string(out.text);
    if (c == 't') return out.type = JsonValue::Type::Bool, out.boolean = true, literal("true");
    if (c == 'f') return out.type = JsonValue::Type::Bool, out.boolean = false, literal("false");
    if (c == 'n') return out.type = JsonValue::Type::Null, literal("null");
    return number(out);
  }
  bool number(JsonValue& out) {
    const std::string digits(text_.substr(at_, std::min<size_t>(64, text_.size() - at_)));
    char* end = nullptr;
    const char* begin = digits.c_str();
    out.number = std::strtod(begin, &end);
    const bool word = nonFinite_ && (digits.starts_with("NaN") || digits.starts_with("Infinity"));
    if (end == begin || !(word || digits[0] == '-' || (digits[0] >= '0' && digits[0] <= '9'))) return fail("not a value");
    out.type = JsonValue::Type::Number;
    at_ += static_cast<size_t>(end - begin);
    return true;
  }
  bool string(std::string& out) {
    ++at_;  // the opening quote
    while (at_ < text_.size() && text_[at_] != '"') {
      char c = text_[at_++];
      if (c == '\\') {
        if (at_ >= text_.size()) break;
        c = text_[at_++];
        switch (c) {
          case 'n': c = '\n'; break;
          case 't': c = '\t'; break;
          case 'r': c = '\r'; break;
          case 'b': c = '\b'; break;
          case 'f': c = '\f'; break;
          case 'u': {
            if (at_ + 4 > text_.size()) return fail("a broken escape");
            const unsigned code = static_cast<unsigned>(std::strtoul(std::string(text_.substr(at_, 4)).c_str(), nullptr, 16));
            at_ += 4;
            // Our files hold no characters beyond the first plane; those are kept as UTF-8.
            if (code < 0x80) out += static_cast<char>(code);
            else if (code < 0x800) out += static_cast<char>(0xC0 | code >> 6), out += static_cast<char>(0x80 | (code & 0x3F));
            else out += static_cast<char>(0xE0 | code >> 12), out += static_cast<char>(0x80 | (code >> 6 & 0x3F)),
                 out += static_cast<char>(0x80 | (code & 0x3F));
            continue;
          }
          default: break;  // \" \\ \/
        }
      }
      out += c;
    }
    if (at_ >= text_.size()) return fail("a string without its end");
    ++at_;
    return true;
  }
  bool array(JsonValue& out, int depth) {
    out.type = JsonValue::Type::Array;
    ++at_;
    space();
    if (at_ < text_.size() && text_[at_] == ']') return ++at_, true;
    for (;;) {
      out.items.emplace_back();
      if (!value(out.items.back(), depth + 1)) return false;
      space();
      if (at_ < text_.size() && text_[at_] == ',') { ++at_; continue; }
      if (at_ < text_.size() && text_[at_] == ']') return ++at_, true;
      return fail("an array without its end");
    }
  }
  bool object(JsonValue& out, int depth) {
    out.type = JsonValue::Type::Object;
    ++at_;
    space();
    if (at_ < text_.size() && text_[at_] == '}') return ++at_, true;
    for (;;) {
      space();
      if (at_ >= text_.size() || text_[at_] != '"') return fail("a member without a name");
      out.keys.emplace_back();
      out.items.emplace_back();
      if (!string(out.keys.back())) return false;
      space();
      if (at_ >= text_.size() || text_[at_] != ':') return fail("a member without ':'");
      ++at_;
      if (!value(out.items.back(), depth + 1)) return false;
      space();
      if (at_ < text_.size() && text_[at_] == ',') { ++at_; continue; }
      if (at_ < text_.size() && text_[at_] == '}') return ++at_, true;
      return fail("an object without its end");
    }
  }

  std::string_view text_;
  bool nonFinite_;
  size_t at_ = 0;
  std::string why_;
};

}  // namespace

bool parseJson(std::string_view text, JsonValue& out, std::string& error, bool nonFinite) {
  out = JsonValue{};
  return Parser(text, nonFinite).document(out, error);
}

}  // namespace kinovar
