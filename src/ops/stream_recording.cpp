#include "ops/stream_recording.h"

#include <algorithm>
#include <vector>

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

}  // namespace

RecordingStreams::RecordingStreams(const RecordingReader& reader, const ConversionOptions& options)
    : reader_(reader), estimator_(options.estimator), chunkSamples_(options.chunkSamples), shapes_(reader.shapes()) {
  quaternions_ = orientationSamples(reader.settings(), shapes_, estimator_);
  if (quaternions_ == 0) return;
  SampleStream shape;
  shape.channels = 4;
  shape.count = quaternions_;
  shapes_.emplace(kQuaternionKey, std::move(shape));
}

StreamSource RecordingStreams::source() const {
  StreamSource source;
  source.settings = &reader_.settings();
  source.shapes = &shapes_;
  source.chunkSamples = chunkSamples_;
  source.cursor = [this](uint32_t key) -> std::unique_ptr<StreamCursor> {
    if (key != kQuaternionKey) return reader_.cursor(key);
    return std::make_unique<ClassicCursor>(reader_, quaternions_);
  };
  return source;
}

}  // namespace kinovar
