#include "orientation/accurate.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "orientation/streaming.h"

namespace kinovar {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRadPerDeg = kPi / 180.0;

inline void multiply(const double a[4], const double b[4], double out[4]) {
  const double w = a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3];
  const double x = a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2];
  const double y = a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1];
  const double z = a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0];
  out[0] = w, out[1] = x, out[2] = y, out[3] = z;
}

inline void normalize(double q[4]) {
  const double s = 1.0 / std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  for (int i = 0; i < 4; ++i) q[i] *= s;
}

// For a quaternion already within rounding of unit length (a product of unit
// ones): one Newton step towards 1 / |q|, no square root.
inline void renormalize(double q[4]) {
  const double s = 0.5 * (3.0 - (q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]));
  for (int i = 0; i < 4; ++i) q[i] *= s;
}

// v turned by q: the vector part of q (0, v) q*.
inline void rotate(const double q[4], const double v[3], double out[3]) {
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  // t = 2 (q.xyz x v); out = v + w t + q.xyz x t
  const double tx = 2 * (y * v[2] - z * v[1]), ty = 2 * (z * v[0] - x * v[2]), tz = 2 * (x * v[1] - y * v[0]);
  out[0] = v[0] + w * tx + (y * tz - z * ty);
  out[1] = v[1] + w * ty + (z * tx - x * tz);
  out[2] = v[2] + w * tz + (x * ty - y * tx);
}

// World up seen in sensor axes: the third row of q's rotation matrix.
inline void upInSensor(const double q[4], double u[3]) {
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  u[0] = 2 * (x * z - w * y), u[1] = 2 * (y * z + w * x), u[2] = w * w - x * x - y * y + z * z;
}

// The rotation without heading that turns the unit vector u into +z.
void tiltTo(const double u[3], double q[4]) {
  if (u[2] > -1.0 + 1e-12) {
    const double w = std::sqrt(0.5 * (u[2] + 1.0));
    q[0] = w, q[1] = u[1] / (2 * w), q[2] = -u[0] / (2 * w), q[3] = 0;
  } else {
    q[0] = 0, q[1] = 1, q[2] = 0, q[3] = 0;  // upside down: any half turn about a level axis
  }
  normalize(q);
}

LowPass2 butterworth(double timeConstant, double period) {
  // Cut-off sqrt(2) / (2 pi tau): the step response settles like a first order of tau.
  const double cutoff = std::sqrt(2.0) / (2.0 * kPi * timeConstant);
  const double k = std::tan(kPi * cutoff * period);
  const double norm = 1.0 / (1.0 + std::sqrt(2.0) * k + k * k);
  LowPass2 f;
  f.b0 = k * k * norm, f.b1 = 2 * f.b0, f.b2 = f.b0;
  f.a1 = 2 * (k * k - 1) * norm, f.a2 = (1 - std::sqrt(2.0) * k + k * k) * norm;
  return f;
}

inline double filter(const LowPass2& f, double state[2], double x) {
  const double y = f.b0 * x + state[0];
  state[0] = f.b1 * x - f.a1 * y + state[1];
  state[1] = f.b2 * x - f.a2 * y;
  return y;
}

// The state of a filter that has long seen only x.
inline void settle(const LowPass2& f, double state[2], double x) {
  state[0] = x - f.b0 * x;
  state[1] = f.b2 * x - f.a2 * x;
}

inline void orientationRows(const double q[4], double rows[6]) {
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  rows[0] = 1 - 2 * (y * y + z * z), rows[1] = 2 * (x * y - w * z), rows[2] = 2 * (x * z + w * y);
  rows[3] = 2 * (x * y + w * z), rows[4] = 1 - 2 * (x * x + z * z), rows[5] = 2 * (y * z - w * x);
}

void clipBias(AccuratePass& p) {
  for (double& b : p.bias) b = std::clamp(b, -p.biasClip, p.biasClip);
}

