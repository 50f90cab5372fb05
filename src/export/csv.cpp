#include "export/csv.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "export/fixed.h"
#include "export/json.h"
#include "export/rows.h"
#include "io/ordered_writer.h"
#include "io/paths.h"
#include "orientation/orientation.h"
#include "reader/calendar.h"

namespace kinovar {

namespace {

using Column = TableColumn;

const SampleStream* takenStream(const StreamMap& streams, uint32_t key, bool present) {
  if (!present) return nullptr;
  const SampleStream* stream = findStream(streams, key);
  return stream && stream->count > 0 ? stream : nullptr;
}

// Rows per sample of a group. A rate of 0, or one above the clock rate,
// would give no usable divisor: every sample then gets a row of its own.
uint64_t divisorOf(int32_t clock, int32_t rate) {
  if (rate == 0) return 1;
  const int64_t divisor = static_cast<int64_t>(clock) / rate;
  return divisor < 1 ? 1 : static_cast<uint64_t>(divisor);
}

// Rows are formatted in chunks (io/ordered_writer.h), on two threads where
// there are two cores; each chunk starts from the read positions and running
// time that the rows before it leave, so the bytes do not depend on the
// thread count.
struct RowLayout {
  Column gyro, accel, baro, event, quaternion;
  const AwaitSamples* awaitSamples = nullptr;  // null or empty: all final
};

// Blocks until the samples that rows before `end` read are final.
void awaitRows(const RowLayout& layout, uint64_t end) {
  if (!layout.awaitSamples || !*layout.awaitSamples || end == 0) return;
  for (const Column* column : {&layout.gyro, &layout.accel, &layout.baro, &layout.quaternion})
    if (column->stream)
      (*layout.awaitSamples)(column->key, std::min(column->stream->count, (end - 1) / column->divisor + 1));
}

struct ChunkStart {
  uint64_t row;
  double t;
  uint64_t eventNext;
};

constexpr uint64_t kChunkRows = 1 << 15;
constexpr size_t kRowBound = 16 * kMaxFixedLength;  // no row is longer

template <int P>
char* cell(char* out, double value) {
  out = writeFixed<P>(out, value);
  *out++ = ',';
  return out;
}

// Where a group stands in a chunk: samples of a divided group land on rows
// k * divisor, so the next such row is kept instead of dividing every row.
struct Cursor {
  const SampleStream* stream = nullptr;
  uint64_t divisor = 1;
  uint64_t k = 0;     // sample of the next row that has one
  uint64_t next = 0;  // that row

