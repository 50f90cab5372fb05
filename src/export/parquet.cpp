#include "export/parquet.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "export/snappy.h"
#include "export/thrift.h"

namespace kinovar::parquet {
namespace {

using Thrift = thrift::Writer;

// The format's numbers.
enum Physical { kInt32 = 1, kInt64 = 2, kDouble = 5 };
enum Encoding { kPlain = 0, kRle = 3, kRleDictionary = 8, kByteStreamSplit = 9 };
enum PageType { kDataPage = 0, kDictionaryPage = 2 };
enum Codec { kUncompressed = 0, kSnappy = 1 };
constexpr int kOptional = 1;
constexpr int kTimestampMicros = 10;
constexpr int kAscending = 1, kDescending = 2, kUnordered = 0;
constexpr char kMagic[] = "PAR1";

// Rows per data page of a dense sensor column: a few per group, so that a
// reader skipping by the page index skips in steps of a few seconds.
constexpr size_t kDictionaryPageRows = size_t{1} << 14;
// Rows per data page of the other columns, as Arrow's writers page them:
// 20000, in steps of 1024 where rows are empty.
constexpr size_t kPageRows = 20000, kPageRowsWithGaps = 20480;

Physical physical(ColumnType type) {
  return type == ColumnType::Double ? kDouble : type == ColumnType::Int32 ? kInt32 : kInt64;
}

// Times and quaternions: (nearly) as many values as rows.
bool splitColumn(const std::string& name) { return name == "time" || name.rfind("quat_", 0) == 0; }

void put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(v >> (8 * b)));
}

std::string_view bytesOf(const uint64_t& bits) { return {reinterpret_cast<const char*>(&bits), 8}; }

// Values [0, n) (each below 2^width) in the format's hybrid of runs and bit
// packing: a run of 8 or more equal values as one, the rest packed 8 to a
// group (the last padded), at most 63 groups a header.
void hybrid(std::vector<uint8_t>& out, const uint32_t* values, size_t n, int width) {
  const int bytes = (width + 7) / 8;
  size_t packed = 0;
  auto pack = [&](size_t end) {
    Thrift w(out);
    while (packed < end) {
      const size_t groups = std::min<size_t>(63, (end - packed + 7) / 8);
      w.varint((groups << 1) | 1);
      uint64_t acc = 0;
      int bits = 0;
      for (size_t k = packed; k < packed + groups * 8; ++k) {
        acc |= static_cast<uint64_t>(k < end ? values[k] : 0) << bits;
        bits += width;
        while (bits >= 8) {
          out.push_back(static_cast<uint8_t>(acc));
          acc >>= 8;
          bits -= 8;
        }
      }
      packed = std::min(end, packed + groups * 8);
    }
  };
  for (size_t i = 0; i < n;) {
    size_t j = i + 1;
    while (j < n && values[j] == values[i]) ++j;
    if (j - i >= 8) {
      pack(i);
      Thrift(out).varint((j - i) << 1);
      for (int b = 0; b < bytes; ++b) out.push_back(static_cast<uint8_t>(values[i] >> (8 * b)));
      i = packed = j;
    } else {
      i = std::min(n, i + 8);  // runs start a whole group of 8 past the packed values
    }
  }
  pack(n);
}

int widthOf(uint32_t largest) { return largest ? 32 - std::countl_zero(largest) : 0; }

// A page's definition levels (1: a value, 0: empty) behind their length.
void definitions(std::vector<uint8_t>& out, const uint32_t* levels, size_t n) {
  const size_t at = out.size();
  put32(out, 0);
  hybrid(out, levels, n, 1);
  const uint32_t length = static_cast<uint32_t>(out.size() - at - 4);
  std::memcpy(out.data() + at, &length, 4);
}

// A double as statistics keep it; a zero minimum is -0 and a zero maximum
// +0, so that neither excludes the other zero.
std::string statistic(double v, bool minimum) {
  if (v == 0) v = minimum ? -0.0 : 0.0;
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  return std::string(bytesOf(bits));
}

