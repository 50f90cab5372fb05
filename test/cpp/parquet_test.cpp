// The Parquet encoder's pieces that readers are strict about: the snappy
// stream (decoded here by the format's rules) and the Arrow schema in the
// footer (as Arrow's own Parquet writer made it for these columns).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "export/parquet.h"
#include "export/snappy.h"
#include "ops/parquet_table.h"

namespace {

using namespace kinovar;

uint64_t varint(const std::vector<uint8_t>& in, size_t& at) {
  uint64_t v = 0;
  for (int shift = 0;; shift += 7) {
    const uint8_t b = in.at(at++);
    v |= uint64_t{b & 0x7fu} << shift;
    if (b < 0x80) return v;
  }
}

// A decoder written from the format's description: literals and copies of
// one-, two- and four-byte offsets.
std::vector<uint8_t> unsnappy(const std::vector<uint8_t>& in) {
  size_t at = 0;
  const uint64_t size = varint(in, at);
  std::vector<uint8_t> out;
  while (at < in.size()) {
    const uint8_t tag = in[at++];
    auto little = [&](int bytes) {
      uint64_t v = 0;
      for (int b = 0; b < bytes; ++b) v |= uint64_t{in.at(at++)} << (8 * b);
      return v;
    };
    if ((tag & 3) == 0) {
      uint64_t n = tag >> 2;
      if (n >= 60) n = little(static_cast<int>(n) - 59);
      ++n;
      if (at + n > in.size()) throw std::runtime_error("literal past the end");
      out.insert(out.end(), in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + n));
      at += n;
      continue;
    }
    uint64_t n, offset;
    if ((tag & 3) == 1) {
      n = 4 + ((tag >> 2) & 7);
      offset = (static_cast<uint64_t>(tag >> 5) << 8) | little(1);
    } else {
      n = 1 + (tag >> 2);
      offset = little((tag & 3) == 2 ? 2 : 4);
    }
    if (offset == 0 || offset > out.size()) throw std::runtime_error("copy before the start");
    for (uint64_t k = 0; k < n; ++k) out.push_back(out[out.size() - offset]);
  }
  if (out.size() != size) throw std::runtime_error("length differs from the preamble");
  return out;
}

TEST(Snappy, RoundTripsWhatParquetPagesHold) {
  std::mt19937 random(7);
  std::vector<std::vector<uint8_t>> inputs = {{}, {42}, std::vector<uint8_t>(15, 9), std::vector<uint8_t>(100000, 0)};
  // Bytes of slowly rising doubles split by significance, noise, and the two mixed past 64 KiB.
  std::vector<uint8_t> split(8 * 20000), noise(70000), mixed;
  for (size_t i = 0; i < 20000; ++i) {
    const double t = static_cast<double>(i) / 1000;
    uint64_t bits;
    std::memcpy(&bits, &t, 8);
    for (size_t b = 0; b < 8; ++b) split[b * 20000 + i] = static_cast<uint8_t>(bits >> (8 * b));
  }
  for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
  for (int k = 0; k < 40; ++k) {
    mixed.insert(mixed.end(), noise.begin() + k * 700, noise.begin() + k * 700 + 3000 + k);
    mixed.insert(mixed.end(), split.begin() + k * 900, split.begin() + k * 900 + 67 + 5 * k);
  }
  inputs.push_back(split), inputs.push_back(noise), inputs.push_back(mixed);
  for (const std::vector<uint8_t>& input : inputs) {
    std::vector<uint8_t> packed = {0xaa};  // compressed bytes are appended
    snappyCompress(input.data(), input.size(), packed);
    ASSERT_EQ(packed[0], 0xaa);
    packed.erase(packed.begin());
    EXPECT_EQ(unsnappy(packed), input) << input.size() << " bytes";
    if (input.size() == 100000) {
      EXPECT_LT(packed.size(), input.size() / 20);
    }
    EXPECT_LT(packed.size(), input.size() + input.size() / 50 + 16);
  }
  std::vector<uint8_t> packed;
  snappyCompress(split.data(), split.size(), packed);
  EXPECT_LT(packed.size(), split.size() / 3) << "the high bytes of times compress";
}

TEST(ParquetFooter, ArrowSchemaIsArrowsOwnForTheseColumns) {
  using parquet::ColumnType;
  const std::vector<parquet::ColumnLayout> columns = {
      {"time", ColumnType::Double}, {"datetime", ColumnType::Timestamp}, {"event", ColumnType::Int32}};
  // As parquet-rs 59 wrote them (UTC, then the device's local time).
  EXPECT_EQ(parquet::arrowSchema(columns, true),
            "/////wwBAAAQAAAAAAAKAAwACgAJAAQACgAAABAAAAAAAQQACAAIAAAABAAIAAAABAAAAAMAAACoAAAAUAAAAAQAAADI////GAAAACAA"
            "AAAAAAECHAAAAAgADAAEAAsACAAAACAAAAAAAAABAAAAAAUAAABldmVudAAAABAAFAAQAA4ADwAEAAAACAAQAAAAHAAAAAwAAAAAAAEK"
            "JAAAAAAAAAAIAAwACgAEAAgAAAAIAAAAAAACAAMAAABVVEMACAAAAGRhdGV0aW1lAAAAABAAFgAQAA4ADwAEAAAACAAQAAAAGAAAABwA"
            "AAAAAAEDGAAAAAAABgAIAAYABgAAAAAAAgAAAAAABAAAAHRpbWUAAAAA");
  EXPECT_EQ(parquet::arrowSchema(columns, false),
            "/////wABAAAQAAAAAAAKAAwACgAJAAQACgAAABAAAAAAAQQACAAIAAAABAAIAAAABAAAAAMAAACcAAAAUAAAAAQAAADI////GAAAACAA"
            "AAAAAAECHAAAAAgADAAEAAsACAAAACAAAAAAAAABAAAAAAUAAABldmVudAAAABAAFAAQAA4ADwAEAAAACAAQAAAAFAAAAAwAAAAAAAEK"
            "GAAAAAAAAAC6////AAACAAAAAAAAAAAACAAAAGRhdGV0aW1lAAAAABAAFgAQAA4ADwAEAAAACAAQAAAAGAAAABwAAAAAAAEDGAAAAAAA"
            "BgAIAAYABgAAAAAAAgAAAAAABAAAAHRpbWUAAAAA");
}

TEST(ParquetFooter, DescriptionNumbersAreWrittenAsJavaScriptWritesThem) {
  // Node's JSON.stringify(JSON.parse(text)) of the same text.
  EXPECT_EQ(scriptJson(R"({"a":1e-04,"b":1e-07,"c":1e+21,"d":1.2345678901234568e+20,"e":-0,)"
                       R"("f":[1.5,100,-2.5e-06,12345678901234567890,5e-324,1.7976931348623157e+308,0.1,-1e-06,1e+20],)"
                       R"("g":"x\"1e5\\","h":-123.456e2,"i":true,"j":null})"),
            R"({"a":0.0001,"b":1e-7,"c":1e+21,"d":123456789012345680000,"e":0,)"
            R"("f":[1.5,100,-0.0000025,12345678901234567000,5e-324,1.7976931348623157e+308,0.1,-0.000001,)"
            R"(100000000000000000000],"g":"x\"1e5\\","h":-12345.6,"i":true,"j":null})");
}

}  // namespace
