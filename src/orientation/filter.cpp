#include "orientation/filter.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace kinovar {

namespace {

// One unit in the last place below the rounding of 180/pi; part of the output.
constexpr float kDegreesPerRadian = std::bit_cast<float>(uint32_t{0x42652EE0});

// Four lanes of single precision. Every lane does exactly the operations, in
// the order, that the scalar formula does for its element, so a lane-wise
// product sum gives the same bits as the scalar one; it just does four at once.
#if defined(__GNUC__)
typedef float F4 __attribute__((vector_size(16)));
#else
struct F4 {
  float v[4];
  float& operator[](int i) { return v[i]; }
  float operator[](int i) const { return v[i]; }
};
inline F4 operator+(F4 a, F4 b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2], a[3] + b[3]}; }
inline F4 operator-(F4 a, F4 b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2], a[3] - b[3]}; }
inline F4 operator*(F4 a, F4 b) { return {a[0] * b[0], a[1] * b[1], a[2] * b[2], a[3] * b[3]}; }
inline F4 operator/(F4 a, F4 b) { return {a[0] / b[0], a[1] / b[1], a[2] / b[2], a[3] / b[3]}; }
#endif

inline F4 splat(float x) { return F4{x, x, x, x}; }
inline F4 load(const float* p) {
  F4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store(float* p, F4 v) { std::memcpy(p, &v, sizeof v); }
// `value` in lane i, zeros elsewhere: row i of a diagonal matrix.
inline F4 unit(int i, float value) {
  F4 v = splat(0.0f);
  v[i] = value;
  return v;
}

// sum over k of c[k] * rows[k], left to right: row i of C * M when c is row i of C.
inline F4 combine4(F4 c, const F4 rows[4]) {
  return splat(c[0]) * rows[0] + splat(c[1]) * rows[1] + splat(c[2]) * rows[2] + splat(c[3]) * rows[3];
}
inline F4 combine3(F4 c, const F4 rows[3]) { return splat(c[0]) * rows[0] + splat(c[1]) * rows[1] + splat(c[2]) * rows[2]; }

inline float norm3(const float v[3]) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

// A quaternion as lanes w, x, y, z.
inline F4 normalized(F4 q) {
  const float s = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
  return s == 0.0f ? q : q / splat(std::sqrt(s));
}

// The Hamilton product, normalised. Lane i sums the four products of its
// component in the textbook order; a subtracted product is added negated,
// which rounds the same, so every lane gets the scalar formula's bits.
inline F4 multiplied(F4 a, F4 b) {
  const F4 p = splat(a[0]) * b + splat(a[1]) * F4{-b[1], b[0], -b[3], b[2]} +
               splat(a[2]) * F4{-b[2], b[3], b[0], -b[1]} + splat(a[3]) * F4{-b[3], -b[2], b[1], b[0]};
  return normalized(p);
}

inline F4 asLanes(const Quaternion& q) { return F4{q.w, q.x, q.y, q.z}; }
inline Quaternion asQuaternion(F4 v) { return {v[0], v[1], v[2], v[3]}; }

// Gauss-Jordan on [A | I] without row exchanges; a row is two lane groups,
// columns 0-3 and 4-5 (the last two lanes are padding). Rows of A and of the
// inverse are lanes 0-2.
inline void inverted(const F4 a[3], F4 out[3]) {
  F4 left[3], right[3];
  for (int i = 0; i < 3; ++i) {
    left[i] = a[i];
    left[i][3] = i == 0 ? 1.0f : 0.0f;
    right[i] = F4{i == 1 ? 1.0f : 0.0f, i == 2 ? 1.0f : 0.0f, 0.0f, 0.0f};
  }
  for (int k = 0; k < 3; ++k) {
    const F4 pivot = splat(left[k][k]);
    left[k] = left[k] / pivot;
    right[k] = right[k] / pivot;
    for (int i = 0; i < 3; ++i) {
      if (i == k) continue;
      const F4 factor = splat(left[i][k]);
      left[i] = left[i] - factor * left[k];
      right[i] = right[i] - factor * right[k];
    }
  }
  for (int i = 0; i < 3; ++i) out[i] = F4{left[i][3], right[i][0], right[i][1], 0.0f};
}

// `length` is |a|, which the caller has already.
inline void freeAccelerationOf(F4 q, const float a[3], float length, float out[3]) {
  const F4 p = multiplied(q, F4{0.0f, a[0], a[1], a[2]});
  const F4 r = multiplied(p, normalized(F4{q[0], -q[1], -q[2], -q[3]}));
  out[0] = length * r[1];
  out[1] = length * r[2];
  out[2] = length * r[3] - 1.0f;
}

}  // namespace

