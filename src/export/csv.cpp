#include "export/csv.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "export/fixed.h"
#include "export/json.h"
#include "export/paths.h"

namespace kinovar {

namespace {

// One group of columns fed from one stream.
struct Column {
  const SampleStream* stream = nullptr;
  uint64_t divisor = 1;
  uint64_t next = 0;  // read position
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
  void flushIfFull() {
    if (buffer_.size() >= kCapacity) flush();
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

void appendFixed(std::string& out, double value, int precision) {
  char digits[kMaxFixedLength];
  out.append(digits, writeFixed(digits, value, precision));
  out += ',';
}

// Writes sample `next` of a divided group when it is due on row r.
void appendGroup(std::string& out, Column& column, uint64_t row, uint64_t channels) {
  const SampleStream* stream = column.stream;
  if (column.next < stream->count && row % column.divisor == 0) {
    for (uint64_t c = 0; c < channels; ++c) appendFixed(out, stream->values[c * stream->count + column.next], column.precision[c]);
    ++column.next;
  } else {
    out.append(channels, ',');
  }
}

}  // namespace

bool exportCsv(const char* utf8Path, const DeviceSettings& settings, const StreamMap& streams) {
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

  const double period = 1.0 / settings.frequency;
  double t = period;
  for (uint64_t row = 0; row < rows; ++row) {
    appendFixed(out, t, 5);
    if (gyro.stream) appendGroup(out, gyro, row, 3);
    if (accel.stream) appendGroup(out, accel, row, 3);
    if (baro.stream) appendGroup(out, baro, row, 2);
    if (event.stream) {
      if (event.next < event.stream->count && t >= event.stream->times[event.next]) {
        appendFixed(out, event.stream->values[event.next], 3);
        ++event.next;
      } else {
        out += ',';
      }
    }
    if (quaternion.stream) appendGroup(out, quaternion, row, 4);
    out += '\n';
    t += period;
    output.flushIfFull();
  }
  output.flush();
  const bool flushed = std::fflush(file.get()) == 0 && !std::ferror(file.get());
  // A full disk shows up here or at close: the file is then not complete.
  return closeFile(file) && flushed && !output.failed();
}

}  // namespace kinovar
