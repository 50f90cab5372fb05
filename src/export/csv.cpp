#include "export/csv.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <condition_variable>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "export/fixed.h"
#include "export/json.h"
#include "export/rows.h"
#include "io/ordered_writer.h"
#include "io/paths.h"
#include "model/streams.h"
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

// Samples of one stream taken in order from its cursor, with a look ahead.
// The pieces stay as the cursor wrote them, so that each sample is copied
// once on its way to a chunk, and not at all when nothing is queued.
class SampleQueue {
 public:
  SampleQueue() = default;
  SampleQueue(std::unique_ptr<StreamCursor> cursor, uint64_t channels, uint64_t piece)
      : cursor_(std::move(cursor)), channels_(channels), piece_(piece) {}
  explicit operator bool() const { return channels_ > 0; }

  // How many samples are ahead: at least n unless the stream ends first.
  uint64_t fill(uint64_t n) {
    while (size_ < n && cursor_) {
      SampleStream piece = spare();
      if (cursor_->read(piece, piece_) == 0) {
        cursor_.reset();
        free_.push_back(std::move(piece));
        break;
      }
      size_ += piece.count;
      pieces_.push_back(std::move(piece));
    }
    return size_;
  }
  uint64_t size() const { return size_; }
  double time(uint64_t i) const {
    i += head_;
    for (const SampleStream& piece : pieces_) {
      if (i < piece.count) return piece.times[i];
      i -= piece.count;
    }
    return std::numeric_limits<double>::quiet_NaN();  // past what fill() made ready
  }
  // Moves the next n samples (at most those ahead) into `out`.
  void take(uint64_t n, SampleStream& out) {
    if (size_ == 0 && cursor_ && n > 0) {
      const uint64_t got = cursor_->read(out, n);
      if (got == n) return;
      // A cursor that gave fewer: what it gave is queued, the rest follows.
      if (got == 0) cursor_.reset();
      size_ = got;
      if (got > 0) pieces_.push_back(std::exchange(out, SampleStream{}));
    }
    n = std::min(n, fill(n));
    out.channels = channels_;
    out.count = n;
    out.times.resize(n);
    out.values.resize(channels_ * n);
    for (uint64_t done = 0; done < n;) {
      SampleStream& piece = pieces_.front();
      const uint64_t m = std::min(n - done, piece.count - head_);
      std::copy_n(piece.times.begin() + static_cast<long>(head_), m, out.times.begin() + static_cast<long>(done));
      for (uint64_t c = 0; c < channels_; ++c)
        std::copy_n(piece.values.begin() + static_cast<long>(c * piece.count + head_), m,
                    out.values.begin() + static_cast<long>(c * n + done));
      done += m, head_ += m, size_ -= m;
      if (head_ == piece.count) {
        free_.push_back(std::move(piece));
        pieces_.pop_front();
        head_ = 0;
      }
    }
  }

 private:
  SampleStream spare() {
    if (free_.empty()) return {};
    SampleStream piece = std::move(free_.back());
    free_.pop_back();
    return piece;
  }

  std::unique_ptr<StreamCursor> cursor_;
  uint64_t channels_ = 0;
  uint64_t piece_ = kDefaultChunkSamples;
  std::deque<SampleStream> pieces_;
  std::vector<SampleStream> free_;  // emptied pieces, their storage kept
  uint64_t head_ = 0;  // samples of the first piece already taken
  uint64_t size_ = 0;
};

SampleQueue queueOf(const StreamSource& source, const Column& column) {
  if (!column.stream) return {};
  const uint64_t piece = source.chunkSamples ? source.chunkSamples : kDefaultChunkSamples;
  return SampleQueue(source.cursor(column.key), column.stream->channels, piece);
}

