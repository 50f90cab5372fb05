// A table (a row per instant, each column a value or nothing) as a Parquet
// file, written in row groups as its rows come and finished with a footer.
//
// What each column is encoded as was chosen by measurement (an hour at
// 1000 Hz): times and quaternions have (nearly) a value per row, so their
// bytes go split by significance and compressed (the time column to a
// fiftieth); a sensor's samples are a few distinct counts, so they go as a
// dictionary and pages of indexes, left uncompressed where they are dense
// (snappy kept 99.97% of bit-packed indexes). Statistics and page indexes
// are kept for the time column alone: its minimum and maximum are what a
// reader of a range skips groups and pages by; the others' would cost time
// and are read by no one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kinovar::parquet {

enum class ColumnType { Double, Int32, Timestamp };  // a timestamp in microseconds since 1970

struct ColumnLayout {
  std::string name;
  ColumnType type = ColumnType::Double;
};

// A column's rows in a piece: values (double, int32_t or int64_t by its
// type; null: no row has one) and a bitmap of the rows that have one,
// lowest bit first (null: all have).
struct ColumnPiece {
  const void* values = nullptr;
  const uint8_t* valid = nullptr;
};

// The footer's key-value metadata by which a table of ours is known (its
// format), and what it carries: the recording's description, the columns'
// units, the report of the set it belongs to.
inline constexpr char kMetaFormat[] = "kinovar.format";
inline constexpr char kMetaRecording[] = "kinovar.recording";
inline constexpr char kMetaUnits[] = "kinovar.units";
inline constexpr char kMetaSet[] = "kinovar.set";
inline constexpr char kTableFormat[] = "kinovar table 1";

// Rows per row group: 64 Ki keeps a group's encoding within a few tens of
// MB, and reads by range fine-grained.
inline constexpr size_t kGroupRows = size_t{1} << 16;

class Writer {
 public:
  using Sink = std::function<void(const uint8_t*, size_t)>;
  // `utc`: the timestamps are UTC instants, else the device's local time.
  Writer(std::vector<ColumnLayout> columns, bool utc, Sink sink, size_t groupRows = kGroupRows);
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Rows [from, to) of each column, in the writer's order of columns.
  void append(const std::vector<ColumnPiece>& columns, size_t from, size_t to);
  // The rows still buffered, the page indexes and the footer with this
  // key-value metadata first (known only once the rows are).
  void finish(const std::vector<std::pair<std::string, std::string>>& metadata);

 private:
  struct State;
  State* state_;
};

// The Arrow schema of the columns as Arrow's Parquet writers keep it in the
// footer (ARROW:schema): an IPC schema message, base64, so that Arrow
// readers give the columns their types back.
std::string arrowSchema(const std::vector<ColumnLayout>& columns, bool utc);

}  // namespace kinovar::parquet