// Bias seen directly while still: z = bias, all three axes.
void restUpdate(AccuratePass& p, const double z[3]) {
  double s[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) s[i][j] = p.biasCovariance[i][j] + (i == j ? p.biasRestNoise : 0.0);
  const double c00 = s[1][1] * s[2][2] - s[1][2] * s[2][1], c01 = s[1][2] * s[2][0] - s[1][0] * s[2][2],
               c02 = s[1][0] * s[2][1] - s[1][1] * s[2][0];
  const double det = s[0][0] * c00 + s[0][1] * c01 + s[0][2] * c02;
  const double inv[3][3] = {
      {c00 / det, (s[0][2] * s[2][1] - s[0][1] * s[2][2]) / det, (s[0][1] * s[1][2] - s[0][2] * s[1][1]) / det},
      {c01 / det, (s[0][0] * s[2][2] - s[0][2] * s[2][0]) / det, (s[0][2] * s[1][0] - s[0][0] * s[1][2]) / det},
      {c02 / det, (s[0][1] * s[2][0] - s[0][0] * s[2][1]) / det, (s[0][0] * s[1][1] - s[0][1] * s[1][0]) / det}};
  double k[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      k[i][j] = p.biasCovariance[i][0] * inv[0][j] + p.biasCovariance[i][1] * inv[1][j] + p.biasCovariance[i][2] * inv[2][j];
  double innovation[3];
  for (int i = 0; i < 3; ++i) innovation[i] = z[i] - p.bias[i];
  for (int i = 0; i < 3; ++i) p.bias[i] += k[i][0] * innovation[0] + k[i][1] * innovation[1] + k[i][2] * innovation[2];
  double next[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      next[i][j] = p.biasCovariance[i][j] - (k[i][0] * p.biasCovariance[0][j] + k[i][1] * p.biasCovariance[1][j] +
                                              k[i][2] * p.biasCovariance[2][j]);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) p.biasCovariance[i][j] = 0.5 * (next[i][j] + next[j][i]);
}

// Bias seen in motion: the correction rate r (world x, y) that the
// accelerometer asks for is minus the horizontal part of the residual bias
// turned into the world, seen through the same low-pass: r = -H (b - b_est).
void motionUpdate(AccuratePass& p, const double r[2]) {
  const double* h = p.rows;  // H: 2 x 3, row by row
  double ph[3][2];           // P H^T
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 2; ++j)
      ph[i][j] = p.biasCovariance[i][0] * h[3 * j] + p.biasCovariance[i][1] * h[3 * j + 1] +
                 p.biasCovariance[i][2] * h[3 * j + 2];
  double s[2][2];
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j)
      s[i][j] = h[3 * i] * ph[0][j] + h[3 * i + 1] * ph[1][j] + h[3 * i + 2] * ph[2][j] + (i == j ? p.biasMotionNoise : 0.0);
  const double det = s[0][0] * s[1][1] - s[0][1] * s[1][0];
  const double inv[2][2] = {{s[1][1] / det, -s[0][1] / det}, {-s[1][0] / det, s[0][0] / det}};
  double k[3][2];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 2; ++j) k[i][j] = ph[i][0] * inv[0][j] + ph[i][1] * inv[1][j];
  for (int i = 0; i < 3; ++i) p.bias[i] -= k[i][0] * r[0] + k[i][1] * r[1];
  for (int i = 0; i < 3; ++i)
    for (int j = i; j < 3; ++j) {
      const double v = p.biasCovariance[i][j] - (k[i][0] * ph[j][0] + k[i][1] * ph[j][1]);
      p.biasCovariance[i][j] = p.biasCovariance[j][i] = v;
    }
}

}  // namespace