// Chunks are loaded strictly in order (the cursors read on), each by the
// thread that then formats it; a failure stops the ones waiting.
class InOrder {
 public:
  template <typename Load>
  void run(size_t c, Load&& load) {
    std::unique_lock lock(mutex_);
    turn_.wait(lock, [&] { return broken_ || next_ == c; });
    // The earlier failure itself, so that whichever thread reports it tells what happened.
    if (broken_) std::rethrow_exception(broken_);
    try {
      load();
    } catch (...) {
      broken_ = std::current_exception();
      turn_.notify_all();
      throw;
    }
    ++next_;
    turn_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable turn_;
  size_t next_ = 0;
  std::exception_ptr broken_;
};

// The chunks' samples, kept for the next chunk instead of freed and faulted in again.
template <typename Chunk>
class ChunkPool {
 public:
  std::unique_ptr<Chunk> acquire() {
    std::lock_guard lock(mutex_);
    if (free_.empty()) return std::make_unique<Chunk>();
    std::unique_ptr<Chunk> chunk = std::move(free_.back());
    free_.pop_back();
    return chunk;
  }
  void release(std::unique_ptr<Chunk> chunk) {
    std::lock_guard lock(mutex_);
    free_.push_back(std::move(chunk));
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<Chunk>> free_;
};

constexpr uint64_t kChunkRows = 1 << 15;
// A CSV chunk's text (about 800 KB) stays in the cache until write() copies it out.
constexpr uint64_t kCsvChunkRows = 1 << 13;
constexpr size_t kRowBound = 16 * kMaxFixedLength;  // no row is longer

uint64_t chunkRows(const StreamSource& source) { return source.chunkSamples ? source.chunkSamples : kCsvChunkRows; }
constexpr uint64_t kHelperRows = 16;

template <int P>
char* cell(char* out, double value) {
  out = writeFixed<P>(out, value);
  *out++ = ',';
  return out;
}

// The classic table's rows row..end-1: the samples of each group that land
// on them, the events they take and the running time (a sum, not a
// product) at the first of them.
struct ClassicChunk {
  uint64_t row = 0, end = 0;
  double t = 0.0;
  SampleStream gyro, accel, baro, event, quaternion;
};

class ClassicLoader {
 public:
  ClassicLoader(const StreamSource& source, const TableLayout& table, double period)
      : table_(table), period_(period), t_(period) {
    for (size_t g = 0; g < 5; ++g) queues_[g] = queueOf(source, *columns()[g]);
  }
  void load(uint64_t row, uint64_t end, ClassicChunk& chunk) {
    chunk.row = row, chunk.end = end, chunk.t = t_;
    SampleStream* windows[5] = {&chunk.gyro, &chunk.accel, &chunk.baro, &chunk.event, &chunk.quaternion};
    for (size_t g : {size_t{0}, size_t{1}, size_t{2}, size_t{4}}) {
      const Column& column = *columns()[g];
      if (!column.stream) continue;
      // Samples of a divided group stand on rows k * divisor.
      const uint64_t first = (row + column.divisor - 1) / column.divisor;
      const uint64_t last = std::min(column.stream->count, (end + column.divisor - 1) / column.divisor);
      queues_[g].take(last > first ? last - first : 0, *windows[g]);
    }
    // At most one event a row; a further one that is due waits for the next.
    SampleQueue& events = queues_[3];
    uint64_t taken = 0;
    for (uint64_t r = row; r < end; ++r) {
      if (events && events.fill(taken + 1) > taken && t_ >= events.time(taken)) ++taken;
      t_ += period_;
    }
    if (events) events.take(taken, chunk.event);
  }

 private:
  std::array<const Column*, 5> columns() const {
    return {&table_.gyro, &table_.accel, &table_.baro, &table_.event, &table_.quaternion};
  }
  const TableLayout& table_;
  double period_;
  double t_;
  SampleQueue queues_[5];
};

// Where a group stands in a chunk: samples of a divided group land on rows
// k * divisor, so the next such row is kept instead of dividing every row.
struct Cursor {
  const SampleStream* stream = nullptr;
  uint64_t divisor = 1;
  uint64_t k = 0;     // the chunk's sample of the next row that has one
  uint64_t next = 0;  // that row

