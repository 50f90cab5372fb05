// The Arrow schema that Arrow's Parquet writers keep in a file's footer,
// made as their flatbuffer builder makes it (back to front, tables'
// vtables shared), so that the footer reads as theirs did.
#include <algorithm>
#include <cstring>

#include "export/parquet.h"

namespace kinovar::parquet {
namespace {

// A flatbuffer built from its end: `at` positions count from the end.
class Flat {
 public:
  uint32_t used() const { return static_cast<uint32_t>(rev_.size()); }

  void align(size_t length, size_t alignment) {
    minAlign_ = std::max(minAlign_, alignment);
    const size_t pad = (~(rev_.size() + length) + 1) & (alignment - 1);
    rev_.insert(rev_.end(), pad, 0);
  }
  template <typename T>
  uint32_t push(T value) {
    align(sizeof(T), sizeof(T));
    raw(&value, sizeof(T));
    return used();
  }
  uint32_t offset(uint32_t target) {
    align(4, 4);
    return push<uint32_t>(used() + 4 - target);
  }
  uint32_t string(const std::string& text) {
    align(text.size() + 1, 4);
    rev_.push_back(0);
    for (size_t i = text.size(); i-- > 0;) rev_.push_back(static_cast<uint8_t>(text[i]));
    return push<uint32_t>(static_cast<uint32_t>(text.size()));
  }
  uint32_t offsets(const std::vector<uint32_t>& items) {
    align(4 * items.size(), 4);
    for (size_t i = items.size(); i-- > 0;) offset(items[i]);
    return push<uint32_t>(static_cast<uint32_t>(items.size()));
  }

  void start() {
    fields_.clear();
    tableStart_ = used();
  }
  template <typename T>
  void slot(int id, T value) {
    fields_.push_back({push<T>(value), id});
  }
  void slotOffset(int id, uint32_t target) { fields_.push_back({offset(target), id}); }
  uint32_t end() {
    const uint32_t object = push<uint32_t>(0);
    int top = -1;
    for (const auto& f : fields_) top = std::max(top, f.second);
    std::vector<uint16_t> vtable(static_cast<size_t>(top + 3), 0);
    vtable[0] = static_cast<uint16_t>(2 * vtable.size());
    vtable[1] = static_cast<uint16_t>(object - tableStart_);
    for (const auto& [at, id] : fields_) vtable[static_cast<size_t>(id) + 2] = static_cast<uint16_t>(object - at);
    uint32_t found = 0;
    for (const auto& [where, kept] : vtables_)
      if (kept == vtable) found = where;
    if (!found) {
      for (size_t i = vtable.size(); i-- > 0;) raw(&vtable[i], 2);
      found = used();
      vtables_.emplace_back(found, vtable);
    }
    const int32_t soffset = static_cast<int32_t>(found) - static_cast<int32_t>(object);
    std::memcpy(&patch_, &soffset, 4);
    for (uint32_t b = 0; b < 4; ++b) rev_[object - 1 - b] = patch_[b];
    return object;
  }
  std::vector<uint8_t> finish(uint32_t root) {
    align(4, minAlign_);
    offset(root);
    return {rev_.rbegin(), rev_.rend()};
  }

 private:
  // Bytes in memory order, stored reversed.
  void raw(const void* data, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(data);
    for (size_t i = n; i-- > 0;) rev_.push_back(b[i]);
  }
  std::vector<uint8_t> rev_;
  size_t minAlign_ = 1;
  uint32_t tableStart_ = 0;
  std::vector<std::pair<uint32_t, int>> fields_;
  std::vector<std::pair<uint32_t, std::vector<uint16_t>>> vtables_;
  uint8_t patch_[4] = {};
};

// The schema's numbers: type kinds, precision, unit, message kinds, version 5.
enum : uint8_t { kInt = 2, kFloatingPoint = 3, kTimestamp = 10 };
constexpr int16_t kDoublePrecision = 2, kMicrosecond = 2, kV5 = 4;
constexpr uint8_t kSchemaMessage = 1;

uint32_t field(Flat& fb, const ColumnLayout& column, bool utc) {
  const uint32_t name = fb.string(column.name);
  uint32_t type = 0, children = 0;
  uint8_t kind = kFloatingPoint;
  if (column.type == ColumnType::Timestamp) {
    kind = kTimestamp;
    const uint32_t zone = fb.string(utc ? "UTC" : "");
    fb.start();
    fb.slot<int16_t>(0, kMicrosecond);
    if (utc) fb.slotOffset(1, zone);
    type = fb.end();
    children = fb.offsets({});
  } else {
    children = fb.offsets({});
    fb.start();
    if (column.type == ColumnType::Int32) {
      kind = kInt;
      fb.slot<uint8_t>(1, 1);  // signed
      fb.slot<int32_t>(0, 32);
    } else {
      fb.slot<int16_t>(0, kDoublePrecision);
    }
    type = fb.end();
  }
  fb.start();
  fb.slotOffset(0, name);
  fb.slot<uint8_t>(2, kind);
  fb.slot<uint8_t>(1, 1);  // nullable
  fb.slotOffset(5, children);
  fb.slotOffset(3, type);
  return fb.end();
}

std::string base64(const std::vector<uint8_t>& bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const uint32_t n = (uint32_t{bytes[i]} << 16) | (i + 1 < bytes.size() ? uint32_t{bytes[i + 1]} << 8 : 0) |
                       (i + 2 < bytes.size() ? bytes[i + 2] : 0);
    out += alphabet[(n >> 18) & 63];
    out += alphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? alphabet[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? alphabet[n & 63] : '=';
  }
  return out;
}

}  // namespace

std::string arrowSchema(const std::vector<ColumnLayout>& columns, bool utc) {
  Flat fb;
  std::vector<uint32_t> fields;
  for (const ColumnLayout& column : columns) fields.push_back(field(fb, column, utc));
  const uint32_t list = fb.offsets(fields);
  fb.start();
  fb.slotOffset(1, list);
  const uint32_t schema = fb.end();
  fb.start();
  fb.slot<int16_t>(0, kV5);
  fb.slot<uint8_t>(1, kSchemaMessage);
  fb.slotOffset(2, schema);
  const std::vector<uint8_t> message = fb.finish(fb.end());
  // The legacy framing: the continuation mark, then the length.
  std::vector<uint8_t> framed = {0xff, 0xff, 0xff, 0xff};
  const uint32_t length = static_cast<uint32_t>(message.size());
  for (int b = 0; b < 4; ++b) framed.push_back(static_cast<uint8_t>(length >> (8 * b)));
  framed.insert(framed.end(), message.begin(), message.end());
  return base64(framed);
}

}  // namespace kinovar::parquet
