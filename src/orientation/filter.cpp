#include "orientation/filter.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace kinovar {

namespace {

// One unit in the last place below the rounding of 180/pi; part of the output.
constexpr float kDegreesPerRadian = std::bit_cast<float>(uint32_t{0x42652EE0});

float norm3(const float v[3]) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

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
inline F4 combine4(const float c[4], const F4 rows[4]) {
  return splat(c[0]) * rows[0] + splat(c[1]) * rows[1] + splat(c[2]) * rows[2] + splat(c[3]) * rows[3];
}
inline F4 combine3(const float c[3], const F4 rows[3]) {
  return splat(c[0]) * rows[0] + splat(c[1]) * rows[1] + splat(c[2]) * rows[2];
}

}  // namespace

void quatNormalize(Quaternion& q) {
  const float s = q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z;
  if (s == 0.0f) return;
  const F4 n = F4{q.w, q.x, q.y, q.z} / splat(std::sqrt(s));
  q = {n[0], n[1], n[2], n[3]};
}

Quaternion quatMultiply(const Quaternion& a, const Quaternion& b) {
  Quaternion p{a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
               a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
  quatNormalize(p);
  return p;
}

// Gauss-Jordan on [A | I] without row exchanges; a row is two lane groups,
// columns 0-3 and 4-5 (the last two lanes are padding).
void invert3x3(const float a[3][3], float out[3][3]) {
  F4 left[3], right[3];
  for (int i = 0; i < 3; ++i) {
    left[i] = F4{a[i][0], a[i][1], a[i][2], i == 0 ? 1.0f : 0.0f};
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
  for (int i = 0; i < 3; ++i) out[i][0] = left[i][3], out[i][1] = right[i][0], out[i][2] = right[i][1];
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

void freeAcceleration(const float q[4], const float a[3], float out[3]) {
  const Quaternion rotation{q[0], q[1], q[2], q[3]};
  const Quaternion p = quatMultiply(rotation, Quaternion{0.0f, a[0], a[1], a[2]});
  Quaternion e{q[0], -q[1], -q[2], -q[3]};
  quatNormalize(e);
  const Quaternion r = quatMultiply(p, e);
  const float length = norm3(a);
  out[0] = length * r.x;
  out[1] = length * r.y;
  out[2] = length * r.z - 1.0f;
}

void predictWithGyro(OrientationFilter* s, const float omegaRadians[3]) {
  const float hx = s->halfSamplePeriod * omegaRadians[0];
  const float hy = s->halfSamplePeriod * omegaRadians[1];
  const float hz = s->halfSamplePeriod * omegaRadians[2];
  const float f[4][4] = {{1.0f, -hx, -hy, -hz}, {hx, 1.0f, hz, -hy}, {hy, -hz, 1.0f, hx}, {hz, hy, -hx, 1.0f}};
  // Lane j of column k is f[j][k].
  const F4 columns[4] = {F4{f[0][0], f[1][0], f[2][0], f[3][0]}, F4{f[0][1], f[1][1], f[2][1], f[3][1]},
                         F4{f[0][2], f[1][2], f[2][2], f[3][2]}, F4{f[0][3], f[1][3], f[2][3], f[3][3]}};
  store(s->quaternion, combine4(s->quaternion, columns));

  F4 p[4];
  for (int i = 0; i < 4; ++i) p[i] = load(s->covariance[i]);
  for (int i = 0; i < 4; ++i) {
    float fp[4];
    store(fp, combine4(f[i], p));  // row i of F P
    const F4 noise = s->moving ? unit(i, 0.0001f) : load(s->stillProcessNoise[i]);
    store(s->covariance[i], combine4(fp, columns) + noise);  // row i of F P F^T + Q
  }
}

void correctWithAccel(OrientationFilter* s, const float a[3]) {
  const float w = s->quaternion[0], x = s->quaternion[1], y = s->quaternion[2], z = s->quaternion[3];
  const float h[3] = {2.0f * (x * z - w * y), 2.0f * (y * z + w * x), w * w - x * x - y * y + z * z};
  const float jacobian[3][4] = {{-2.0f * y, 2.0f * z, -2.0f * w, 2.0f * x},
                                {2.0f * x, 2.0f * w, 2.0f * z, 2.0f * y},
                                {2.0f * w, -2.0f * x, -2.0f * y, 2.0f * z}};
  const float innovation[3] = {a[0] - h[0], a[1] - h[1], a[2] - h[2]};
  F4 p[4];
  for (int i = 0; i < 4; ++i) p[i] = load(s->covariance[i]);
  const F4 jacobianRows[3] = {load(jacobian[0]), load(jacobian[1]), load(jacobian[2])};
  // Lane j of column k is jacobian[j][k]; lane 3 is padding.
  F4 jacobianColumns[4];
  for (int k = 0; k < 4; ++k) jacobianColumns[k] = F4{jacobian[0][k], jacobian[1][k], jacobian[2][k], 0.0f};

  float innovationCovariance[3][3];  // H P H^T + R
  for (int i = 0; i < 3; ++i) {
    float hp[4];
    store(hp, combine4(jacobian[i], p));  // row i of H P
    const F4 noise = s->moving ? unit(i, 10000.0f)
                               : F4{s->stillAccelNoise[i][0], s->stillAccelNoise[i][1], s->stillAccelNoise[i][2], 0.0f};
    const F4 row = combine4(hp, jacobianColumns) + noise;
    for (int j = 0; j < 3; ++j) innovationCovariance[i][j] = row[j];
  }
  float inverse[3][3];
  invert3x3(innovationCovariance, inverse);
  const F4 inverseRows[3] = {F4{inverse[0][0], inverse[0][1], inverse[0][2], 0.0f},
                             F4{inverse[1][0], inverse[1][1], inverse[1][2], 0.0f},
                             F4{inverse[2][0], inverse[2][1], inverse[2][2], 0.0f}};
  float gain[4][4];
  for (int i = 0; i < 4; ++i) {
    float pht[4];
    store(pht, combine4(s->covariance[i], jacobianColumns));  // row i of P H^T
    store(gain[i], combine3(pht, inverseRows));              // row i of K
  }

  Quaternion q{w + (gain[0][0] * innovation[0] + gain[0][1] * innovation[1] + gain[0][2] * innovation[2]),
               x + (gain[1][0] * innovation[0] + gain[1][1] * innovation[1] + gain[1][2] * innovation[2]),
               y + (gain[2][0] * innovation[0] + gain[2][1] * innovation[1] + gain[2][2] * innovation[2]),
               z + (gain[3][0] * innovation[0] + gain[3][1] * innovation[1] + gain[3][2] * innovation[2])};
  quatNormalize(q);
  s->quaternion[0] = q.w, s->quaternion[1] = q.x, s->quaternion[2] = q.y, s->quaternion[3] = q.z;

  for (int i = 0; i < 4; ++i) {
    float ikh[4];
    store(ikh, unit(i, 1.0f) - combine3(gain[i], jacobianRows));  // row i of I - K H
    store(s->covariance[i], combine4(ikh, p));             // row i of (I - K H) P
  }
}

void filterCycle(OrientationFilter* s, const float a[3], const float omega[3]) {
  const float accelNorm = norm3(a);
  s->moving = 1;
  if (s->stillThresholds[0] > std::fabs(accelNorm - norm3(s->previousFreeAcceleration)) &&
      s->stillThresholds[1] > std::fabs(accelNorm - 1.0f) && s->stillThresholds[2] > norm3(omega))
    s->moving = 0;
  const float radians[3] = {omega[0] / s->degreesPerRadian, omega[1] / s->degreesPerRadian, omega[2] / s->degreesPerRadian};
  predictWithGyro(s, radians);
  correctWithAccel(s, a);
  freeAcceleration(s->quaternion, a, s->previousFreeAcceleration);
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
  s->queueWrite = (s->queueWrite + 1) % s->queueCapacity;
  --s->queueFree;
  return true;
}

StepResult orientationFilterStep(OrientationFilter* s, float quaternion[4]) {
  if (s->queueFree >= s->queueCapacity) return NoSample;
  float sample[6];
  std::memcpy(sample, s->queue[s->queueRead], sizeof sample);
  ++s->queueFree;
  s->queueRead = (s->queueRead + 1) % s->queueCapacity;
  const float* a = sample;
  const float* omega = sample + 3;
  // One bad value would spread into the quaternion and the covariance and
  // spoil every later sample: such a sample is skipped, state untouched.
  for (float v : sample)
    if (!std::isfinite(v)) return Rejected;

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
