// Orientation over a recording of any length, in chunks: both estimators
// give the same numbers as over the whole streams at once, in memory that
// does not grow with the recording.
#pragma once

#include <cstdint>
#include <functional>

#include "orientation/accurate.h"
#include "orientation/filter.h"

namespace kinovar {

// Quaternions of samples first .. first + n - 1, channel-major (w of every
// sample, then x, y, z: channel c of sample i at c * n + i), in order.
using QuaternionChunkFn = std::function<void(uint64_t first, uint64_t n, const double* quaternions)>;

// The classic filter, fed in pieces. Each quaternion is handed on once the
// next sample has come, since the last sample of a recording never reaches
// the filter and keeps zeros; finish() hands on that last one. A sample
// without an estimate gets zeros, as over the whole streams.
class ClassicFilterStream {
 public:
  explicit ClassicFilterStream(int32_t frequency);
  // n samples, channel-major (channel c of sample i at c * stride + i):
  // accelerometer in g, gyroscope in degrees per second.
  void push(const double* accel, uint64_t accelStride, const double* gyro, uint64_t gyroStride, uint64_t n,
            const QuaternionChunkFn& emit);
  void finish(const QuaternionChunkFn& emit);
  uint64_t pushed() const { return pushed_; }

 private:
  void step(const double accel[3], const double gyro[3], double quaternion[4]);

  OrientationFilter filter_{};
  double pending_[6] = {};  // the last sample pushed: accelerometer, gyroscope
  uint64_t pushed_ = 0;
  uint64_t emitted_ = 0;
  double out_[4 * 1024] = {};
};

// Paired accelerometer and gyroscope samples of one recording, read in any
// order: read(first, n, accel, gyro) fills 3 x n values of each,
// channel-major (channel c of sample i at c * n + i), for samples
// first .. first + n - 1 < count.
struct ImuSource {
  uint64_t count = 0;
  double rate = 0;  // Hz
  std::function<void(uint64_t first, uint64_t n, double* accel, double* gyro)> read;
};

// A default chunk: about 6 MB of buffers, some 1300 checkpoints a day at
// 1000 Hz.
constexpr uint64_t kAccurateChunk = 1 << 16;

// estimateAccurate over a source, in chunks of `chunk` samples (0 = the
// default): the same numbers, handed to `emit` in order. Memory is a few
// chunks' buffers and pass states, and the verticals of up to 16 chunks or
// 8 MB, whatever the recording's length. The backward pass runs once over
// those first chunks (five at the default) and twice over the rest (once
// to checkpoint its state, once a chunk at a time in forward order), so the
// source is read about twice where a recording is longer.
// Reads never overlap: the last minute's chunks in order, every chunk from
// the last to the first, then every chunk from the first to the last.
void estimateAccurateChunked(const ImuSource& source, uint64_t chunk, const QuaternionChunkFn& emit,
                             const AccurateParameters& parameters = {});

}  // namespace kinovar
