// Epoch summaries of a recording: one row per fixed span of time with the
// accelerometer's activity metrics, clipping and non-wear, built in one
// streaming pass. Samples arrive stream by stream, each in time order, in
// pieces of any size; rows leave once nothing later can change them, so what
// is held is bounded by the non-wear window and the pieces, never by the
// recording's length.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <vector>

namespace kinovar {

// Non-wear after van Hees et al. (2013): windows of `windowMinutes` stepping
// by a quarter of it; a window is non-wear when at least two axes each have
// SD below `sd` and range below `range` (g). Times are judged on one-minute
// blocks, so the window is whole minutes.
struct NonwearRule {
  bool on = true;
  double sd = 0.013;
  double range = 0.150;
  int windowMinutes = 60;
  int stepMinutes() const { return windowMinutes >= 4 ? windowMinutes / 4 : 1; }
};

struct EpochOptions {
  double seconds = 5.0;
  NonwearRule nonwear;
  // A sample is clipped when any axis reads at or beyond this magnitude (g,
  // before calibration); infinity: never.
  double clipLimit = std::numeric_limits<double>::infinity();
};

// Applied to each piece of accelerometer samples after clipping is counted
// and before anything else: where calibrated values come in. Empty: raw.
using AccelCorrection = std::function<void(const double* t, double* x, double* y, double* z, size_t n)>;

// What the epochs take of each accelerometer sample, worked out where its
// piece is read (on a thread of its own when there is a core to spare):
// whether it is clipped (1 or 0), counted on the raw reading; then, once
// `correct` has changed x, y, z in place, its norm and its elevation
// atan(z / sqrt(x² + y²)) in radians.
void prepareAccel(const EpochOptions& options, const AccelCorrection& correct, const double* t, double* x, double* y,
                  double* z, double* clipped, double* norm, double* elevation, size_t n);

struct EpochRow {
  int64_t index = 0;   // epochs from the grid's origin
  double start = 0.0;  // on the streams' clock
  uint64_t samples = 0;  // accelerometer samples
  // Means over the epoch's accelerometer samples (none when samples is 0).
  double enmo = 0.0, mad = 0.0, anglez = 0.0;
  double mean[3] = {0.0, 0.0, 0.0};
  double sd[3] = {0.0, 0.0, 0.0};
  uint64_t clipped = 0;
  bool nonwear = false;
  uint64_t gyroSamples = 0;
  double gyro = 0.0;  // mean |w|
  uint64_t baroSamples = 0;
  double pressure = 0.0, temperature = 0.0;
};

class EpochBuilder {
 public:
  // `origin`: where epoch 0 starts, on the streams' clock.
  EpochBuilder(const EpochOptions& options, double origin);

  // Pieces in time order, the accelerometer's as prepareAccel leaves them.
  void accel(const double* t, const double* x, const double* y, const double* z, const double* clipped,
             const double* norm, const double* elevation, size_t n);
  void gyro(const double* t, const double* x, const double* y, const double* z, size_t n);
  void baro(const double* t, const double* pressure, const double* temperature, size_t n);
  // A stream that has no more samples (or none at all).
  void endAccel();
  void endGyro();
  void endBaro();

  // The next finished row, in order; false when none is final yet (or, once
  // every stream has ended, when all are out).
  bool next(EpochRow& row);

 private:
  struct Block {  // a minute's statistics per axis, for the non-wear windows
    uint64_t n = 0;
    double shift[3] = {0, 0, 0}, sum[3] = {0, 0, 0}, squares[3] = {0, 0, 0}, low[3] = {0, 0, 0}, high[3] = {0, 0, 0};
    bool nonwear = false;
  };
  int64_t epochOf(double t) const;
  EpochRow& row(int64_t index);
  Block& block(int64_t index);
  void closeAccelEpoch();
  void judgeWindows(bool final);
  void judge(int64_t first, int64_t count);
  bool settled(const EpochRow& row) const;

  EpochOptions options_;
  double origin_;
  std::deque<EpochRow> rows_;  // from rows_.front().index on, every epoch
  int64_t firstRow_ = 0;       // index of rows_.front() (or of the next row made)
  bool anyRow_ = false;
  // The accelerometer's current epoch, its samples kept for the two-pass metrics.
  int64_t accelEpoch_ = std::numeric_limits<int64_t>::min();
  std::vector<double> ex_, ey_, ez_, norm_, elevation_;
  uint64_t clippedNow_ = 0;
  double reached_[3];  // the last time of each stream (accel, gyro, baro); infinity once ended
  std::deque<Block> blocks_;   // minutes from firstBlock_ on
  int64_t firstBlock_ = 0;
  bool anyBlock_ = false;
  int64_t lastBlock_ = std::numeric_limits<int64_t>::min();  // the last minute with a sample
  int64_t nextWindow_ = 0;     // the next regular window to judge, in steps
  bool tailJudged_ = false;
};

}  // namespace kinovar