struct Page {
  uint64_t offset;  // from the chunk's start
  uint32_t length;  // header and body
  uint64_t firstRow;
  double min, max;  // of the time column's pages
  uint64_t values;
};

// What the footer says of a column chunk, kept until the end.
struct Chunk {
  uint8_t kind;  // 0 split, 1 dictionary
  uint8_t codec;
  uint64_t start, dataPage, uncompressed, compressed, rows, values;
  uint32_t pages;
  bool stats;
  double min, max;
  uint64_t columnIndex, columnIndexLength, offsetIndex, offsetIndexLength;  // from their regions' starts
};

struct Group {
  uint64_t rows, start, uncompressed, compressed;
  std::vector<Chunk> chunks;
};

// A value's entry in a dictionary, by open addressing over 64-bit keys.
class Dictionary {
 public:
  uint32_t entry(uint64_t key) {
    if (2 * (keys_.size() + 1) > slots_.size()) grow();
    size_t s = slot(key);
    while (slots_[s] && keys_[slots_[s] - 1] != key) s = (s + 1) & (slots_.size() - 1);
    if (!slots_[s]) {
      keys_.push_back(key);
      slots_[s] = static_cast<uint32_t>(keys_.size());
    }
    return slots_[s] - 1;
  }
  const std::vector<uint64_t>& keys() const { return keys_; }
  void clear() {
    keys_.clear();
    std::fill(slots_.begin(), slots_.end(), 0);
  }

 private:
  size_t slot(uint64_t key) const {
    key ^= key >> 29;
    return static_cast<size_t>((key * 0x9e3779b97f4a7c15ull) >> shift_);
  }
  void grow() {
    slots_.assign(slots_.empty() ? 1024 : slots_.size() * 2, 0);
    shift_ = 64 - std::countr_zero(slots_.size());
    for (size_t e = 0; e < keys_.size(); ++e) {
      size_t s = slot(keys_[e]);
      while (slots_[s]) s = (s + 1) & (slots_.size() - 1);
      slots_[s] = static_cast<uint32_t>(e + 1);
    }
  }
  std::vector<uint32_t> slots_;
  std::vector<uint64_t> keys_;
  int shift_ = 54;
};

}  // namespace

struct Writer::State {
  std::vector<ColumnLayout> columns;
  bool utc = false;
  Sink sink;
  size_t groupRows = kGroupRows;
  // The group being filled: values as bits (a double's, or the integer), and whether each row has one.
  std::vector<std::vector<uint64_t>> values;
  std::vector<std::vector<uint32_t>> has;
  size_t filled = 0;
  uint64_t position = 0, rows = 0;
  std::vector<Group> groups;
  std::vector<uint8_t> columnIndexes, offsetIndexes;
  // Reused from chunk to chunk.
  Dictionary dictionary;
  std::vector<uint32_t> indexes;
  std::vector<uint8_t> body, compressed, chunk, header;
  uint64_t chunkUncompressed = 0;

  void out(const uint8_t* data, size_t n) {
    sink(data, n);
    position += n;
  }

  void fill(const std::vector<ColumnPiece>& pieces, size_t from, size_t n) {
    for (size_t c = 0; c < columns.size(); ++c) {
      const ColumnPiece& piece = pieces[c];
      uint64_t* into = values[c].data() + filled;
      uint32_t* flags = has[c].data() + filled;
      if (!piece.values) {
        std::fill(flags, flags + n, 0u);
        continue;
      }
      if (columns[c].type == ColumnType::Int32) {
        const int32_t* v = static_cast<const int32_t*>(piece.values) + from;
        for (size_t i = 0; i < n; ++i) into[i] = static_cast<uint32_t>(v[i]);
      } else {
        std::memcpy(into, static_cast<const uint64_t*>(piece.values) + from, n * 8);
      }
      for (size_t i = 0; i < n; ++i) {
        const size_t r = from + i;
        flags[i] = !piece.valid || ((piece.valid[r >> 3] >> (r & 7)) & 1);
      }
    }
    filled += n;
  }