void quatNormalize(Quaternion& q) { q = asQuaternion(normalized(asLanes(q))); }

Quaternion quatMultiply(const Quaternion& a, const Quaternion& b) { return asQuaternion(multiplied(asLanes(a), asLanes(b))); }

void invert3x3(const float a[3][3], float out[3][3]) {
  const F4 rows[3] = {F4{a[0][0], a[0][1], a[0][2], 0.0f}, F4{a[1][0], a[1][1], a[1][2], 0.0f},
                      F4{a[2][0], a[2][1], a[2][2], 0.0f}};
  F4 inverse[3];
  inverted(rows, inverse);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out[i][j] = inverse[i][j];
}

Quaternion alignToGravity(const float m[3]) {
  const float length = norm3(m);
  const float ux = m[0] / length, uy = m[1] / length, uz = m[2] / length;
  Quaternion q;
  if (uz >= 0.0f) {
    const float s = std::sqrt(2.0f * (uz + 1.0f));
    q = {std::sqrt((uz + 1.0f) * 0.5f), uy / s, -ux / s, 0.0f};
  } else {
    const float t = 1.0f - uz;
    const float s = std::sqrt(2.0f * t);
    q = {uy / s, std::sqrt(t * 0.5f), 0.0f, ux / s};
  }
  quatNormalize(q);
  return q;
}

void freeAcceleration(const float q[4], const float a[3], float out[3]) { freeAccelerationOf(load(q), a, norm3(a), out); }