void accuratePassInit(AccuratePass& p, double rate, const AccurateParameters& parameters) {
  p = AccuratePass{};
  p.parameters = parameters;
  p.period = 1.0 / rate;
  p.slowEvery = std::max<int64_t>(1, static_cast<int64_t>(rate / parameters.slowRateHz));
  p.slowCountdown = 1;  // a cold pass inclines on its first sample, so even a few samples stand upright
  const double slowPeriod = p.period * static_cast<double>(p.slowEvery);
  p.accelFilter = butterworth(parameters.accelTimeConstant, slowPeriod);
  p.restAlpha = 1.0 - std::exp(-p.period / parameters.restTimeConstant);
  p.gyroRotation[0] = 1, p.inclination[0] = 1;
  const double sigma = parameters.biasSigmaInit * kRadPerDeg;
  for (int i = 0; i < 3; ++i) p.biasCovariance[i][i] = sigma * sigma;
  p.biasProcessNoise = sigma * sigma * slowPeriod / parameters.biasForgetSeconds;
  // Every correction is a measurement of the bias, but they are far from
  // independent: a noise that makes the steady-state gain settle the bias
  // over biasMotionSeconds, well above the correction's own time constant,
  // keeps the two loops apart (gain sqrt(Q / R) = update period / seconds).
  p.biasMotionNoise = p.biasProcessNoise * std::pow(parameters.biasMotionSeconds / slowPeriod, 2);
  p.biasRestNoise = std::pow(parameters.biasSigmaRest * kRadPerDeg, 2);
  p.biasClip = parameters.biasClip * kRadPerDeg;
  p.youngSteps = std::max<int64_t>(1, static_cast<int64_t>(parameters.accelTimeConstant / slowPeriod));
}

void accuratePassWarmStart(AccuratePass& p, const double quaternion[4], const double bias[3]) {
  for (int i = 0; i < 4; ++i) p.gyroRotation[i] = quaternion[i];
  normalize(p.gyroRotation);
  p.inclination[0] = 1, p.inclination[1] = p.inclination[2] = p.inclination[3] = 0;
  for (int i = 0; i < 3; ++i) p.bias[i] = bias[i];
  clipBias(p);
  // The drifting frame starts as the world, so gravity there is up.
  for (int i = 0; i < 3; ++i) settle(p.accelFilter, p.accelState[i], i == 2 ? 1.0 : 0.0);
  orientationRows(p.gyroRotation, p.rows);
  for (int i = 0; i < 6; ++i) settle(p.accelFilter, p.rowsState[i], p.rows[i]);
  p.youngSteps = 0;
  p.slowCountdown = p.slowEvery;
}

namespace {

// The vector if plausible, else the last plausible one; remembers it.
const double* plausible(const double* v, double last[3]) {
  if (!(std::fabs(v[0]) < 1e6 && std::fabs(v[1]) < 1e6 && std::fabs(v[2]) < 1e6)) return last;
  std::copy(v, v + 3, last);
  return v;
}

}  // namespace