  // A page: its header and body (compressed when the chunk is) onto the chunk.
  void page(PageType type, size_t count, Encoding encoding, bool compress) {
    const uint8_t* data = body.data();
    size_t size = body.size();
    if (compress) {
      compressed.clear();
      snappyCompress(body.data(), body.size(), compressed);
      data = compressed.data();
      size = compressed.size();
    }
    header.clear();
    Thrift w(header);
    w.begin();
    w.i32(1, type);
    w.i32(2, static_cast<int64_t>(body.size()));
    w.i32(3, static_cast<int64_t>(size));
    if (type == kDictionaryPage) {
      w.begin(7);
      w.i32(1, static_cast<int64_t>(count));
      w.i32(2, kPlain);
      w.boolean(3, false);
    } else {
      w.begin(5);
      w.i32(1, static_cast<int64_t>(count));
      w.i32(2, encoding);
      w.i32(3, kRle);
      w.i32(4, kRle);
    }
    w.end();
    w.end();
    chunk.insert(chunk.end(), header.begin(), header.end());
    chunk.insert(chunk.end(), data, data + size);
    chunkUncompressed += header.size() + body.size();
  }

  void encodeChunk(size_t c, size_t n, Group& group);
  void dictionaryPage(size_t c, size_t n, bool compress);
  void splitValues(size_t c, size_t first, size_t rows, bool stats, Page& page);
  void schema(Thrift& w) const;
  void columnChunk(Thrift& w, const Chunk& chunk, const ColumnLayout& column, uint64_t columnBase, uint64_t offsetBase) const;
  void flush();
  void writeIndexes(Chunk& chunk, const std::vector<Page>& pages, uint64_t start);
  void footer(const std::vector<std::pair<std::string, std::string>>& metadata);
};

// Every entry first, so that the dictionary page leads the chunk; the rows' entries kept in `indexes`.
void Writer::State::dictionaryPage(size_t c, size_t n, bool compress) {
  const uint64_t* v = values[c].data();
  const uint32_t* flag = has[c].data();
  indexes.clear();
  for (size_t i = 0; i < n; ++i)
    if (flag[i]) indexes.push_back(dictionary.entry(v[i]));
  body.clear();
  for (uint64_t key : dictionary.keys()) {
    if (columns[c].type == ColumnType::Int32) {
      put32(body, static_cast<uint32_t>(key));
    } else {
      const std::string_view b = bytesOf(key);
      body.insert(body.end(), b.begin(), b.end());
    }
  }
  page(kDictionaryPage, dictionary.keys().size(), kPlain, compress);
  dictionary.clear();
}

// Byte k of every value, then byte k + 1: the high bytes, which change
// slowly, compress well. The page's minimum and maximum when asked.
void Writer::State::splitValues(size_t c, size_t first, size_t rows, bool stats, Page& p) {
  const uint64_t* v = values[c].data();
  const uint32_t* flag = has[c].data();
  const size_t at = body.size(), count = p.values;
  body.resize(at + 8 * count);
  size_t k = 0;
  for (size_t i = first; i < first + rows; ++i) {
    if (!flag[i]) continue;
    for (size_t b = 0; b < 8; ++b) body[at + b * count + k] = static_cast<uint8_t>(v[i] >> (8 * b));
    if (stats) {
      double d;
      std::memcpy(&d, &v[i], 8);
      if (!std::isnan(d)) p.min = std::min(p.min, d), p.max = std::max(p.max, d);
    }
    ++k;
  }
}

