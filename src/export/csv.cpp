#include "export/csv.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <exception>
#include <future>
#include <thread>
#include <vector>

#include "export/fixed.h"
#include "export/json.h"
#include "export/paths.h"

namespace kinovar {

namespace {

// One group of columns fed from one stream.
struct Column {
  const SampleStream* stream = nullptr;
  uint64_t divisor = 1;
  int precision[4] = {5, 5, 5, 5};
};

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

// Buffered writer that remembers whether any write failed.
class Output {
 public:
  explicit Output(std::FILE* file) : file_(file) { buffer_.reserve(kCapacity + 4096); }
  std::string& buffer() { return buffer_; }
  void write(const char* data, size_t size) {
    if (size && std::fwrite(data, 1, size, file_) != size) failed_ = true;
  }
  void flush() {
    if (!buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) failed_ = true;
    buffer_.clear();
  }
  bool failed() const { return failed_; }

 private:
  static constexpr size_t kCapacity = 1 << 20;
  std::FILE* file_;
  std::string buffer_;
  bool failed_ = false;
};

// Rows are formatted in chunks, on two threads where there are two cores;
// each chunk starts from the read positions and running time that the rows
// before it leave, so the bytes do not depend on the thread count.
struct RowLayout {
  Column gyro, accel, baro, event, quaternion;
  const std::atomic<uint64_t>* quaternionsReady = nullptr;  // null: all final
};

// Blocks until the quaternion samples of rows before `end` are final.
void awaitQuaternions(const RowLayout& layout, uint64_t end) {
  if (!layout.quaternionsReady || !layout.quaternion.stream || end == 0) return;
  const uint64_t needed = std::min(layout.quaternion.stream->count, (end - 1) / layout.quaternion.divisor + 1);
  for (uint64_t ready; (ready = layout.quaternionsReady->load(std::memory_order_acquire)) < needed;)
    layout.quaternionsReady->wait(ready, std::memory_order_acquire);
}

struct ChunkStart {
  uint64_t row;
  double t;
  uint64_t eventNext;
};

constexpr uint64_t kChunkRows = 1 << 15;
constexpr size_t kRowBound = 16 * kMaxFixedLength;  // no row is longer

class ChunkBuffer {
 public:
  char* room() {
    if (data_.size() - used_ < kRowBound) data_.resize(std::max(data_.size() * 2, used_ + kRowBound));
    return data_.data() + used_;
  }
  void commit(char* end) { used_ = static_cast<size_t>(end - data_.data()); }
  const char* data() const { return data_.data(); }
  size_t size() const { return used_; }
  void clear() { used_ = 0; }