namespace {

// Gyroscope strapdown into the drifting frame: q (cos h, sin h axis), h
// half the angle turned in this sample.
void strapdown(AccuratePass& p, const double* gyroDps) {
  const double T = p.period;
  double w[3];
  for (int i = 0; i < 3; ++i) w[i] = gyroDps[i] * kRadPerDeg - p.bias[i];
  const double h2 = 0.25 * T * T * (w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
  double c, k;  // cos h and sin(h) / h * T / 2
  if (h2 < 0.04) {  // series, exact to double rounding below h = 0.2
    c = 1 - h2 / 2 * (1 - h2 / 12 * (1 - h2 / 30 * (1 - h2 / 56)));
    k = 0.5 * T * (1 - h2 / 6 * (1 - h2 / 20 * (1 - h2 / 42 * (1 - h2 / 72))));
  } else {
    const double h = std::sqrt(h2);
    c = std::cos(h), k = 0.5 * T * std::sin(h) / h;
  }
  const double dq[4] = {c, w[0] * k, w[1] * k, w[2] * k};
  double q[4];
  multiply(p.gyroRotation, dq, q);
  renormalize(q);
  for (int i = 0; i < 4; ++i) p.gyroRotation[i] = q[i];
}

// Still test: both sensors close to their smoothed values for a while, and
// the smoothed rate small. Steadiness alone would take a steady turn for
// rest, and its rate for bias.
void restTest(AccuratePass& p, const double* accel, const double* gyroDps) {
  double gyroDev = 0, accelDev = 0, rate = 0;
  for (int i = 0; i < 3; ++i) {
    p.restGyro[i] += p.restAlpha * (gyroDps[i] - p.restGyro[i]);
    p.restAccel[i] += p.restAlpha * (accel[i] - p.restAccel[i]);
    gyroDev += (gyroDps[i] - p.restGyro[i]) * (gyroDps[i] - p.restGyro[i]);
    accelDev += (accel[i] - p.restAccel[i]) * (accel[i] - p.restAccel[i]);
    rate += p.restGyro[i] * p.restGyro[i];
  }
  const double gth = p.parameters.restGyroThreshold, ath = p.parameters.restAccelThreshold;
  const double rth = p.parameters.restRateThreshold;
  p.restSeconds = (gyroDev < gth * gth && accelDev < ath * ath && rate < rth * rth) ? p.restSeconds + p.period : 0.0;
}

// The slow step's mean acceleration in the drifting frame, low-passed there.
void filteredInFrame(AccuratePass& p, bool young, double filtered[3]) {
  double mean[3];
  const double inv = 1.0 / static_cast<double>(p.stepSamples);
  for (int i = 0; i < 3; ++i) mean[i] = p.accelSum[i] * inv, p.accelSum[i] = 0;
  if (young) {
    // Until the low-pass could have settled, the plain mean is the better guess.
    const double weight = 1.0 / static_cast<double>(p.slowSteps + 1);
    for (int i = 0; i < 3; ++i) filtered[i] = p.accelMean[i] += weight * (mean[i] - p.accelMean[i]);
    if (p.slowSteps + 1 == p.youngSteps)
      for (int i = 0; i < 3; ++i) settle(p.accelFilter, p.accelState[i], p.accelMean[i]);
  } else {
    for (int i = 0; i < 3; ++i) filtered[i] = filter(p.accelFilter, p.accelState[i], mean[i]);
  }
}

// Inclination: turn the filtered vector straight up. `asked` is the world
// x, y rotation that took.
void incline(AccuratePass& p, const double filtered[3], double asked[2]) {
  asked[0] = asked[1] = 0;
  double up[3];
  rotate(p.inclination, filtered, up);
  const double norm2 = up[0] * up[0] + up[1] * up[1] + up[2] * up[2];
  if (!(norm2 > 1e-18)) return;  // NaN too
  const double inv = 1.0 / std::sqrt(norm2);
  for (double& v : up) v *= inv;
  double correction[4], q[4];
  tiltTo(up, correction);
  multiply(correction, p.inclination, q);
  renormalize(q);
  for (int i = 0; i < 4; ++i) p.inclination[i] = q[i];
  asked[0] = 2 * correction[1], asked[1] = 2 * correction[2];
}

// The orientation's first two rows, seen through the same low-pass as the correction.
void filterRows(AccuratePass& p, bool young) {
  double q[4], rows[6];
  multiply(p.inclination, p.gyroRotation, q);
  orientationRows(q, rows);
  if (young) {
    for (int i = 0; i < 6; ++i) p.rows[i] = rows[i];
    if (p.slowSteps + 1 == p.youngSteps)
      for (int i = 0; i < 6; ++i) settle(p.accelFilter, p.rowsState[i], rows[i]);
  } else {
    for (int i = 0; i < 6; ++i) p.rows[i] = filter(p.accelFilter, p.rowsState[i], rows[i]);
  }
}

// Bias: still, the smoothed rate is the bias; in motion, the rate of the
// correction the accelerometer asked for tells its horizontal part.
void updateBias(AccuratePass& p, bool young, const double asked[2]) {
  for (int i = 0; i < 3; ++i) p.biasCovariance[i][i] += p.biasProcessNoise;
  if (p.restSeconds >= p.parameters.restMinSeconds) {
    const double z[3] = {p.restGyro[0] * kRadPerDeg, p.restGyro[1] * kRadPerDeg, p.restGyro[2] * kRadPerDeg};
    restUpdate(p, z);
  } else if (!young) {
    const double span = p.period * static_cast<double>(p.stepSamples);
    const double r[2] = {asked[0] / span, asked[1] / span};
    motionUpdate(p, r);
  }
  clipBias(p);
}

// What changes over seconds runs at the slow rate: the acceleration's
// low-pass (an average over the step is all it needs), the inclination and
// the bias.
void slowStep(AccuratePass& p) {
  const bool young = p.slowSteps < p.youngSteps;
  double filtered[3], asked[2];
  filteredInFrame(p, young, filtered);
  incline(p, filtered, asked);
  filterRows(p, young);
  ++p.slowSteps;
  updateBias(p, young, asked);
  p.stepSamples = 0;
}

}  // namespace

void accuratePassStep(AccuratePass& p, const double* accel, const double* gyroDps) {
  accel = plausible(accel, p.lastAccel);
  gyroDps = plausible(gyroDps, p.lastGyro);
  if (p.samples == 0)
    for (int i = 0; i < 3; ++i) p.restGyro[i] = gyroDps[i], p.restAccel[i] = accel[i];
  strapdown(p, gyroDps);
  restTest(p, accel, gyroDps);
  double inFrame[3];
  rotate(p.gyroRotation, accel, inFrame);
  for (int i = 0; i < 3; ++i) p.accelSum[i] += inFrame[i];
  ++p.samples, ++p.stepSamples;
  if (--p.slowCountdown > 0) return;
  p.slowCountdown = p.slowEvery;
  slowStep(p);
}

void accuratePassQuaternion(const AccuratePass& p, double quaternion[4]) {
  multiply(p.inclination, p.gyroRotation, quaternion);
}

namespace {

// Continues a pass from another one's end, time reversed: the rates change
// sign and so does the bias; the uncertainty of the bias carries over.
void reverseFrom(AccuratePass& pass, const double quaternion[4], double rate, const AccurateParameters& parameters) {
  const double bias[3] = {-pass.bias[0], -pass.bias[1], -pass.bias[2]};
  double covariance[3][3];
  std::copy(&pass.biasCovariance[0][0], &pass.biasCovariance[0][0] + 9, &covariance[0][0]);
  accuratePassInit(pass, rate, parameters);
  accuratePassWarmStart(pass, quaternion, bias);
  std::copy(&covariance[0][0], &covariance[0][0] + 9, &pass.biasCovariance[0][0]);
}

}  // namespace

namespace {

// How many pass states one level of the backward pass keeps; a recording of
// more chunks than this is split into pieces, each swept again.
constexpr uint64_t kCheckpoints = 4096;

// How many chunks' verticals the checkpointing sweep keeps: its last chunks
// are the forward pass's first, so they need no second sweep. At most 16
// chunks and 8 MB, each let go once met: they are held while the first rows
// are written, so they add to the peak. Five chunks at the default, where
// each of the 16 cost 1.5 MB to save a sweep of about 4 ms.
constexpr uint64_t kKeptChunks = 16;
constexpr uint64_t kKeptBytes = 8 << 20;

// The three passes over a source, a chunk at a time.
class ChunkedEstimate {
 public:
  ChunkedEstimate(const ImuSource& source, uint64_t chunk, const QuaternionChunkFn& emit,
                  const AccurateParameters& parameters)
      : source_(source), n_(source.count), chunk_(chunk), emit_(emit), parameters_(parameters),
        accel_(3 * chunk), gyro_(3 * chunk), up_(3 * chunk), out_(4 * chunk) {}