void Writer::State::encodeChunk(size_t c, size_t n, Group& group) {
  const ColumnLayout& layout = columns[c];
  const uint32_t* flag = has[c].data();
  size_t have = 0;
  for (size_t i = 0; i < n; ++i) have += flag[i];
  const bool split = splitColumn(layout.name);
  // A dense sensor column's dictionary and indexes are left as they are:
  // snappy cannot shorten bit-packed indexes.
  const bool plainPages = !split && layout.type == ColumnType::Double && have > 0 && 2 * have >= n;
  const size_t pageRows = plainPages ? kDictionaryPageRows : have == n ? kPageRows : kPageRowsWithGaps;
  const bool compress = !plainPages;
  const bool stats = layout.name == "time";
  Chunk meta{};
  meta.kind = split ? 0 : 1;
  meta.codec = compress ? kSnappy : kUncompressed;
  meta.start = position;
  meta.rows = n;
  meta.stats = stats && have > 0;
  meta.min = INFINITY, meta.max = -INFINITY;
  chunk.clear();
  chunkUncompressed = 0;
  if (!split) dictionaryPage(c, n, compress);
  std::vector<Page> pages;
  for (size_t first = 0, taken = 0; first < n; first += pageRows) {
    const size_t rows = std::min(pageRows, n - first);
    body.clear();
    definitions(body, flag + first, rows);
    size_t count = 0;
    for (size_t i = first; i < first + rows; ++i) count += flag[i];
    Page p{chunk.size(), 0, first, INFINITY, -INFINITY, count};
    if (split) {
      splitValues(c, first, rows, stats, p);
    } else {
      // As wide as the page's largest index needs: a group's first pages know fewer entries.
      uint32_t largest = 0;
      for (size_t i = taken; i < taken + count; ++i) largest |= indexes[i];
      const int width = widthOf(largest);
      body.push_back(static_cast<uint8_t>(width));
      hybrid(body, indexes.data() + taken, count, width);
    }
    taken += count;
    page(kDataPage, rows, split ? kByteStreamSplit : kRleDictionary, compress);
    p.length = static_cast<uint32_t>(chunk.size() - p.offset);
    meta.min = std::min(meta.min, p.min), meta.max = std::max(meta.max, p.max);
    pages.push_back(p);
  }
  meta.values = have;
  meta.pages = static_cast<uint32_t>(pages.size());
  meta.dataPage = position + (pages.empty() ? 0 : pages[0].offset);
  meta.uncompressed = chunkUncompressed;
  meta.compressed = chunk.size();
  if (meta.stats && !(meta.min <= meta.max)) meta.stats = false;
  out(chunk.data(), chunk.size());
  writeIndexes(meta, pages, meta.start);
  group.uncompressed += meta.uncompressed;
  group.compressed += meta.compressed;
  group.chunks.push_back(meta);
}

// A chunk's offset index, and the time column's column index, kept for the end of the file.
void Writer::State::writeIndexes(Chunk& meta, const std::vector<Page>& pages, uint64_t start) {
  meta.columnIndex = meta.columnIndexLength = 0;
  if (meta.stats) {
    const size_t at = columnIndexes.size();
    Thrift w(columnIndexes);
    w.begin();
    w.list(1, thrift::kFalse, pages.size());  // booleans, each a byte
    for (const Page& p : pages) columnIndexes.push_back(p.values ? thrift::kFalse : thrift::kTrue);
    bool ascending = true, descending = true;
    for (size_t i = 1; i < pages.size(); ++i) {
      ascending = ascending && pages[i].min >= pages[i - 1].min && pages[i].max >= pages[i - 1].max;
      descending = descending && pages[i].min <= pages[i - 1].min && pages[i].max <= pages[i - 1].max;
    }
    w.list(2, thrift::kBinary, pages.size());
    for (const Page& p : pages) w.bytes(p.values ? statistic(p.min, true) : std::string());
    w.list(3, thrift::kBinary, pages.size());
    for (const Page& p : pages) w.bytes(p.values ? statistic(p.max, false) : std::string());
    w.i32(4, ascending ? kAscending : descending ? kDescending : kUnordered);
    auto empty = [&](size_t i) {
      const uint64_t rows = (i + 1 < pages.size() ? pages[i + 1].firstRow : meta.rows) - pages[i].firstRow;
      return static_cast<int64_t>(rows - pages[i].values);
    };
    w.list(5, thrift::kI64, pages.size());
    for (size_t i = 0; i < pages.size(); ++i) w.zigzag(empty(i));
    w.list(7, thrift::kI64, 2 * pages.size());
    for (size_t i = 0; i < pages.size(); ++i) w.zigzag(empty(i)), w.zigzag(static_cast<int64_t>(pages[i].values));
    w.end();
    meta.columnIndex = at;
    meta.columnIndexLength = columnIndexes.size() - at;
  }
  const size_t at = offsetIndexes.size();
  Thrift w(offsetIndexes);
  w.begin();
  w.list(1, thrift::kStruct, pages.size());
  for (const Page& p : pages) {
    w.begin();
    w.i64(1, static_cast<int64_t>(start + p.offset));
    w.i32(2, p.length);
    w.i64(3, static_cast<int64_t>(p.firstRow));
    w.end();
  }
  w.end();
  meta.offsetIndex = at;
  meta.offsetIndexLength = offsetIndexes.size() - at;
}

