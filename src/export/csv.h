// CSV export of one recording on its clock's time axis.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <span>

#include "export/rows.h"
#include "io/output_file.h"
#include "io/paths.h"
#include "model/recording.h"
#include "reader/stream_reader.h"

namespace kinovar {

// Where the samples stand in the table: which streams have columns, the
// divisor that puts sample k of a group on row k * divisor, and the number
// of rows. Events have no divisor: each lands on the first free row whose
// time has reached its own.
struct TableColumn {
  uint32_t key = 0;
  const SampleStream* stream = nullptr;  // null: no columns
  uint64_t divisor = 1;
};
struct TableLayout {
  TableColumn gyro, accel, baro, event, quaternion;
  uint64_t rows = 0;
};
TableLayout tableLayout(const DeviceSettings& settings, const StreamMap& streams);
// The time of the table's first sample, which a recording's time counts from.
double firstInstant(const TableLayout& table);

// The classic export's first line, by which its readers know it.
inline constexpr char kCsvBanner[] = "Quandrel - Kinovar data export";

// The table's columns after its time, in order: their names in the plain CSV
// and Parquet, and the stream and channel each comes from (its unit: unitOf).
struct ColumnName {
  const char* name;
  uint32_t key;
  uint32_t channel;
};
std::span<const ColumnName> tableColumns();

// Classic: the export's header block, a row per clock tick and a comma
// after every cell. Plain: one row of column names (time, gyro_x, ...)
// naming exactly the columns the rows have, no comma at the end of a row,
// which every analysis tool reads without arguments, and a row per instant
// that a sample was taken at (export/rows.h), its time counted from the
// origin; a quaternion without an estimate is left empty.
enum class CsvStyle { Classic, Plain };

// The plain table's time counts from the first sample of the recording.
inline constexpr double kFromFirstSample = std::numeric_limits<double>::quiet_NaN();

// What the plain table's time counts from (seconds on the streams' clock),
// and, when `datetime` is set, the date and time of the first of them: a
// datetime column follows time (ISO 8601 to the microsecond), `epoch`
// seconds since 1970-01-01 00:00:00 at time 0, in UTC (written with a Z)
// or in the device's local time (no offset).
// Seconds since 1970-01-01 00:00:00 of a date and time read as UTC.
double epochSeconds(const DateTimeFields& date);

struct PlainTime {
  double origin = kFromFirstSample;
  bool datetime = false;
  double epoch = 0.0;
  bool utc = false;
};

// The plain table's cells, each followed by a comma. Time: the zeros after
// the last significant decimal go (0.001 at 1000 Hz, not 0.001000000).
// Datetime: time.epoch + t to the microsecond.
char* timeCell(char* out, double seconds);
char* datetimeCell(char* out, const PlainTime& time, double t);

// For streams still being filled while their rows are written: before rows
// are formatted, awaitSamples(key, n) is called for each stream they read,
// with how many leading samples of it they read, and returns once those are
// final. Empty: every sample is final already.
using AwaitSamples = std::function<void(uint32_t key, uint64_t samples)>;

// True when the file was completely written, closed and moved into place.
// The rows go to a temporary file beside the target (see OutputFile), so a
// failure or an interruption leaves the old file, or none, under the name.
// On false, `failure` (when given) says why. Rows are formatted and written
// on up to `threads` threads (0: as many as there are cores); the bytes are
// the same for every count.
bool exportCsv(const char* utf8Path, const DeviceSettings& settings, const StreamMap& streams,
               const AwaitSamples& awaitSamples = {}, OutputFailure* failure = nullptr);
// A CSV file opened for writing beside its target (not open when it cannot
// be; its error says why).
struct CsvFile {
  OutputFile output;
  std::string path;
};
CsvFile openCsv(const char* utf8Path, bool durable = false);
// The same as above into a file already opened by openCsv (not open: false),
// a plain table's time as `time` says.
bool exportCsv(CsvFile file, const DeviceSettings& settings, const StreamMap& streams,
               const AwaitSamples& awaitSamples = {}, CsvStyle style = CsvStyle::Classic, unsigned threads = 0,
               OutputFailure* failure = nullptr, const PlainTime& time = {});
// A recording's streams as the writers read them: in order, a piece at a
// time. `shapes` gives each stream's channels and count (the samples need not
// be there); rows are formatted in chunks of chunkSamples rows (0: the
// default), which never changes a byte.
struct StreamSource {
  const DeviceSettings* settings = nullptr;
  const StreamMap* shapes = nullptr;
  std::function<std::unique_ptr<StreamCursor>(uint32_t key)> cursor;
  uint64_t chunkSamples = 0;
  std::function<void()> helperStart;  // what the second formatting thread waits for first
  std::function<void(double)> progress;  // the fraction of the rows made, after each chunk
};
// The plain table's rows (export/rows.h) read in pieces from a source: each
// piece holds the samples on its rows of the groups gyro, accel, baro,
// event and quaternion, in this order (no channels: the table has none).
struct TablePiece {
  uint64_t rows = 0;
  SampleStream windows[5];
};
// The groups of a piece (numbered as above) as its rows read them.
std::array<RowGroup, 5> rowGroups(const TablePiece& piece);
// The table's columns after its time that the groups present (numbered as
// above) give: where in tableColumns() each stands, and how the rows read it.
struct PlainColumns {
  std::vector<size_t> index;
  std::vector<RowColumn> read;
};
PlainColumns plainColumns(const std::array<bool, 5>& present);
PlainColumns plainColumns(const TableLayout& table);
// The group (numbered as above) of a stream's key.
size_t groupOf(uint32_t key);
class TableRows {
 public:
  // Pieces of at most `rows` rows (0: the default).
  TableRows(const StreamSource& source, const TableLayout& table, uint64_t rows);
  ~TableRows();
  // The time of the first sample of all, which the table's time counts from.
  double first();
  // The next rows, at most maxRows (0: the pieces' size); none at the end.
  void load(TablePiece& piece, uint64_t maxRows = 0);
  // The fraction of the samples taken so far.
  double fraction() const;

 private:
  struct Queues;
  uint64_t rows_;
  std::unique_ptr<Queues> queues_;
  uint64_t samples_ = 0, taken_ = 0;
};

bool exportCsv(CsvFile file, const StreamSource& source, CsvStyle style = CsvStyle::Classic, unsigned threads = 0,
               OutputFailure* failure = nullptr, const PlainTime& time = {});
bool writeCsv(CsvFile& file, const StreamSource& source, CsvStyle style = CsvStyle::Classic, unsigned threads = 0,
              OutputFailure* failure = nullptr, const PlainTime& time = {});
// exportCsv without the last step: the file is complete and closed but not
// yet in place, for files that take their names together (commitTogether).
bool writeCsv(CsvFile& file, const DeviceSettings& settings, const StreamMap& streams,
              const AwaitSamples& awaitSamples = {}, CsvStyle style = CsvStyle::Classic, unsigned threads = 0,
              OutputFailure* failure = nullptr, const PlainTime& time = {});

}  // namespace kinovar