  void run() {
    // Forward, cold, over the recording's last minute: learns the bias and
    // where the recording ends.
    AccuratePass pass;
    accuratePassInit(pass, source_.rate, parameters_);
    const double warmup = std::max(1.0, parameters_.warmupSeconds * source_.rate);
    for (uint64_t lo = n_ > warmup ? n_ - static_cast<uint64_t>(warmup) : 0; lo < n_; lo += chunk_) {
      const uint64_t m = std::min(chunk_, n_ - lo);
      source_.read(lo, m, accel_.data(), gyro_.data());
      double a[3], w[3];
      for (uint64_t i = 0; i < m; ++i) {
        sample(i, m, a, w);
        accuratePassStep(pass, a, w);
      }
    }
    // Backward from there; each chunk's verticals then meet the forward pass.
    double q[4];
    accuratePassQuaternion(pass, q);
    reverseFrom(pass, q, source_.rate, parameters_);
    backward({pass, {}}, 0, n_);
  }

 private:
  // The backward pass about to take sample hi - 1, and the gyroscope of
  // sample hi, which turns it there: every chunk is then read once a sweep,
  // and the chunks of a forward sweep one after the other.
  struct Checkpoint {
    AccuratePass pass;
    double nextGyro[3];
  };

  void sample(uint64_t i, uint64_t stride, double a[3], double w[3]) const {
    for (uint64_t c = 0; c < 3; ++c) a[c] = accel_[c * stride + i], w[c] = gyro_[c * stride + i];
  }