  Cursor(const Column& column, uint64_t row) : stream(column.stream), divisor(column.divisor) {
    if (!stream) return;
    k = (row + divisor - 1) / divisor;
    next = k * divisor;
  }
  // The sample index of this row, or count when the row has none.
  uint64_t take(uint64_t row) {
    if (row != next) return stream->count;
    next += divisor;
    return std::min(k++, stream->count);
  }
};

// Channel 0 with P0 decimals, the others with P1.
template <int P0, int P1 = P0>
char* group(char* out, Cursor& cursor, uint64_t row, uint64_t channels) {
  const SampleStream& stream = *cursor.stream;
  const uint64_t k = cursor.take(row);
  if (k < stream.count) {
    out = cell<P0>(out, stream.values[k]);
    for (uint64_t c = 1; c < channels; ++c) out = cell<P1>(out, stream.values[c * stream.count + k]);
  } else {
    for (uint64_t c = 0; c < channels; ++c) *out++ = ',';
  }
  return out;
}

void formatChunk(ChunkBuffer& buffer, const RowLayout& layout, const ChunkStart& start, uint64_t end, double period) {
  buffer.clear();
  awaitRows(layout, end);
  double t = start.t;
  uint64_t eventNext = start.eventNext;
  Cursor gyro(layout.gyro, start.row), accel(layout.accel, start.row), baro(layout.baro, start.row),
      quaternion(layout.quaternion, start.row);
  for (uint64_t row = start.row; row < end; ++row) {
    char* out = buffer.room();
    out = cell<5>(out, t);
    if (gyro.stream) out = group<5>(out, gyro, row, 3);
    if (accel.stream) out = group<5>(out, accel, row, 3);
    if (baro.stream) out = group<3, 1>(out, baro, row, 2);
    if (const SampleStream* events = layout.event.stream) {
      // At most one event a row; a further one that is due waits for the next.
      if (eventNext < events->count && t >= events->times[eventNext]) {
        out = cell<3>(out, events->values[eventNext]);
        ++eventNext;
      } else {
        *out++ = ',';
      }
    }
    if (quaternion.stream) out = group<5>(out, quaternion, row, 4);
    *out++ = '\n';
    buffer.commit(out);
    t += period;
  }
}

// The plain table: a row per instant that any stream has a sample at, its
// time counted from `origin`. Chunks start from the merge's positions.
struct PlainStart {
  uint64_t row;
  std::array<uint64_t, InstantMerge::kMax> at;
};

struct PlainLayout {
  const Column* columns[5];  // gyro, accel, baro, event, quaternion: the merge's streams in this order, when present
  uint64_t channels[5];
  InstantMerge merge;
  PlainTime time;
  const AwaitSamples* awaitSamples = nullptr;
};

PlainLayout plainLayout(const TableLayout& table, const PlainTime& time, const AwaitSamples* awaitSamples) {
  PlainLayout layout{{&table.gyro, &table.accel, &table.baro, &table.event, &table.quaternion}, {3, 3, 2, 1, 4}, {},
                     time, awaitSamples};
  for (const Column* column : layout.columns)
    if (column->stream) layout.merge.add(column->stream->times.data(), column->stream->count);
  if (std::isnan(layout.time.origin)) layout.time.origin = layout.merge.first();
  return layout;
}

// The datetime cell of time t: epoch + t to the microsecond, the whole
// seconds of the epoch kept apart so that the sum loses nothing.
char* datetimeCell(char* out, const PlainTime& time, double t) {
  const double whole = std::floor(time.epoch);
  const int64_t micros = static_cast<int64_t>(whole) * 1000000 + std::llround((time.epoch - whole + t) * 1e6);
  const int64_t seconds = micros >= 0 ? micros / 1000000 : (micros - 999999) / 1000000;
  const int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const int64_t inDay = seconds - days * 86400;
  const auto [year, month, day] = civilFromDays(days);
  out = detail::writePadded(out, static_cast<uint64_t>(year), 4);
  *out++ = '-';
  out = detail::writePadded(out, static_cast<uint64_t>(month), 2);
  *out++ = '-';
  out = detail::writePadded(out, static_cast<uint64_t>(day), 2);
  *out++ = 'T';
  out = detail::writePadded(out, static_cast<uint64_t>(inDay / 3600), 2);
  *out++ = ':';
  out = detail::writePadded(out, static_cast<uint64_t>(inDay / 60 % 60), 2);
  *out++ = ':';
  out = detail::writePadded(out, static_cast<uint64_t>(inDay % 60), 2);
  *out++ = '.';
  out = detail::writePadded(out, static_cast<uint64_t>(micros - seconds * 1000000), 6);
  if (time.utc) *out++ = 'Z';
  *out++ = ',';
  return out;
}

}  // namespace

double epochSeconds(const DateTimeFields& date) {
  const int64_t y = date.year - (date.month <= 2);
  const int64_t m = date.month;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yearOfEra = y - era * 400;
  const int64_t dayOfYear = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + date.day - 1;
  const int64_t days = era * 146097 + yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear - 719468;
  return static_cast<double>(days * 86400 + date.hour * 3600 + date.minute * 60 + date.second);
}

double firstInstant(const TableLayout& table) { return plainLayout(table, {}, nullptr).merge.first(); }

namespace {

// Nine decimals hold any tick of any clock to half a nanosecond; the zeros
// that follow the last significant one go (0.001 at 1000 Hz, not 0.001000000).
char* timeCell(char* out, double seconds) {
  char* end = writeFixed<9>(out, seconds);
  while (end[-1] == '0' && end[-2] != '.') --end;
  *end++ = ',';
  return end;
}

void awaitPlain(const PlainLayout& layout, const std::array<uint64_t, InstantMerge::kMax>& end) {
  if (!layout.awaitSamples || !*layout.awaitSamples) return;
  size_t s = 0;
  for (const Column* column : layout.columns) {
    if (!column->stream) continue;
    if (end[s] > 0) (*layout.awaitSamples)(column->key, end[s]);
    ++s;
  }
}

void formatPlainChunk(ChunkBuffer& buffer, const PlainLayout& layout, const PlainStart& start, const PlainStart& end) {
  buffer.clear();
  awaitPlain(layout, end.at);
  InstantMerge merge = layout.merge;
  merge.seek(start.at);
  for (uint64_t row = start.row; row < end.row; ++row) {
    const double t = merge.next();
    char* out = timeCell(buffer.room(), t - layout.time.origin);
    if (layout.time.datetime) out = datetimeCell(out, layout.time, t - layout.time.origin);
    size_t s = 0;
    for (size_t g = 0; g < 5; ++g) {
      const SampleStream* stream = layout.columns[g]->stream;
      if (!stream) continue;
      const uint64_t channels = layout.channels[g];
      uint64_t k = 0;
      const bool sampled = merge.take(s++, t, k);
      const double* v = stream->values.data();
      const uint64_t n = stream->count;
      if (!sampled || (g == 4 && noEstimate(v[k], v[n + k], v[2 * n + k], v[3 * n + k]))) {
        for (uint64_t c = 0; c < channels; ++c) *out++ = ',';
      } else if (g == 2) {
        out = cell<3>(out, v[k]);
        out = cell<1>(out, v[n + k]);
      } else if (g == 3) {
        out = cell<3>(out, v[k]);
      } else {
        for (uint64_t c = 0; c < channels; ++c) out = cell<5>(out, v[c * n + k]);
      }
    }
    out[-1] = '\n';  // in place of the last cell's comma
    buffer.commit(out);
  }
}

// Where every chunk starts, and (last) where the table ends, in one cheap
// sequential pass over the instants.
std::vector<PlainStart> plainStarts(const PlainLayout& layout) {
  std::vector<PlainStart> starts;
  InstantMerge merge = layout.merge;
  uint64_t rows = 0;
  for (double t = merge.next(); !std::isinf(t); t = merge.next(), ++rows) {
    if (rows % kChunkRows == 0) starts.push_back({rows, merge.positions()});
    merge.pass(t);
  }
  starts.push_back({rows, merge.positions()});
  return starts;
}

// The running time (a sum, not a product) and the event position at the
// start of every chunk, in one cheap sequential pass.
std::vector<ChunkStart> chunkStarts(const RowLayout& layout, uint64_t rows, double period) {
  std::vector<ChunkStart> starts;
  starts.reserve(rows / kChunkRows + 1);
  double t = period;
  uint64_t eventNext = 0;
  const SampleStream* events = layout.event.stream;
  for (uint64_t row = 0; row < rows; ++row) {
    if (row % kChunkRows == 0) starts.push_back({row, t, eventNext});
    if (events && eventNext < events->count && t >= events->times[eventNext]) ++eventNext;
    t += period;
  }
  return starts;
}

}  // namespace

CsvFile openCsv(const char* utf8Path, bool durable) {
  return CsvFile{OutputFile(utf8Path, OutputFile::Mode::Text, durable), utf8Path};
}

bool exportCsv(const char* utf8Path, const DeviceSettings& settings, const StreamMap& streams,
               const AwaitSamples& awaitSamples, OutputFailure* failure) {
  return exportCsv(openCsv(utf8Path), settings, streams, awaitSamples, CsvStyle::Classic, 0, failure);
}

TableLayout tableLayout(const DeviceSettings& settings, const StreamMap& streams) {
  TableLayout table;
  Column& gyro = table.gyro;
  Column& accel = table.accel;
  Column& baro = table.baro;
  Column& event = table.event;
  Column& quaternion = table.quaternion;
  gyro.key = kGyroKey, accel.key = kAccelKey, baro.key = kBaroKey, quaternion.key = kQuaternionKey;
  gyro.stream = takenStream(streams, kGyroKey, settings.gyro.present);
  accel.stream = takenStream(streams, kAccelKey, settings.accel.present);
  baro.stream = takenStream(streams, kBaroKey, settings.baro.present);
  event.stream = takenStream(streams, kSecondEventKey, settings.secondEvent.present);
  event.key = event.stream ? kSecondEventKey : kEventKey;
  if (!event.stream) event.stream = takenStream(streams, kEventKey, settings.event.present);
  quaternion.stream = takenStream(streams, kQuaternionKey, true);
  if (gyro.stream) gyro.divisor = divisorOf(settings.frequency, settings.gyro.frequency);
  if (accel.stream) accel.divisor = divisorOf(settings.frequency, settings.accel.frequency);
  if (baro.stream) baro.divisor = divisorOf(settings.frequency, settings.baro.frequency);
  if (quaternion.stream) quaternion.divisor = divisorOf(settings.frequency, settings.gyro.frequency);

  // Enough rows for the longest stream and for the last sample of every
  // divided group, so that no sample is left without its row.
  uint64_t& rows = table.rows;
  for (const Column* column : {&gyro, &accel, &baro, &quaternion}) {
    if (!column->stream) continue;
    rows = std::max(rows, column->stream->count);
    rows = std::max(rows, (column->stream->count - 1) * column->divisor + 1);
  }
  if (event.stream) rows = std::max(rows, event.stream->count);
  return table;
}

std::span<const ColumnName> tableColumns() {
  static constexpr ColumnName columns[] = {
      {"gyro_x", "deg/s", kGyroKey, 0},     {"gyro_y", "deg/s", kGyroKey, 1},     {"gyro_z", "deg/s", kGyroKey, 2},
      {"accel_x", "g", kAccelKey, 0},       {"accel_y", "g", kAccelKey, 1},       {"accel_z", "g", kAccelKey, 2},
      {"pressure", "mBar", kBaroKey, 0},    {"temperature", "degree C", kBaroKey, 1},
      {"event", "", kEventKey, 0},
      {"quat_w", "", kQuaternionKey, 0},    {"quat_x", "", kQuaternionKey, 1},    {"quat_y", "", kQuaternionKey, 2},
      {"quat_z", "", kQuaternionKey, 3}};
  return columns;
}

namespace {

std::string classicHeader(const DeviceSettings& settings, const TableLayout& table) {
  std::string out;
  out += std::string(kCsvBanner) + "\n";
  out += "Created on: " + formatDateTime(settings.createdAt) + "\n";
  out += "Total data points: " + std::to_string(table.rows) + "\n\n";
  out += "Time [" + std::to_string(settings.frequency) + " hz],";
  if (settings.gyro.present) out += "Gyro [" + std::to_string(settings.gyro.frequency) + " hz],,,";
  if (settings.accel.present) out += "Accel [" + std::to_string(settings.accel.frequency) + " hz],,,";
  if (settings.baro.present) out += "Baro [" + std::to_string(settings.baro.frequency) + " hz],,";
  if (settings.event.present) out += "Event [" + std::to_string(settings.frequency) + " hz],";
  if (table.quaternion.stream) out += "Quaternion [" + std::to_string(settings.gyro.frequency) + " hz],,,,";
  out += "\nTime,";
  if (settings.gyro.present) out += "Gyro X,Gyro Y,Gyro Z,";
  if (settings.accel.present) out += "Accel X,Accel Y,Accel Z,";
  if (settings.baro.present) out += "Pressure,Temperature,";
  if (table.event.stream) out += "Event,";
  if (table.quaternion.stream) out += "Quat W,Quat X,Quat Y,Quat Z,";
  out += "\n[s],";
  if (settings.gyro.present) out += "[deg/s],[deg/s],[deg/s],";
  if (settings.accel.present) out += "[g],[g],[g],";
  if (settings.baro.present) out += "[mBar],[degree C],";
  if (table.event.stream) out += "[],";
  if (table.quaternion.stream) out += "[],[],[],[],";
  out += "\n";
  return out;
}

const TableColumn& tableColumnOf(const TableLayout& table, uint32_t key) {
  switch (key) {
    case kGyroKey: return table.gyro;
    case kAccelKey: return table.accel;
    case kBaroKey: return table.baro;
    case kEventKey: return table.event;
    default: return table.quaternion;
  }
}

// The names the Parquet file gives the same columns.
std::string plainHeader(const TableLayout& table, bool datetime) {
  std::string out = datetime ? "time,datetime" : "time";
  for (const ColumnName& column : tableColumns()) {
    if (tableColumnOf(table, column.key).stream) out += std::string(",") + column.name;
  }
  return out + "\n";
}

bool reportFailure(CsvFile& csv, OutputFailure* failure) {
  if (failure) *failure = OutputFailure{csv.path, csv.output.error(), csv.output.failedStep()};
  csv.output.discard();
  return false;
}

}  // namespace

bool exportCsv(CsvFile csv, const DeviceSettings& settings, const StreamMap& streams,
               const AwaitSamples& awaitSamples, CsvStyle style, unsigned threads, OutputFailure* failure,
               const PlainTime& time) {
  if (!writeCsv(csv, settings, streams, awaitSamples, style, threads, failure, time)) return false;
  if (!csv.output.publish()) return reportFailure(csv, failure);
  return true;
}

bool writeCsv(CsvFile& csv, const DeviceSettings& settings, const StreamMap& streams,
              const AwaitSamples& awaitSamples, CsvStyle style, unsigned threads, OutputFailure* failure,
              const PlainTime& time) {
  if (!csv.output) return reportFailure(csv, failure);
  const TableLayout table = tableLayout(settings, streams);

  FileWriter output(csv.output.file(), true);
  output.buffer() += style == CsvStyle::Plain ? plainHeader(table, time.datetime) : classicHeader(settings, table);
  output.flush();
  if (threads == 0) threads = std::thread::hardware_concurrency();
  const auto write = [&](const char* data, size_t size) { output.write(data, size); };
  if (style == CsvStyle::Plain) {
    const PlainLayout layout = plainLayout(table, time, &awaitSamples);
    const std::vector<PlainStart> starts = plainStarts(layout);
    writeChunksInOrder(
        starts.size() - 1, kRowBound,
        [&](size_t c, ChunkBuffer& buffer) { formatPlainChunk(buffer, layout, starts[c], starts[c + 1]); }, write,
        threads > 1, [&] { awaitPlain(layout, starts.back().at); });
  } else {
    const RowLayout layout{table.gyro, table.accel, table.baro, table.event, table.quaternion, &awaitSamples};
    const double period = 1.0 / settings.frequency;
    const std::vector<ChunkStart> starts = chunkStarts(layout, table.rows, period);
    writeChunksInOrder(
        starts.size(), kRowBound,
        [&](size_t c, ChunkBuffer& buffer) {
          formatChunk(buffer, layout, starts[c], c + 1 < starts.size() ? starts[c + 1].row : table.rows, period);
        },
        write, threads > 1,
        // While the filter runs it keeps a core of its own: a second formatter
        // would only take turns with it on the critical path.
        [&] { awaitRows(layout, table.rows); });
  }
  output.flush();
  if (output.failed()) csv.output.noteWriteError(output.errnum());
  // A full disk shows up in a write, the flush, the sync or the close: the
  // file is then not complete and does not take the name.
  if (csv.output.error() || !csv.output.finish()) return reportFailure(csv, failure);
  return true;
}

}  // namespace kinovar
