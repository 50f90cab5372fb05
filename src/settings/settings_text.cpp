#include "settings/settings_text.h"

#include <array>
#include <string_view>

#include "settings/base64.h"
#include "settings/settings_record.h"

namespace kinovar {

namespace {

// Line-reading rules: no piece for the empty text, an empty piece between
// two separators in a row, none after a separator at the very end.
std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      pieces.push_back(text.substr(start));
      break;
    }
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// As a standard string-to-int conversion: leading white space and a sign,
// then at least one digit; whatever follows the digits is ignored.
bool parseInt32(std::string_view field, int32_t& value) {
  size_t i = 0;
  while (i < field.size() && isSpace(field[i])) ++i;
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
  int64_t magnitude = 0;
  size_t digits = 0;
  for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i, ++digits) {
    magnitude = magnitude * 10 + (field[i] - '0');
    if (magnitude > int64_t{1} << 31) return false;  // past the range whatever the sign
  }
  if (digits == 0) return false;
  const int64_t signedValue = negative ? -magnitude : magnitude;
  if (signedValue > INT32_MAX) return false;
  value = static_cast<int32_t>(signedValue);
  return true;
}

struct KeyLayout {
  std::string_view key;
  uint8_t type;
  uint8_t subtype;
  uint8_t frameId;  // 0: the record has none
  std::array<uint8_t, 8> widths;  // bytes per value, 0 past the last
};

// Sensor records are the legacy type 2 with the device's fixed frame ids.
constexpr std::array<KeyLayout, 6> kLayouts = {{
    {"accel", 2, 0, 19, {1, 1, 4, 4, 4, 4, 4, 4}},
    {"gyro", 2, 1, 20, {1, 1, 4, 4, 4, 4, 4, 4}},
    {"baro", 2, 2, 21, {1, 0, 0, 0, 0, 0, 0, 0}},
    {"device", 1, 1, 0, {4, 1, 1, 0, 0, 0, 0, 0}},
    {"firmware", 1, 2, 0, {2, 2, 2, 0, 0, 0, 0, 0}},
    {"radio", 1, 5, 0, {1, 1, 0, 0, 0, 0, 0, 0}},
}};

const KeyLayout* findLayout(std::string_view key) {
  for (const KeyLayout& layout : kLayouts) {
    if (layout.key == key) return &layout;
  }
  return nullptr;
}

// Big-endian, keeping the low bytes: a frequency of 300 in one byte is 44.
void putBigEndian(std::vector<uint8_t>& out, int32_t value, int width) {
  const auto bits = static_cast<uint32_t>(value);
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(bits >> shift));
}

bool encodeRecord(const KeyLayout& layout, const std::vector<std::string_view>& fields, std::vector<uint8_t>& out) {
  std::vector<uint8_t> payload;
  if (layout.frameId != 0) payload.push_back(layout.frameId);
  size_t index = 1;
  for (uint8_t width : layout.widths) {
    if (width == 0) break;
    int32_t value = 0;
    if (index >= fields.size() || !parseInt32(fields[index], value)) return false;
    putBigEndian(payload, value, width);
    ++index;
  }
  out.insert(out.end(), {'Q', '7', layout.type, layout.subtype, static_cast<uint8_t>(payload.size())});
  out.insert(out.end(), payload.begin(), payload.end());
  out.insert(out.end(), {0xFF, 0xFE});
  return true;
}

}  // namespace

bool encodeSettingsText(std::string_view text, std::vector<uint8_t>& out) {
  out.clear();
  for (std::string_view entry : split(text, ':')) {
    const std::vector<std::string_view> fields = split(entry, ',');
    const std::string_view key = fields.empty() ? std::string_view() : fields[0];
    if (key == "unknownFrames") {
      // An empty Base64 text leaves no field after the split: zero bytes.
      if (fields.size() > 1) {
        const std::vector<uint8_t> records = decodeBase64(fields[1]);
        out.insert(out.end(), records.begin(), records.end());
      }
    } else {
      const KeyLayout* layout = findLayout(key);
      if (layout == nullptr || !encodeRecord(*layout, fields, out)) return false;
    }
    if (out.size() > kSettingsBlockSize) return false;
  }
  return true;
}

}  // namespace kinovar
