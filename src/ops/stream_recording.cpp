#include "ops/stream_recording.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <functional>
#include <vector>

#include "io/ahead.h"

#include "orientation/orientation.h"
#include "orientation/streaming.h"

namespace kinovar {

namespace {

// The classic filter's quaternions, at the accelerometer's times, computed
// as the accelerometer and gyroscope are read.
class ClassicCursor : public StreamCursor {
 public:
  ClassicCursor(const RecordingReader& reader, uint64_t count)
      : accel_(reader.cursor(kAccelKey)),
        gyro_(reader.cursor(kGyroKey)),
        filter_(reader.settings().accel.frequency),
        count_(count),
        piece_(reader.chunkSamples()) {}

  uint64_t read(SampleStream& out, uint64_t max) override {
    while (values_[0].size() - head_ < max && !finished_) more();
    const uint64_t n = std::min<uint64_t>(max, values_[0].size() - head_);
    out.channels = 4;
    out.count = n;
    out.times.assign(times_.begin() + static_cast<long>(head_), times_.begin() + static_cast<long>(head_ + n));
    out.values.resize(4 * n);
    for (uint64_t c = 0; c < 4; ++c)
      std::copy_n(values_[c].begin() + static_cast<long>(head_), n, out.values.begin() + static_cast<long>(c * n));
    head_ += n;
    return n;
  }

 private:
  void more() {
    if (head_ > 0) {
      times_.erase(times_.begin(), times_.begin() + static_cast<long>(head_));
      for (std::vector<double>& channel : values_) channel.erase(channel.begin(), channel.begin() + static_cast<long>(head_));
      head_ = 0;
    }
    const QuaternionChunkFn emit = [&](uint64_t, uint64_t n, const double* q) {
      for (uint64_t c = 0; c < 4; ++c) values_[c].insert(values_[c].end(), q + c * n, q + (c + 1) * n);
    };
    const uint64_t want = std::min(piece_, count_ - filter_.pushed());
    const uint64_t n = want ? std::min(accel_->read(a_, want), gyro_->read(g_, want)) : 0;
    if (n == 0) {
      filter_.finish(emit);
      finished_ = true;
      return;
    }
    times_.insert(times_.end(), a_.times.begin(), a_.times.begin() + static_cast<long>(n));
    filter_.push(a_.values.data(), a_.count, g_.values.data(), g_.count, n, emit);
  }

  std::unique_ptr<StreamCursor> accel_, gyro_;
  ClassicFilterStream filter_;
  uint64_t count_;
  uint64_t piece_;
  SampleStream a_, g_;
  bool finished_ = false;
  // Times of the samples pushed; their quaternions lag a sample behind.
  std::vector<double> times_;
  std::vector<double> values_[4];
  uint64_t head_ = 0;
};

// Samples made on a thread of its own (io/ahead.h), at most `limit` of them
// ahead of the reader: the classic filter and the accurate estimate then run
// beside the rows' formatting, as they did over whole streams.
class SamplesAhead {
 public:
  using Put = Ahead<SampleStream>::Put;

  SamplesAhead(uint64_t limit, std::function<void(const Put&)> produce)
      : queue_(limit, [](const SampleStream& piece) { return piece.count; }, std::move(produce)) {}

  // The next max samples, fewer only at the end, as the pieces were put:
  // values channel-major, and times if the pieces had them. Each channel is
  // copied once, to its place for max samples, and moved down at a short end.
  uint64_t take(SampleStream& out, uint64_t max) {
    uint64_t count = 0, channels = 0;
    bool timed = false;
    while (count < max) {
      SampleStream* piece = queue_.front();
      if (!piece) break;
      if (count == 0 && used_ == 0 && piece->count == max) {
        // A whole piece of the size asked for changes hands without a copy.
        std::swap(out.values, piece->values);
        std::swap(out.times, piece->times);
        out.channels = piece->channels;
        out.count = max;
        queue_.used(max, true);
        return max;
      }
      if (count == 0) {
        channels = piece->channels;
        timed = !piece->times.empty();
        out.values.resize(channels * max);
        out.times.resize(timed ? max : 0);
      }
      const uint64_t n = std::min(max - count, piece->count - used_);
      if (timed) std::copy_n(piece->times.begin() + static_cast<long>(used_), n, out.times.begin() + static_cast<long>(count));
      for (uint64_t c = 0; c < channels; ++c)
        std::copy_n(piece->values.begin() + static_cast<long>(c * piece->count + used_), n,
                    out.values.begin() + static_cast<long>(c * max + count));
      count += n;
      used_ += n;
      const bool finished = used_ == piece->count;
      if (finished) used_ = 0;
      queue_.used(n, finished);
    }
    if (count < max) {
      for (uint64_t c = 1; c < channels; ++c)
        std::copy_n(out.values.begin() + static_cast<long>(c * max), count,
                    out.values.begin() + static_cast<long>(c * count));
      out.values.resize(channels * count);
      out.times.resize(timed ? count : 0);
    }
    if (channels) out.channels = channels;
    out.count = count;
    return count;
  }