namespace {

// The cycle's two halves, inlined into it so that the covariance passes from
// one to the other in registers rather than through the state.
#if defined(__GNUC__)
#define KINOVAR_CYCLE_PART [[gnu::always_inline]] inline
#else
#define KINOVAR_CYCLE_PART inline
#endif

KINOVAR_CYCLE_PART void predict(OrientationFilter* s, const float omegaRadians[3]) {
  const float hx = s->halfSamplePeriod * omegaRadians[0];
  const float hy = s->halfSamplePeriod * omegaRadians[1];
  const float hz = s->halfSamplePeriod * omegaRadians[2];
  const F4 rows[4] = {F4{1.0f, -hx, -hy, -hz}, F4{hx, 1.0f, hz, -hy}, F4{hy, -hz, 1.0f, hx}, F4{hz, hy, -hx, 1.0f}};
  // Lane j of column k is row j's lane k.
  const F4 columns[4] = {F4{1.0f, hx, hy, hz}, F4{-hx, 1.0f, -hz, hy}, F4{-hy, hz, 1.0f, -hx}, F4{-hz, -hy, hx, 1.0f}};
  store(s->quaternion, combine4(load(s->quaternion), columns));

  F4 p[4];
  for (int i = 0; i < 4; ++i) p[i] = load(s->covariance[i]);
  for (int i = 0; i < 4; ++i) {
    const F4 fp = combine4(rows[i], p);  // row i of F P
    const F4 noise = s->moving ? unit(i, 0.0001f) : load(s->stillProcessNoise[i]);
    store(s->covariance[i], combine4(fp, columns) + noise);  // row i of F P F^T + Q
  }
}

KINOVAR_CYCLE_PART void correct(OrientationFilter* s, const float a[3]) {
  const F4 q = load(s->quaternion);
  const float w = q[0], x = q[1], y = q[2], z = q[3];
  const float h[3] = {2.0f * (x * z - w * y), 2.0f * (y * z + w * x), w * w - x * x - y * y + z * z};
  const F4 jacobianRows[3] = {F4{-2.0f * y, 2.0f * z, -2.0f * w, 2.0f * x}, F4{2.0f * x, 2.0f * w, 2.0f * z, 2.0f * y},
                              F4{2.0f * w, -2.0f * x, -2.0f * y, 2.0f * z}};
  const F4 innovation{a[0] - h[0], a[1] - h[1], a[2] - h[2], 0.0f};
  F4 p[4];
  for (int i = 0; i < 4; ++i) p[i] = load(s->covariance[i]);
  // Lane j of column k is jacobian row j's lane k; lane 3 is padding.
  F4 jacobianColumns[4];
  for (int k = 0; k < 4; ++k) jacobianColumns[k] = F4{jacobianRows[0][k], jacobianRows[1][k], jacobianRows[2][k], 0.0f};

  F4 innovationCovariance[3];  // H P H^T + R
  for (int i = 0; i < 3; ++i) {
    const F4 hp = combine4(jacobianRows[i], p);  // row i of H P
    const F4 noise = s->moving ? unit(i, 10000.0f)
                               : F4{s->stillAccelNoise[i][0], s->stillAccelNoise[i][1], s->stillAccelNoise[i][2], 0.0f};
    innovationCovariance[i] = combine4(hp, jacobianColumns) + noise;
  }
  F4 inverseRows[3];
  inverted(innovationCovariance, inverseRows);
  F4 gain[4];
  for (int i = 0; i < 4; ++i) gain[i] = combine3(combine4(p[i], jacobianColumns), inverseRows);  // row i of (P H^T) S^-1

  const F4 corrected{w + (gain[0][0] * innovation[0] + gain[0][1] * innovation[1] + gain[0][2] * innovation[2]),
                     x + (gain[1][0] * innovation[0] + gain[1][1] * innovation[1] + gain[1][2] * innovation[2]),
                     y + (gain[2][0] * innovation[0] + gain[2][1] * innovation[1] + gain[2][2] * innovation[2]),
                     z + (gain[3][0] * innovation[0] + gain[3][1] * innovation[1] + gain[3][2] * innovation[2])};
  store(s->quaternion, normalized(corrected));

  for (int i = 0; i < 4; ++i) {
    const F4 ikh = unit(i, 1.0f) - combine3(gain[i], jacobianRows);  // row i of I - K H
    store(s->covariance[i], combine4(ikh, p));                      // row i of (I - K H) P
  }
}

#undef KINOVAR_CYCLE_PART

}  // namespace

void predictWithGyro(OrientationFilter* s, const float omegaRadians[3]) { predict(s, omegaRadians); }
void correctWithAccel(OrientationFilter* s, const float a[3]) { correct(s, a); }

void filterCycle(OrientationFilter* s, const float a[3], const float omega[3]) {
  const float accelNorm = norm3(a);
  s->moving = 1;
  if (s->stillThresholds[0] > std::fabs(accelNorm - norm3(s->previousFreeAcceleration)) &&
      s->stillThresholds[1] > std::fabs(accelNorm - 1.0f) && s->stillThresholds[2] > norm3(omega))
    s->moving = 0;
  const F4 radians = F4{omega[0], omega[1], omega[2], 0.0f} / splat(s->degreesPerRadian);
  const float omegaRadians[3] = {radians[0], radians[1], radians[2]};
  predict(s, omegaRadians);
  correct(s, a);
  freeAccelerationOf(load(s->quaternion), a, accelNorm, s->previousFreeAcceleration);
}

int orientationFilterSize() { return static_cast<int>(sizeof(OrientationFilter)); }

