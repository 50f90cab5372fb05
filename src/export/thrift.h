// Thrift's compact protocol, which a Parquet file's page headers, page
// indexes and footer are written in. Only what Parquet uses: no maps.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace kinovar::thrift {

enum Type : uint8_t { kTrue = 1, kFalse = 2, kByte = 3, kI16 = 4, kI32 = 5, kI64 = 6, kBinary = 8, kList = 9, kStruct = 12 };

// Appends to a byte vector; structs nest with begin/end, each remembering
// its last field id for the deltas.
class Writer {
 public:
  explicit Writer(std::vector<uint8_t>& out) : out_(out) {}

  void varint(uint64_t v) {
    while (v >= 0x80) {
      out_.push_back(static_cast<uint8_t>(v | 0x80));
      v >>= 7;
    }
    out_.push_back(static_cast<uint8_t>(v));
  }
  void zigzag(int64_t v) { varint((static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63)); }

  void field(int16_t id, Type type) {
    const int16_t last = last_.back();
    if (id > last && id - last <= 15) {
      out_.push_back(static_cast<uint8_t>(((id - last) << 4) | type));
    } else {
      out_.push_back(type);
      zigzag(id);
    }
    last_.back() = id;
  }
  void i32(int16_t id, int64_t v) { field(id, kI32), zigzag(v); }
  void i64(int16_t id, int64_t v) { field(id, kI64), zigzag(v); }
  void i16(int16_t id, int64_t v) { field(id, kI16), zigzag(v); }
  void boolean(int16_t id, bool v) { field(id, v ? kTrue : kFalse); }
  void binary(int16_t id, std::string_view v) { field(id, kBinary), bytes(v); }
  void bytes(std::string_view v) {
    varint(v.size());
    out_.insert(out_.end(), v.begin(), v.end());
  }
  // A list field's head; its items follow (structs with begin/end, numbers with zigzag).
  void list(int16_t id, Type element, size_t size) {
    field(id, kList);
    listHead(element, size);
  }
  void listHead(Type element, size_t size) {
    if (size < 15) {
      out_.push_back(static_cast<uint8_t>((size << 4) | element));
    } else {
      out_.push_back(static_cast<uint8_t>(0xf0 | element));
      varint(size);
    }
  }
  void begin(int16_t id) { field(id, kStruct), begin(); }
  void begin() { last_.push_back(0); }  // a list's struct item, or the outermost
  void end() {
    out_.push_back(0);
    last_.pop_back();
  }

 private:
  std::vector<uint8_t>& out_;
  std::vector<int16_t> last_{0};
};

}  // namespace kinovar::thrift