 private:
  Ahead<SampleStream> queue_;
  uint64_t used_ = 0;  // samples taken of the front piece
};

// The samples a producer makes, handed to the reader in batches of at
// least `least`, however small its pieces: every hand-off wakes a thread,
// which costs far more than a piece of a few samples is worth (under Wine,
// a Windows build's tests with pieces of one sample took minutes for it).
class Batch {
 public:
  explicit Batch(uint64_t least) : least_(least) {}
  // A piece this large, with nothing held before it, may go as it is.
  bool passes(uint64_t n) const { return count_ == 0 && n >= least_; }
  // n samples of `channels`, channel-major at v, and their times (or none).
  void add(const SamplesAhead::Put& put, uint64_t channels, uint64_t n, const double* v, const double* times = nullptr) {
    columns_.resize(channels);
    for (uint64_t c = 0; c < channels; ++c) columns_[c].insert(columns_[c].end(), v + c * n, v + (c + 1) * n);
    if (times) times_.insert(times_.end(), times, times + n);
    count_ += n;
    if (count_ >= least_) flush(put);
  }
  void flush(const SamplesAhead::Put& put) {
    if (count_ == 0) return;
    piece_.channels = columns_.size();
    piece_.count = count_;
    piece_.values.clear();
    for (std::vector<double>& column : columns_) piece_.values.insert(piece_.values.end(), column.begin(), column.end()), column.clear();
    piece_.times.assign(times_.begin(), times_.end());
    times_.clear();
    count_ = 0;
    put(piece_);
  }

 private:
  uint64_t least_, count_ = 0;
  std::vector<std::vector<double>> columns_;
  std::vector<double> times_;
  SampleStream piece_;
};

// Samples per hand-off between threads: the pieces' size, or more.
uint64_t handOffSamples(uint64_t piece) { return std::max<uint64_t>(piece, 4096); }

// Another cursor read on a thread of its own, a few pieces ahead.
class AheadCursor : public StreamCursor {
 public:
  AheadCursor(std::unique_ptr<StreamCursor> inner, uint64_t piece)
      : inner_(std::move(inner)), ahead_(4 * handOffSamples(piece), [this, piece](const SamplesAhead::Put& put) {
          SampleStream read;
          Batch batch(handOffSamples(piece));
          while (inner_->read(read, std::max<uint64_t>(piece, 1)) > 0) {
            if (batch.passes(read.count)) put(read);  // swapped for a spare: no copy
            else batch.add(put, read.channels, read.count, read.values.data(), read.times.empty() ? nullptr : read.times.data());
          }
          batch.flush(put);
        }) {}

  uint64_t read(SampleStream& out, uint64_t max) override {
    out.channels = 4;
    return ahead_.take(out, max);
  }

 private:
  std::unique_ptr<StreamCursor> inner_;
  SamplesAhead ahead_;  // last: its thread stops before what it reads goes
};

// The accurate estimate runs on a thread of its own, a few chunks ahead of
// the rows that read it; its input is read again from the file wherever its
// passes ask for it.
class AccurateCursor : public StreamCursor {
 public:
  AccurateCursor(const RecordingReader& reader, uint64_t count)
      : reader_(reader),
        times_(reader.cursor(kAccelKey)),
        source_{count, static_cast<double>(reader.settings().accel.frequency),
                [this](uint64_t first, uint64_t n, double* accel, double* gyro) {
                  readInput(accel_, kAccelKey, first, n, accel);
                  readInput(gyro_, kGyroKey, first, n, gyro);
                }},
        ahead_(4 * handOffSamples(reader.chunkSamples()), [this](const SamplesAhead::Put& put) {
          Batch batch(handOffSamples(reader_.chunkSamples()));
          estimateAccurateChunked(source_, std::max<uint64_t>(reader_.chunkSamples(), 1),
                                  [&](uint64_t, uint64_t n, const double* q) { batch.add(put, 4, n, q); });
          batch.flush(put);
        }) {}

  uint64_t read(SampleStream& out, uint64_t max) override {
    out.channels = 4;
    const uint64_t n = ahead_.take(out, max);
    const uint64_t got = n ? times_->read(timed_, n) : 0;
    timed_.times.resize(std::min(got, n));
    timed_.times.resize(n);
    std::swap(out.times, timed_.times);
    return n;
  }