  Cursor(const Column& column, const SampleStream& window, uint64_t row) : divisor(column.divisor) {
    if (!column.stream) return;
    stream = &window;
    next = (row + divisor - 1) / divisor * divisor;
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
  // NaN: a row of a set that no sample of the stream stood near.
  if (k < stream.count && stream.values[k] == stream.values[k]) {
    out = cell<P0>(out, stream.values[k]);
    for (uint64_t c = 1; c < channels; ++c) out = cell<P1>(out, stream.values[c * stream.count + k]);
  } else {
    for (uint64_t c = 0; c < channels; ++c) *out++ = ',';
  }
  return out;
}

void formatChunk(ChunkBuffer& buffer, const TableLayout& table, const ClassicChunk& chunk, double period) {
  buffer.clear();
  double t = chunk.t;
  uint64_t eventNext = 0;
  Cursor gyro(table.gyro, chunk.gyro, chunk.row), accel(table.accel, chunk.accel, chunk.row),
      baro(table.baro, chunk.baro, chunk.row), quaternion(table.quaternion, chunk.quaternion, chunk.row);
  const SampleStream* events = table.event.stream ? &chunk.event : nullptr;
  for (uint64_t row = chunk.row; row < chunk.end; ++row) {
    char* out = buffer.room();
    out = cell<5>(out, t);
    if (gyro.stream) out = group<5>(out, gyro, row, 3);
    if (accel.stream) out = group<5>(out, accel, row, 3);
    if (baro.stream) out = group<3, 1>(out, baro, row, 2);
    if (events) {
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

}  // namespace

struct TableRows::Queues {
  SampleQueue queues[5];
};

TableRows::TableRows(const StreamSource& source, const TableLayout& table, uint64_t rows)
    : rows_(rows ? rows : kChunkRows), queues_(std::make_unique<Queues>()) {
  const Column* columns[5] = {&table.gyro, &table.accel, &table.baro, &table.event, &table.quaternion};
  for (size_t g = 0; g < 5; ++g) {
    queues_->queues[g] = queueOf(source, *columns[g]);
    if (columns[g]->stream) samples_ += columns[g]->stream->count;
  }
}

TableRows::~TableRows() = default;

double TableRows::first() {
  double t = std::numeric_limits<double>::infinity();
  for (SampleQueue& queue : queues_->queues)
    if (queue && queue.fill(1) > 0) t = std::min(t, queue.time(0));
  return std::isinf(t) ? 0.0 : t;
}

void TableRows::load(TablePiece& piece, uint64_t maxRows) {
  SampleQueue* queues = queues_->queues;
  uint64_t taken[5] = {};
  piece.rows = 0;
  if (maxRows == 0) maxRows = rows_;
  while (piece.rows < maxRows) {
    double t = std::numeric_limits<double>::infinity();
    for (size_t g = 0; g < 5; ++g)
      if (queues[g] && queues[g].fill(taken[g] + 1) > taken[g]) t = std::min(t, queues[g].time(taken[g]));
    if (std::isinf(t)) break;
    for (size_t g = 0; g < 5; ++g)
      if (queues[g] && queues[g].size() > taken[g] && queues[g].time(taken[g]) == t) ++taken[g];
    ++piece.rows;
  }
  for (size_t g = 0; g < 5; ++g)
    if (queues[g]) queues[g].take(taken[g], piece.windows[g]), taken_ += taken[g];
}

double TableRows::fraction() const {
  return samples_ ? static_cast<double>(taken_) / static_cast<double>(samples_) : 1.0;
}

double epochSeconds(const DateTimeFields& date) {
  const int64_t y = date.year - (date.month <= 2);
  const int64_t m = date.month;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yearOfEra = y - era * 400;
  const int64_t dayOfYear = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + date.day - 1;
  const int64_t days = era * 146097 + yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear - 719468;
  return static_cast<double>(days * 86400 + date.hour * 3600 + date.minute * 60 + date.second);
}

double firstInstant(const TableLayout& table) {
  InstantMerge merge;
  for (const Column* column : {&table.gyro, &table.accel, &table.baro, &table.event, &table.quaternion})
    if (column->stream) merge.add(column->stream->times.data(), column->stream->count);
  return merge.first();
}

std::array<RowGroup, 5> rowGroups(const TablePiece& piece) {
  std::array<RowGroup, 5> groups;
  for (size_t g = 0; g < 5; ++g) {
    const SampleStream& window = piece.windows[g];
    if (!window.channels) continue;
    groups[g].times = window.times.data();
    groups[g].count = window.count;
    for (uint64_t c = 0; c < window.channels && c < 4; ++c) groups[g].channels[c] = window.values.data() + c * window.count;
    groups[g].quaternion = g == 4;
  }
  return groups;
}

size_t groupOf(uint32_t key) {
  switch (key) {
    case kGyroKey: return 0;
    case kAccelKey: return 1;
    case kBaroKey: return 2;
    case kEventKey:
    case kSecondEventKey: return 3;
    default: return 4;
  }
}

PlainColumns plainColumns(const std::array<bool, 5>& present) {
  PlainColumns columns;
  const std::span<const ColumnName> names = tableColumns();
  for (size_t i = 0; i < names.size(); ++i) {
    const size_t g = groupOf(names[i].key);
    if (!present[g]) continue;
    columns.index.push_back(i);
    columns.read.push_back({g, names[i].channel});
  }
  return columns;
}

PlainColumns plainColumns(const TableLayout& table) {
  return plainColumns({table.gyro.stream != nullptr, table.accel.stream != nullptr, table.baro.stream != nullptr,
                       table.event.stream != nullptr, table.quaternion.stream != nullptr});
}

namespace {

// A chunk of the plain table: the samples on its rows, and its rows.
struct PlainChunk {
  TablePiece samples;
  RowPiece rows;
};

// Decimals of a column's cells: the classic export's.
int decimalsOf(const ColumnName& column) {
  if (column.key == kBaroKey) return column.channel == 0 ? 3 : 1;
  return column.key == kEventKey ? 3 : 5;
}

void formatRows(ChunkBuffer& buffer, const RowPiece& rows, const std::vector<int>& decimals, const PlainTime& time) {
  buffer.clear();
  struct Cells {
    const double* values;
    const uint8_t* valid;  // null: every row has a value
    int decimals;
  };
  std::array<Cells, 16> cells;
  const size_t columns = std::min(rows.values.size(), cells.size());
  for (size_t c = 0; c < columns; ++c)
    cells[c] = {rows.values[c].data(), rows.valid[c].empty() ? nullptr : rows.valid[c].data(), decimals[c]};
  for (uint64_t r = 0; r < rows.rows; ++r) {
    char* out = timeCell(buffer.room(), rows.time[r]);
    if (time.datetime) out = datetimeCell(out, time, rows.time[r]);
    for (size_t c = 0; c < columns; ++c) {
      const Cells& column = cells[c];
      if (column.valid && !rowBit(column.valid, r)) {
        *out++ = ',';
        continue;
      }
      const double v = column.values[r];
      out = column.decimals == 5 ? cell<5>(out, v) : column.decimals == 3 ? cell<3>(out, v) : cell<1>(out, v);
    }
    out[-1] = '\n';  // in place of the last cell's comma
    buffer.commit(out);
  }
}

}  // namespace

// The epoch's whole seconds are kept apart so that the sum loses nothing.
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

// Nine decimals hold any tick of any clock to half a nanosecond.
char* timeCell(char* out, double seconds) {
  char* end = writeFixed<9>(out, seconds);
  while (end[-1] == '0' && end[-2] != '.') --end;
  *end++ = ',';
  return end;
}


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
  for (Column* column : {&gyro, &accel, &baro, &quaternion})
    if (column->stream) column->divisor = divisorOf(settings.frequency, rateOf(settings, column->key));

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
      {"gyro_x", kGyroKey, 0},     {"gyro_y", kGyroKey, 1},     {"gyro_z", kGyroKey, 2},
      {"accel_x", kAccelKey, 0},   {"accel_y", kAccelKey, 1},   {"accel_z", kAccelKey, 2},
      {"pressure", kBaroKey, 0},   {"temperature", kBaroKey, 1}, {"event", kEventKey, 0},
      {"quat_w", kQuaternionKey, 0}, {"quat_x", kQuaternionKey, 1}, {"quat_y", kQuaternionKey, 2},
      {"quat_z", kQuaternionKey, 3}};
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
  if (table.quaternion.stream) out += "Quaternion [" + std::to_string(rateOf(settings, kQuaternionKey)) + " hz],,,,";
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

// The names the Parquet file gives the same columns.
std::string plainHeader(const TableLayout& table, bool datetime) {
  std::string out = datetime ? "time,datetime" : "time";
  for (const size_t i : plainColumns(table).index) out += std::string(",") + tableColumns()[i].name;
  return out + "\n";
}

bool reportFailure(CsvFile& csv, OutputFailure* failure) {
  if (failure) *failure = OutputFailure{csv.path, csv.output.error(), csv.output.failedStep()};
  csv.output.discard();
  return false;
}

}  // namespace

namespace {

StreamSource memorySource(const DeviceSettings& settings, const StreamMap& streams, const AwaitSamples& awaitSamples) {
  StreamSource source;
  source.settings = &settings;
  source.shapes = &streams;
  source.cursor = [&streams, &awaitSamples](uint32_t key) {
    std::function<void(uint64_t)> await;
    if (awaitSamples) await = [&awaitSamples, key](uint64_t n) { awaitSamples(key, n); };
    return memoryCursor(streams.at(key), std::move(await));
  };
  // While the filter runs it keeps a core of its own: a second formatter
  // would only take turns with it on the critical path.
  if (const SampleStream* q = findStream(streams, kQuaternionKey); q && awaitSamples)
    source.helperStart = [&awaitSamples, n = q->count] { awaitSamples(kQuaternionKey, n); };
  return source;
}

}  // namespace

bool exportCsv(CsvFile csv, const DeviceSettings& settings, const StreamMap& streams,
               const AwaitSamples& awaitSamples, CsvStyle style, unsigned threads, OutputFailure* failure,
               const PlainTime& time) {
  return exportCsv(std::move(csv), memorySource(settings, streams, awaitSamples), style, threads, failure, time);
}

bool writeCsv(CsvFile& csv, const DeviceSettings& settings, const StreamMap& streams,
              const AwaitSamples& awaitSamples, CsvStyle style, unsigned threads, OutputFailure* failure,
              const PlainTime& time) {
  return writeCsv(csv, memorySource(settings, streams, awaitSamples), style, threads, failure, time);
}

bool exportCsv(CsvFile csv, const StreamSource& source, CsvStyle style, unsigned threads, OutputFailure* failure,
               const PlainTime& time) {
  if (!writeCsv(csv, source, style, threads, failure, time)) return false;
  if (!csv.output.publish()) return reportFailure(csv, failure);
  return true;
}

bool writeCsv(CsvFile& csv, const StreamSource& source, CsvStyle style, unsigned threads, OutputFailure* failure,
              const PlainTime& time) {
  if (!csv.output) return reportFailure(csv, failure);
  const DeviceSettings& settings = *source.settings;
  const TableLayout table = tableLayout(settings, *source.shapes);

  FileWriter output(csv.output.file(), true);
  output.buffer() += style == CsvStyle::Plain ? plainHeader(table, time.datetime) : classicHeader(settings, table);
  output.flush();
  if (threads == 0) threads = std::thread::hardware_concurrency();
  const uint64_t rows = chunkRows(source);
  // A second thread takes every other chunk; chunks of a few rows would cost
  // more in waking it than formatting them does.
  const bool helper = threads > 1 && rows >= kHelperRows;
  const auto write = [&](const char* data, size_t size) { output.write(data, size); };
  InOrder inOrder;
  ChunkPool<ClassicChunk> classicChunks;
  ChunkPool<PlainChunk> plainChunks;
  if (style == CsvStyle::Plain) {
    TableRows loader(source, table, rows);
    PlainTime plain = time;
    if (std::isnan(plain.origin)) plain.origin = loader.first();
    const PlainColumns columns = plainColumns(table);
    std::vector<int> decimals;
    for (const size_t i : columns.index) decimals.push_back(decimalsOf(tableColumns()[i]));
    writeChunksUntil(
        kRowBound,
        [&](size_t c, ChunkBuffer& buffer) {
          std::unique_ptr<PlainChunk> chunk = plainChunks.acquire();
          inOrder.run(c, [&] {
            loader.load(chunk->samples);
            if (source.progress) source.progress(loader.fraction());
          });
          mergeRows(rowGroups(chunk->samples), chunk->samples.rows, columns.read, plain.origin, chunk->rows);
          formatRows(buffer, chunk->rows, decimals, plain);
          const bool rows = chunk->rows.rows > 0;
          plainChunks.release(std::move(chunk));
          return rows;
        },
        write, helper, source.helperStart);
  } else {
    const double period = 1.0 / settings.frequency;
    ClassicLoader loader(source, table, period);
    writeChunksInOrder(
        static_cast<size_t>((table.rows + rows - 1) / rows), kRowBound,
        [&](size_t c, ChunkBuffer& buffer) {
          std::unique_ptr<ClassicChunk> chunk = classicChunks.acquire();
          inOrder.run(c, [&] {
            const uint64_t end = std::min(table.rows, (c + 1) * rows);
            loader.load(c * rows, end, *chunk);
            if (source.progress) source.progress(static_cast<double>(end) / static_cast<double>(table.rows));
          });
          formatChunk(buffer, table, *chunk, period);
          classicChunks.release(std::move(chunk));
        },
        write, helper, source.helperStart);
  }
  output.flush();
  if (output.failed()) csv.output.noteWriteError(output.errnum());
  // A full disk shows up in a write, the flush, the sync or the close: the
  // file is then not complete and does not take the name.
  if (csv.output.error() || !csv.output.finish()) return reportFailure(csv, failure);
  return true;
}

}  // namespace kinovar
