#include "orientation/orientation.h"

#include <algorithm>

#include "orientation/accurate.h"
#include "orientation/filter.h"

namespace kinovar {

namespace {

// Often enough that a reader never waits long, rarely enough to cost nothing.
constexpr uint64_t kPublishEvery = 1 << 13;

void classicFilter(const DeviceSettings& settings, const SampleStream& accel, const SampleStream& gyro,
                   SampleStream& quaternions, const std::function<void(uint64_t)>& finished) {
  OrientationFilter filter{};
  orientationFilterInit(&filter, settings.accel.frequency);
  const float thresholds[3] = {1.05f, 0.1f, 15.0f};
  float processNoise[16] = {}, accelNoise[9] = {};
  for (int i = 0; i < 4; ++i) processNoise[5 * i] = 1e-5f;
  for (int i = 0; i < 3; ++i) accelNoise[4 * i] = 10000.0f;
  orientationFilterSetStaticThresholds(&filter, thresholds);
  orientationFilterSetProcessNoise(&filter, processNoise);
  orientationFilterSetMeasurementNoise(&filter, accelNoise);

  const uint64_t n = quaternions.count;
  const double* a = accel.values.data();
  const double* g = gyro.values.data();
  const uint64_t as = accel.count, gs = gyro.count;
  double* values = quaternions.values.data();
  // The last sample never reaches the filter and keeps zeros, as does every
  // sample without an estimate: hosts read zeros as "no estimate yet".
  for (uint64_t i = 0; i + 1 < n; ++i) {
    const float af[3] = {static_cast<float>(a[i]), static_cast<float>(a[as + i]), static_cast<float>(a[2 * as + i])};
    const float wf[3] = {static_cast<float>(g[i]), static_cast<float>(g[gs + i]), static_cast<float>(g[2 * gs + i])};
    orientationFilterPush(&filter, af, wf);
    float q[4];
    if (orientationFilterStep(&filter, q) == Updated)
      for (uint64_t c = 0; c < 4; ++c) values[c * n + i] = q[c];
    if (finished && (i + 1) % kPublishEvery == 0) finished(i + 1);
  }
}

}  // namespace

bool prepareOrientation(const DeviceSettings& settings, StreamMap& streams, Estimator estimator) {
  if (estimator == Estimator::None) return false;
  const SampleStream* accel = findStream(streams, kAccelKey);
  const SampleStream* gyro = findStream(streams, kGyroKey);
  if (!accel || !gyro || accel->channels != 3 || gyro->channels != 3) return false;
  if (settings.accel.frequency != settings.gyro.frequency) return false;
  // A rate of 0 would make the time step infinite and every estimate NaN.
  if (settings.accel.frequency <= 0) return false;
  const uint64_t n = std::min(accel->count, gyro->count);
  if (n == 0 || streams.count(kQuaternionKey)) return false;

  SampleStream quaternions(4, n);
  std::copy_n(accel->times.begin(), n, quaternions.times.begin());
  streams.emplace(kQuaternionKey, std::move(quaternions));
  return true;
}

void fillOrientation(const DeviceSettings& settings, StreamMap& streams, Estimator estimator,
                     const std::function<void(uint64_t)>& finished) noexcept {
  const auto q = streams.find(kQuaternionKey);
  const SampleStream* accel = findStream(streams, kAccelKey);
  const SampleStream* gyro = findStream(streams, kGyroKey);
  // Only what prepareOrientation left, with its sample counts, is filled.
  if (q != streams.end() && accel && gyro && q->second.count <= accel->count && q->second.count <= gyro->count) {
    if (estimator == Estimator::Classic) classicFilter(settings, *accel, *gyro, q->second, finished);
    if (estimator == Estimator::Accurate)
      estimateAccurate(accel->values.data(), accel->count, gyro->values.data(), gyro->count, q->second.count,
                       settings.accel.frequency, q->second.values.data(), {}, finished);
  }
  if (finished) finished(q != streams.end() ? q->second.count : 0);
}

bool estimateOrientation(const DeviceSettings& settings, StreamMap& streams, Estimator estimator) {
  if (!prepareOrientation(settings, streams, estimator)) return false;
  fillOrientation(settings, streams, estimator);
  return true;
}

}  // namespace kinovar