 private:
  struct Input {
    std::unique_ptr<StreamCursor> cursor;
    uint64_t next = 0;
    SampleStream piece;
  };
  void readInput(Input& input, uint32_t key, uint64_t first, uint64_t n, double* out) {
    if (!input.cursor || input.next != first) input.cursor = reader_.cursor(key, first);
    const uint64_t got = input.cursor->read(input.piece, n);
    input.next = first + got;
    for (uint64_t c = 0; c < 3; ++c) {
      std::copy_n(input.piece.values.begin() + static_cast<long>(c * got), got, out + c * n);
      std::fill(out + c * n + got, out + (c + 1) * n, 0.0);
    }
  }

  const RecordingReader& reader_;
  std::unique_ptr<StreamCursor> times_;
  SampleStream timed_;  // the accelerometer's times, its buffers swapped with the caller's
  ImuSource source_;
  Input accel_, gyro_;
  SamplesAhead ahead_;  // last: its thread stops before what it reads goes
};

}  // namespace

RecordingStreams::RecordingStreams(const RecordingReader& reader, const ConversionOptions& options, bool ahead,
                                   bool resampled)
    : reader_(reader),
      estimator_(options.estimator),
      chunkSamples_(options.chunkSamples),
      ahead_(ahead),
      shapes_(reader.shapes()) {
  quaternions_ = orientationSamples(reader.settings(), shapes_, estimator_);
  if (quaternions_ > 0) {
    SampleStream shape;
    shape.channels = 4;
    shape.count = quaternions_;
    shapes_.emplace(kQuaternionKey, std::move(shape));
  }
  // The earliest first sample of the table's streams (the quaternions' times are the accelerometer's).
  const TableLayout table = tableLayout(reader.settings(), shapes_);
  origin_ = std::numeric_limits<double>::infinity();
  for (const TableColumn* column : {&table.gyro, &table.accel, &table.baro, &table.event}) {
    if (!column->stream) continue;
    SampleStream first;
    if (reader.cursor(column->key)->read(first, 1) > 0) origin_ = std::min(origin_, first.times[0]);
  }
  if (std::isinf(origin_)) origin_ = 0.0;
  if (!resampled || !(options.resample > 0)) return;
  resampled_ = std::make_unique<ResampledTable>([this](uint32_t key) { return ownCursor(key); });
  for (const ResampledSource& source : resampledSources(reader.settings())) {
    const auto found = shapes_.find(source.key);
    if (found == shapes_.end() || found->second.count == 0) continue;
    ResampledStream stream;
    stream.channels = found->second.channels;
    stream.count = found->second.count;
    stream.rate = source.rate;
    stream.hz = options.resample;
    stream.origin = origin_;
    stream.quaternion = source.key == kQuaternionKey;
    stream.piece = reader.chunkSamples();
    // The quaternions stand at the accelerometer's times.
    const uint32_t timed = stream.quaternion ? kAccelKey : source.key;
    SampleStream one;
    reader.cursor(timed, 0)->read(one, 1);
    stream.first = one.times[0];
    reader.cursor(timed, stream.count - 1)->read(one, 1);
    stream.last = one.times[0];
    found->second.count = resampled_->add(source.key, stream);
  }
}

RecordingStreams::~RecordingStreams() = default;

std::unique_ptr<StreamCursor> RecordingStreams::cursorOf(uint32_t key) const {
  return resampled_ ? resampled_->cursor(key) : ownCursor(key);
}

std::unique_ptr<StreamCursor> RecordingStreams::ownCursor(uint32_t key) const {
  if (key != kQuaternionKey) return reader_.cursor(key);
  if (estimator_ == Estimator::Accurate) return std::make_unique<AccurateCursor>(reader_, quaternions_);
  auto classic = std::make_unique<ClassicCursor>(reader_, quaternions_);
  if (!ahead_) return classic;
  return std::make_unique<AheadCursor>(std::move(classic), reader_.chunkSamples());
}

std::unique_ptr<StreamCursor> aheadCursor(std::unique_ptr<StreamCursor> inner, uint64_t piece) {
  return std::make_unique<AheadCursor>(std::move(inner), piece);
}

StreamSource RecordingStreams::source() const {
  StreamSource source;
  source.settings = &reader_.settings();
  source.shapes = &shapes_;
  source.chunkSamples = chunkSamples_;
  source.cursor = [this](uint32_t key) { return cursorOf(key); };
  return source;
}

}  // namespace kinovar