  // The backward pass over samples hi - 1 down to lo, from its state before
  // sample hi - 1. Up to kCheckpoints pieces: the pass runs over them once,
  // keeping its state at each piece's end, then over each again in forward
  // order, so that chunks reach the forward pass first to last. Where the
  // pieces are chunks, the first few keep their verticals from the first run.
  void backward(const Checkpoint& from, uint64_t lo, uint64_t hi) {
    if (hi - lo <= chunk_) {
      Checkpoint at = from;
      sweep(at, lo, hi, up_.data());
      return meet(lo, hi - lo, up_.data(), at.pass);
    }
    const uint64_t chunks = (hi - lo + chunk_ - 1) / chunk_;
    const uint64_t piece = (chunks + kCheckpoints - 1) / kCheckpoints * chunk_;
    const uint64_t pieces = (hi - lo + piece - 1) / piece;
    const uint64_t keepable = std::min(kKeptChunks, kKeptBytes / (3 * sizeof(double) * chunk_));
    const uint64_t kept = piece == chunk_ ? std::min(pieces, keepable) : 0;
    kept_.resize(kept);
    for (std::vector<double>& up : kept_) up.resize(3 * chunk_);
    std::vector<Checkpoint> starts(pieces);
    Checkpoint at = from;
    for (uint64_t k = pieces; k-- > 0;) {
      starts[k] = at;
      const uint64_t pieceLo = lo + k * piece, pieceHi = std::min(hi, pieceLo + piece);
      for (uint64_t end = pieceHi; end > pieceLo;) {
        const uint64_t begin = end - std::min(chunk_, end - pieceLo);
        sweep(at, begin, end, k < kept ? kept_[k].data() : nullptr);
        end = begin;
      }
    }
    // `at` is now the backward pass at sample lo, where the forward pass
    // starts, and the buffers still hold the first chunk.
    for (uint64_t k = 0; k < kept; ++k) {
      const uint64_t begin = lo + k * chunk_, m = std::min(chunk_, hi - begin);
      if (k > 0) source_.read(begin, m, accel_.data(), gyro_.data());
      meet(begin, m, kept_[k].data(), at.pass);
      std::vector<double>().swap(kept_[k]);
    }
    for (uint64_t k = kept; k < pieces; ++k) backward(starts[k], lo + k * piece, std::min(hi, lo + (k + 1) * piece));
  }

  // The backward pass over one chunk, its verticals into `up` unless null.
  // Going from sample i + 1 to i turns by sample i + 1's rate.
  void sweep(Checkpoint& at, uint64_t lo, uint64_t hi, double* up) {
    const uint64_t m = hi - lo;
    source_.read(lo, m, accel_.data(), gyro_.data());
    double a[3], w[3], q[4], u[3];
    for (uint64_t j = m; j-- > 0;) {
      sample(j, m, a, w);
      for (uint64_t c = 0; c < 3; ++c)
        w[c] = lo + j + 1 == n_ ? 0.0 : j + 1 < m ? -gyro_[c * m + j + 1] : -at.nextGyro[c];
      accuratePassStep(at.pass, a, w);
      if (!up) continue;
      accuratePassQuaternion(at.pass, q);
      upInSensor(q, u);
      for (uint64_t c = 0; c < 3; ++c) up[c * m + j] = u[c];
    }
    for (uint64_t c = 0; c < 3; ++c) at.nextGyro[c] = gyro_[c * m];
  }