 private:
  std::vector<char> data_;
  size_t used_ = 0;
};

char* cell(char* out, double value, int precision) {
  out = writeFixed(out, value, precision);
  *out++ = ',';
  return out;
}

// Samples of a divided group land on rows k * divisor.
char* group(char* out, const Column& column, uint64_t row, uint64_t channels) {
  const SampleStream& stream = *column.stream;
  const uint64_t k = row / column.divisor;
  if (row % column.divisor == 0 && k < stream.count) {
    for (uint64_t c = 0; c < channels; ++c) out = cell(out, stream.values[c * stream.count + k], column.precision[c]);
  } else {
    for (uint64_t c = 0; c < channels; ++c) *out++ = ',';
  }
  return out;
}

void formatChunk(ChunkBuffer& buffer, const RowLayout& layout, const ChunkStart& start, uint64_t end, double period) {
  buffer.clear();
  awaitQuaternions(layout, end);
  double t = start.t;
  uint64_t eventNext = start.eventNext;
  for (uint64_t row = start.row; row < end; ++row) {
    char* out = buffer.room();
    out = cell(out, t, 5);
    if (layout.gyro.stream) out = group(out, layout.gyro, row, 3);
    if (layout.accel.stream) out = group(out, layout.accel, row, 3);
    if (layout.baro.stream) out = group(out, layout.baro, row, 2);
    if (const SampleStream* events = layout.event.stream) {
      // At most one event a row; a further one that is due waits for the next.
      if (eventNext < events->count && t >= events->times[eventNext]) {
        out = cell(out, events->values[eventNext], 3);
        ++eventNext;
      } else {
        *out++ = ',';
      }
    }
    if (layout.quaternion.stream) out = group(out, layout.quaternion, row, 4);
    *out++ = '\n';
    buffer.commit(out);
    t += period;
  }
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

// Chunks are formatted in pairs (one on a helper thread) while the pair
// before is being written, so formatting and writing overlap.
void writeRows(Output& output, const RowLayout& layout, uint64_t rows, double period) {
  const std::vector<ChunkStart> starts = chunkStarts(layout, rows, period);
  const bool parallel = std::thread::hardware_concurrency() > 1 && starts.size() > 1;
  auto endOf = [&](size_t c) { return c + 1 < starts.size() ? starts[c + 1].row : rows; };
  ChunkBuffer buffers[2][2];
  std::future<void> writing;
  auto finishWriting = [&] {
    if (writing.valid()) writing.get();
  };
  try {
    for (size_t i = 0, batch = 0; i < starts.size(); i += 2, ++batch) {
      ChunkBuffer* pair = buffers[batch % 2];
      const bool second = i + 1 < starts.size();
      std::future<void> helper;
      if (second && parallel) helper = std::async(std::launch::async, formatChunk, std::ref(pair[1]), std::cref(layout), std::cref(starts[i + 1]), endOf(i + 1), period);
      formatChunk(pair[0], layout, starts[i], endOf(i), period);
      if (second && !parallel) formatChunk(pair[1], layout, starts[i + 1], endOf(i + 1), period);
      if (helper.valid()) helper.get();  // rethrows what the helper raised
      finishWriting();
      writing = std::async(parallel ? std::launch::async : std::launch::deferred, [&output, pair, second] {
        output.write(pair[0].data(), pair[0].size());
        if (second) output.write(pair[1].data(), pair[1].size());
      });
      if (!parallel) finishWriting();
    }
  } catch (...) {
    if (writing.valid()) writing.wait();  // never leave a write running on buffers about to go
    throw;
  }
  finishWriting();
}

}  // namespace

bool exportCsv(const char* utf8Path, const DeviceSettings& settings, const StreamMap& streams,
               const std::atomic<uint64_t>* quaternionsReady) {
  FilePtr file = openFile(utf8Path, OpenMode::WriteText);
  if (!file) return false;

  Column gyro, accel, baro, event, quaternion;
  gyro.stream = takenStream(streams, kGyroKey, settings.gyro.present);
  accel.stream = takenStream(streams, kAccelKey, settings.accel.present);
  baro.stream = takenStream(streams, kBaroKey, settings.baro.present);
  event.stream = takenStream(streams, kSecondEventKey, settings.secondEvent.present);
  if (!event.stream) event.stream = takenStream(streams, kEventKey, settings.event.present);
  quaternion.stream = takenStream(streams, kQuaternionKey, true);
  if (gyro.stream) gyro.divisor = divisorOf(settings.frequency, settings.gyro.frequency);
  if (accel.stream) accel.divisor = divisorOf(settings.frequency, settings.accel.frequency);
  if (baro.stream) {
    baro.divisor = divisorOf(settings.frequency, settings.baro.frequency);
    baro.precision[0] = 3;
    baro.precision[1] = 1;
  }
  if (quaternion.stream) quaternion.divisor = divisorOf(settings.frequency, settings.gyro.frequency);

  // Enough rows for the longest stream and for the last sample of every
  // divided group, so that no sample is left without its row.
  uint64_t rows = 0;
  for (const Column* column : {&gyro, &accel, &baro, &quaternion}) {
    if (!column->stream) continue;
    rows = std::max(rows, column->stream->count);
    rows = std::max(rows, (column->stream->count - 1) * column->divisor + 1);
  }
  if (event.stream) rows = std::max(rows, event.stream->count);

  Output output(file.get());
  std::string& out = output.buffer();
  out += "Quandrel - Kinovar data export\n";
  out += "Created on: " + formatDateTime(settings.createdAt) + "\n";
  out += "Total data points: " + std::to_string(rows) + "\n\n";
  out += "Time [" + std::to_string(settings.frequency) + " hz],";
  if (settings.gyro.present) out += "Gyro [" + std::to_string(settings.gyro.frequency) + " hz],,,";
  if (settings.accel.present) out += "Accel [" + std::to_string(settings.accel.frequency) + " hz],,,";
  if (settings.baro.present) out += "Baro [" + std::to_string(settings.baro.frequency) + " hz],,";
  if (settings.event.present) out += "Event [" + std::to_string(settings.frequency) + " hz],";
  if (quaternion.stream) out += "Quaternion [" + std::to_string(settings.gyro.frequency) + " hz],,,,";
  out += "\nTime,";
  if (settings.gyro.present) out += "Gyro X,Gyro Y,Gyro Z,";
  if (settings.accel.present) out += "Accel X,Accel Y,Accel Z,";
  if (settings.baro.present) out += "Pressure,Temperature,";
  if (event.stream) out += "Event,";
  if (quaternion.stream) out += "Quat W,Quat X,Quat Y,Quat Z,";
  out += "\n[s],";
  if (settings.gyro.present) out += "[deg/s],[deg/s],[deg/s],";
  if (settings.accel.present) out += "[g],[g],[g],";
  if (settings.baro.present) out += "[mBar],[degree C],";
  if (event.stream) out += "[],";
  if (quaternion.stream) out += "[],[],[],[],";
  out += "\n";

  output.flush();
  const RowLayout layout{gyro, accel, baro, event, quaternion, quaternionsReady};
  writeRows(output, layout, rows, 1.0 / settings.frequency);
  output.flush();
  const bool flushed = std::fflush(file.get()) == 0 && !std::ferror(file.get());
  // A full disk shows up here or at close: the file is then not complete.
  return closeFile(file) && flushed && !output.failed();
}

}  // namespace kinovar