void orientationFilterInit(OrientationFilter* s, int32_t frequency) {
  std::memset(s, 0, sizeof *s);
  s->quaternion[0] = 1.0f;
  for (int i = 0; i < 4; ++i) s->covariance[i][i] = 0.0001f, s->stillProcessNoise[i][i] = 0.00001f;
  for (int i = 0; i < 3; ++i) s->stillAccelNoise[i][i] = 0.001f;
  s->stillThresholds[0] = 1.006f, s->stillThresholds[1] = 0.06f, s->stillThresholds[2] = 18.0f;
  s->halfSamplePeriod = 0.5f / static_cast<float>(frequency);
  s->degreesPerRadian = kDegreesPerRadian;
  s->queueCapacity = 10;
  s->queueFree = 10;
  s->requiredStillCount = 5;
}

void orientationFilterSetStaticThresholds(OrientationFilter* s, const float thresholds[3]) {
  std::memcpy(s->stillThresholds, thresholds, sizeof s->stillThresholds);
}

void orientationFilterSetProcessNoise(OrientationFilter* s, const float matrix[16]) {
  std::memcpy(s->stillProcessNoise, matrix, sizeof s->stillProcessNoise);
}

void orientationFilterSetMeasurementNoise(OrientationFilter* s, const float matrix[9]) {
  std::memcpy(s->stillAccelNoise, matrix, sizeof s->stillAccelNoise);
}

bool orientationFilterPush(OrientationFilter* s, const float accelerometer[3], const float gyroscope[3]) {
  if (s->queueFree < 1) return false;
  float* slot = s->queue[s->queueWrite];
  std::memcpy(slot, accelerometer, 3 * sizeof(float));
  std::memcpy(slot + 3, gyroscope, 3 * sizeof(float));
  if (++s->queueWrite == s->queueCapacity) s->queueWrite = 0;
  --s->queueFree;
  return true;
}

StepResult orientationFilterStep(OrientationFilter* s, float quaternion[4]) {
  if (s->queueFree >= s->queueCapacity) return NoSample;
  float sample[6];
  std::memcpy(sample, s->queue[s->queueRead], sizeof sample);
  ++s->queueFree;
  if (++s->queueRead == s->queueCapacity) s->queueRead = 0;
  return orientationFilterStepSample(s, sample, sample + 3, quaternion);
}

StepResult orientationFilterStepSample(OrientationFilter* s, const float a[3], const float omega[3], float quaternion[4]) {
  // One bad value would spread into the quaternion and the covariance and
  // spoil every later sample: such a sample is skipped, state untouched.
  for (int i = 0; i < 3; ++i)
    if (!std::isfinite(a[i]) || !std::isfinite(omega[i])) return Rejected;

  if (s->aligned) {
    filterCycle(s, a, omega);
    std::memcpy(quaternion, s->quaternion, 4 * sizeof(float));
    return Updated;
  }
  const bool still = s->stillThresholds[1] > std::fabs(norm3(a) - 1.0f) && s->stillThresholds[2] > norm3(omega);
  if (still) {
    for (int i = 0; i < 3; ++i) s->accelSum[i] = s->accelSum[i] + a[i];
    ++s->stillCount;
  } else if (s->stillCount > 0) {
    s->stillCount = 0;
    s->accelSum[0] = s->accelSum[1] = s->accelSum[2] = 0.0f;
  }
  if (s->stillCount != s->requiredStillCount) {
    std::memcpy(quaternion, s->quaternion, 4 * sizeof(float));
    return Initialising;
  }
  const float required = static_cast<float>(s->requiredStillCount);
  const float mean[3] = {s->accelSum[0] / required, s->accelSum[1] / required, s->accelSum[2] / required};
  const Quaternion q = alignToGravity(mean);
  s->quaternion[0] = q.w, s->quaternion[1] = q.x, s->quaternion[2] = q.y, s->quaternion[3] = q.z;
  std::memcpy(s->previousFreeAcceleration, mean, sizeof mean);
  s->aligned = 1;
  std::memcpy(quaternion, s->quaternion, 4 * sizeof(float));
  return Updated;
}

}  // namespace kinovar