  // The forward pass over the m samples from lo, read into the buffers,
  // blended with the backward pass's verticals `up`; at the first sample it
  // starts from `backwardAtLo`, the backward pass's state there.
  void meet(uint64_t lo, uint64_t m, const double* up, const AccuratePass& backwardAtLo) {
    if (lo == 0) {
      // Forward again from the backward pass's first sample, heading zero.
      const double u0[3] = {up[0], up[m], up[2 * m]};
      double q[4];
      tiltTo(u0, q);
      forward_ = backwardAtLo;
      reverseFrom(forward_, q, source_.rate, parameters_);
    }
    const double zero[3] = {0, 0, 0};
    double a[3], w[3], q[4];
    for (uint64_t j = 0; j < m; ++j) {
      sample(j, m, a, w);
      accuratePassStep(forward_, a, lo + j == 0 ? zero : w);
      accuratePassQuaternion(forward_, q);
      for (uint64_t c = 0; c < 4; ++c) out_[c * m + j] = q[c];
    }
    // The blend of each sample stands alone: a loop of its own, whose
    // square roots and divisions overlap from one sample to the next.
    for (uint64_t j = 0; j < m; ++j) {
      for (uint64_t c = 0; c < 4; ++c) q[c] = out_[c * m + j];
      // Meet the backward vertical halfway: the two passes' errors (lag,
      // residual bias drift) have opposite signs. s turns mid onto forward,
      // so q s has mid as its vertical and keeps q's heading.
      double forward[3], mid[3];
      upInSensor(q, forward);
      for (uint64_t c = 0; c < 3; ++c) mid[c] = forward[c] + up[c * m + j];
      const double m2 = mid[0] * mid[0] + mid[1] * mid[1] + mid[2] * mid[2];
      if (m2 > 1e-18) {
        const double inv = 1.0 / std::sqrt(m2);
        for (double& v : mid) v *= inv;
        double s[4] = {1 + mid[0] * forward[0] + mid[1] * forward[1] + mid[2] * forward[2],
                       mid[1] * forward[2] - mid[2] * forward[1], mid[2] * forward[0] - mid[0] * forward[2],
                       mid[0] * forward[1] - mid[1] * forward[0]};
        normalize(s);
        double blended[4];
        multiply(q, s, blended);
        std::copy(blended, blended + 4, q);
      }
      normalize(q);
      for (uint64_t c = 0; c < 4; ++c) out_[c * m + j] = q[c];
    }
    emit_(lo, m, out_.data());
  }

  const ImuSource& source_;
  const uint64_t n_, chunk_;
  const QuaternionChunkFn& emit_;
  const AccurateParameters& parameters_;
  std::vector<double> accel_, gyro_, up_, out_;
  std::vector<std::vector<double>> kept_;  // verticals of the first chunks, from the checkpointing sweep
  AccuratePass forward_{};
};

}  // namespace

void estimateAccurateChunked(const ImuSource& source, uint64_t chunk, const QuaternionChunkFn& emit,
                             const AccurateParameters& parameters) {
  if (source.count == 0) return;
  ChunkedEstimate(source, chunk ? chunk : kAccurateChunk, emit, parameters).run();
}

void estimateAccurate(const double* accel, uint64_t accelStride, const double* gyro, uint64_t gyroStride, uint64_t n,
                      double rate, double* out, const AccurateParameters& parameters,
                      const std::function<void(uint64_t)>& finished) {
  ImuSource source{n, rate, [&](uint64_t first, uint64_t m, double* a, double* g) {
                     for (uint64_t c = 0; c < 3; ++c) {
                       std::copy_n(accel + c * accelStride + first, m, a + c * m);
                       std::copy_n(gyro + c * gyroStride + first, m, g + c * m);
                     }
                   }};
  estimateAccurateChunked(source, kAccurateChunk, [&](uint64_t first, uint64_t m, const double* q) {
    for (uint64_t c = 0; c < 4; ++c) std::copy_n(q + c * m, m, out + c * n + first);
    if (finished) finished(first + m);
  }, parameters);
}

}  // namespace kinovar