void Writer::State::flush() {
  Group group{filled, position, 0, 0, {}};
  for (size_t c = 0; c < columns.size(); ++c) encodeChunk(c, filled, group);
  rows += filled;
  groups.push_back(std::move(group));
  filled = 0;
}

Writer::Writer(std::vector<ColumnLayout> columns, bool utc, Sink sink, size_t groupRows)
    : state_(new State) {
  state_->columns = std::move(columns);
  state_->utc = utc;
  state_->sink = std::move(sink);
  state_->groupRows = std::max<size_t>(groupRows, 1);
  state_->values.assign(state_->columns.size(), std::vector<uint64_t>(state_->groupRows));
  state_->has.assign(state_->columns.size(), std::vector<uint32_t>(state_->groupRows));
  state_->out(reinterpret_cast<const uint8_t*>(kMagic), 4);
}

Writer::~Writer() { delete state_; }

void Writer::append(const std::vector<ColumnPiece>& columns, size_t from, size_t to) {
  State& s = *state_;
  for (size_t at = from; at < to;) {
    const size_t n = std::min(to - at, s.groupRows - s.filled);
    s.fill(columns, at, n);
    if (s.filled == s.groupRows) s.flush();
    at += n;
  }
}

void Writer::finish(const std::vector<std::pair<std::string, std::string>>& metadata) {
  State& s = *state_;
  if (s.filled > 0 || s.groups.empty()) s.flush();
  s.footer(metadata);
}

// The schema: a root, then every column, each optional.
void Writer::State::schema(Thrift& w) const {
  w.list(2, thrift::kStruct, columns.size() + 1);
  w.begin();
  w.binary(4, "arrow_schema");
  w.i32(5, static_cast<int64_t>(columns.size()));
  w.end();
  for (const ColumnLayout& column : columns) {
    w.begin();
    w.i32(1, physical(column.type));
    w.i32(3, kOptional);
    w.binary(4, column.name);
    if (column.type == ColumnType::Timestamp) {
      w.i32(6, kTimestampMicros);
      w.begin(10);
      w.begin(8);
      w.boolean(1, utc);
      w.begin(2);
      w.begin(2);
      w.end();
      w.end();
      w.end();
      w.end();
    }
    w.end();
  }
}

