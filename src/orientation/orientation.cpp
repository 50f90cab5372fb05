#include "orientation/orientation.h"

#include <algorithm>
#include <memory>

#include "orientation/filter.h"

namespace kinovar {

bool estimateOrientation(const DeviceSettings& settings, StreamMap& streams) {
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
  auto filter = std::make_unique<OrientationFilter>();  // throws std::bad_alloc, never a null state
  orientationFilterInit(filter.get(), settings.accel.frequency);
  const float thresholds[3] = {1.05f, 0.1f, 15.0f};
  float processNoise[16] = {}, accelNoise[9] = {};
  for (int i = 0; i < 4; ++i) processNoise[5 * i] = 1e-5f;
  for (int i = 0; i < 3; ++i) accelNoise[4 * i] = 10000.0f;
  orientationFilterSetStaticThresholds(filter.get(), thresholds);
  orientationFilterSetProcessNoise(filter.get(), processNoise);
  orientationFilterSetMeasurementNoise(filter.get(), accelNoise);

  // The last sample never reaches the filter and keeps zeros, as does every
  // sample without an estimate: hosts read zeros as "no estimate yet".
  for (uint64_t i = 0; i + 1 < n; ++i) {
    const float a[3] = {static_cast<float>(accel->values[i]), static_cast<float>(accel->values[accel->count + i]),
                        static_cast<float>(accel->values[2 * accel->count + i])};
    const float w[3] = {static_cast<float>(gyro->values[i]), static_cast<float>(gyro->values[gyro->count + i]),
                        static_cast<float>(gyro->values[2 * gyro->count + i])};
    orientationFilterPush(filter.get(), a, w);
    float q[4];
    if (orientationFilterStep(filter.get(), q) == Updated)
      for (int c = 0; c < 4; ++c) quaternions.values[c * n + i] = q[c];
  }
  streams.emplace(kQuaternionKey, std::move(quaternions));
  return true;
}

}  // namespace kinovar
