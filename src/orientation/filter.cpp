#include "orientation/filter.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace kinovar {

namespace {

// One unit in the last place below the rounding of 180/pi; part of the output.
constexpr float kDegreesPerRadian = std::bit_cast<float>(uint32_t{0x42652EE0});

float norm3(const float v[3]) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

}  // namespace

void quatNormalize(Quaternion& q) {
  const float s = q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z;
  if (s == 0.0f) return;
  const float r = std::sqrt(s);
  q.w = q.w / r, q.x = q.x / r, q.y = q.y / r, q.z = q.z / r;
}

Quaternion quatMultiply(const Quaternion& a, const Quaternion& b) {
  Quaternion p{a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
               a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
  quatNormalize(p);
  return p;
}

// Gauss-Jordan on [A | I] without row exchanges.
void invert3x3(const float a[3][3], float out[3][3]) {
  float m[3][6];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[i][j] = a[i][j], m[i][j + 3] = i == j ? 1.0f : 0.0f;
  for (int k = 0; k < 3; ++k) {
    const float pivot = m[k][k];
    for (int j = 0; j < 6; ++j) m[k][j] = m[k][j] / pivot;
    for (int i = 0; i < 3; ++i) {
      if (i == k) continue;
      const float factor = m[i][k];
      for (int j = 0; j < 6; ++j) m[i][j] = m[i][j] - factor * m[k][j];
    }
  }
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out[i][j] = m[i][j + 3];
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
  const float* q = s->quaternion;
  float predicted[4];
  for (int i = 0; i < 4; ++i) predicted[i] = f[i][0] * q[0] + f[i][1] * q[1] + f[i][2] * q[2] + f[i][3] * q[3];
  std::memcpy(s->quaternion, predicted, sizeof predicted);

  float fp[4][4];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      fp[i][j] = f[i][0] * s->covariance[0][j] + f[i][1] * s->covariance[1][j] + f[i][2] * s->covariance[2][j] +
                 f[i][3] * s->covariance[3][j];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      const float noise = s->moving ? (i == j ? 0.0001f : 0.0f) : s->stillProcessNoise[i][j];
      s->covariance[i][j] = fp[i][0] * f[j][0] + fp[i][1] * f[j][1] + fp[i][2] * f[j][2] + fp[i][3] * f[j][3] + noise;
    }
}

void correctWithAccel(OrientationFilter* s, const float a[3]) {
  const float w = s->quaternion[0], x = s->quaternion[1], y = s->quaternion[2], z = s->quaternion[3];
  const float h[3] = {2.0f * (x * z - w * y), 2.0f * (y * z + w * x), w * w - x * x - y * y + z * z};
  const float jacobian[3][4] = {{-2.0f * y, 2.0f * z, -2.0f * w, 2.0f * x},
                                {2.0f * x, 2.0f * w, 2.0f * z, 2.0f * y},
                                {2.0f * w, -2.0f * x, -2.0f * y, 2.0f * z}};
  const float innovation[3] = {a[0] - h[0], a[1] - h[1], a[2] - h[2]};
  const auto& p = s->covariance;

  float hp[3][4];  // H P
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j)
      hp[i][j] = jacobian[i][0] * p[0][j] + jacobian[i][1] * p[1][j] + jacobian[i][2] * p[2][j] + jacobian[i][3] * p[3][j];
  float innovationCovariance[3][3];  // H P H^T + R
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const float noise = s->moving ? (i == j ? 10000.0f : 0.0f) : s->stillAccelNoise[i][j];
      innovationCovariance[i][j] =
          hp[i][0] * jacobian[j][0] + hp[i][1] * jacobian[j][1] + hp[i][2] * jacobian[j][2] + hp[i][3] * jacobian[j][3] + noise;
    }
  float inverse[3][3];
  invert3x3(innovationCovariance, inverse);
  float pht[4][3];  // P H^T
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 3; ++j)
      pht[i][j] = p[i][0] * jacobian[j][0] + p[i][1] * jacobian[j][1] + p[i][2] * jacobian[j][2] + p[i][3] * jacobian[j][3];
  float gain[4][3];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 3; ++j) gain[i][j] = pht[i][0] * inverse[0][j] + pht[i][1] * inverse[1][j] + pht[i][2] * inverse[2][j];

  Quaternion q{w + (gain[0][0] * innovation[0] + gain[0][1] * innovation[1] + gain[0][2] * innovation[2]),
               x + (gain[1][0] * innovation[0] + gain[1][1] * innovation[1] + gain[1][2] * innovation[2]),
               y + (gain[2][0] * innovation[0] + gain[2][1] * innovation[1] + gain[2][2] * innovation[2]),
               z + (gain[3][0] * innovation[0] + gain[3][1] * innovation[1] + gain[3][2] * innovation[2])};
  quatNormalize(q);
  s->quaternion[0] = q.w, s->quaternion[1] = q.x, s->quaternion[2] = q.y, s->quaternion[3] = q.z;

  float ikh[4][4];  // I - K H
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      ikh[i][j] = (i == j ? 1.0f : 0.0f) - (gain[i][0] * jacobian[0][j] + gain[i][1] * jacobian[1][j] + gain[i][2] * jacobian[2][j]);
  float updated[4][4];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      updated[i][j] = ikh[i][0] * p[0][j] + ikh[i][1] * p[1][j] + ikh[i][2] * p[2][j] + ikh[i][3] * p[3][j];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) s->covariance[i][j] = updated[i][j];
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