// A column chunk's entry: where its pages and indexes are, what encodes it.
void Writer::State::columnChunk(Thrift& w, const Chunk& k, const ColumnLayout& column, uint64_t columnBase,
                                uint64_t offsetBase) const {
  w.begin();
  w.i64(2, 0);
  w.begin(3);
  w.i32(1, physical(column.type));
  if (k.kind == 0) {
    w.list(2, thrift::kI32, 2);
    w.zigzag(kRle), w.zigzag(kByteStreamSplit);
  } else {
    w.list(2, thrift::kI32, 3);
    w.zigzag(kPlain), w.zigzag(kRle), w.zigzag(kRleDictionary);
  }
  w.list(3, thrift::kBinary, 1);
  w.bytes(column.name);
  w.i32(4, k.codec);
  w.i64(5, static_cast<int64_t>(k.rows));
  w.i64(6, static_cast<int64_t>(k.uncompressed));
  w.i64(7, static_cast<int64_t>(k.compressed));
  w.i64(9, static_cast<int64_t>(k.dataPage));
  if (k.kind == 1) w.i64(11, static_cast<int64_t>(k.start));
  if (k.stats) {
    w.begin(12);
    w.binary(1, statistic(k.max, false));
    w.binary(2, statistic(k.min, true));
    w.i64(3, static_cast<int64_t>(k.rows - k.values));
    w.binary(5, statistic(k.max, false));
    w.binary(6, statistic(k.min, true));
    w.boolean(7, true);
    w.boolean(8, true);
    w.end();
  }
  w.list(13, thrift::kStruct, k.kind == 1 ? 2 : 1);
  w.begin();
  w.i32(1, kDataPage), w.i32(2, k.kind == 1 ? kRleDictionary : kByteStreamSplit), w.i32(3, k.pages);
  w.end();
  if (k.kind == 1) {
    w.begin();
    w.i32(1, kDictionaryPage), w.i32(2, kPlain), w.i32(3, 1);
    w.end();
  }
  if (k.stats) {
    w.begin(16);
    w.list(3, thrift::kI64, 2);
    w.zigzag(static_cast<int64_t>(k.rows - k.values)), w.zigzag(static_cast<int64_t>(k.values));
    w.end();
  }
  w.end();
  w.i64(4, static_cast<int64_t>(offsetBase + k.offsetIndex));
  w.i32(5, static_cast<int64_t>(k.offsetIndexLength));
  if (k.stats) {
    w.i64(6, static_cast<int64_t>(columnBase + k.columnIndex));
    w.i32(7, static_cast<int64_t>(k.columnIndexLength));
  }
  w.end();
}

void Writer::State::footer(const std::vector<std::pair<std::string, std::string>>& metadata) {
  // As one write of a whole table lays them out: every column index, then every offset index.
  const uint64_t columnBase = position;
  out(columnIndexes.data(), columnIndexes.size());
  const uint64_t offsetBase = position;
  out(offsetIndexes.data(), offsetIndexes.size());
  std::vector<uint8_t> bytes;
  Thrift w(bytes);
  w.begin();
  w.i32(1, 1);
  schema(w);
  w.i64(3, static_cast<int64_t>(rows));
  w.list(4, thrift::kStruct, groups.size());
  for (size_t g = 0; g < groups.size(); ++g) {
    const Group& group = groups[g];
    w.begin();
    w.list(1, thrift::kStruct, group.chunks.size());
    for (size_t c = 0; c < group.chunks.size(); ++c) columnChunk(w, group.chunks[c], columns[c], columnBase, offsetBase);
    w.i64(2, static_cast<int64_t>(group.uncompressed));
    w.i64(3, static_cast<int64_t>(group.rows));
    w.i64(5, static_cast<int64_t>(group.start));
    w.i64(6, static_cast<int64_t>(group.compressed));
    w.i16(7, static_cast<int64_t>(g));
    w.end();
  }
  // Ours first, in their order, then the Arrow schema.
  w.list(5, thrift::kStruct, metadata.size() + 1);
  for (const auto& [key, value] : metadata) {
    w.begin();
    w.binary(1, key);
    w.binary(2, value);
    w.end();
  }
  w.begin();
  w.binary(1, "ARROW:schema");
  w.binary(2, arrowSchema(columns, utc));
  w.end();
  w.binary(6, "kinovar");
  w.list(7, thrift::kStruct, columns.size());
  for (size_t c = 0; c < columns.size(); ++c) {
    w.begin();
    w.begin(1);
    w.end();
    w.end();
  }
  w.end();
  put32(bytes, static_cast<uint32_t>(bytes.size()));
  bytes.insert(bytes.end(), kMagic, kMagic + 4);
  out(bytes.data(), bytes.size());
}

}  // namespace kinovar::parquet
