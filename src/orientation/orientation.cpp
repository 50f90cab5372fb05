#include "orientation/orientation.h"

#include <algorithm>

#include "orientation/filter.h"

namespace kinovar {

namespace {

// Often enough that a reader never waits long, rarely enough to cost nothing.
constexpr uint64_t kPublishEvery = 1 << 13;

}  // namespace

OrientationJob::OrientationJob() = default;
OrientationJob::~OrientationJob() = default;

bool OrientationJob::begin(const DeviceSettings& settings, StreamMap& streams) {
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
  filter_ = std::make_unique<OrientationFilter>();  // throws std::bad_alloc, never a null state
  orientationFilterInit(filter_.get(), settings.accel.frequency);
  const float thresholds[3] = {1.05f, 0.1f, 15.0f};
  float processNoise[16] = {}, accelNoise[9] = {};
  for (int i = 0; i < 4; ++i) processNoise[5 * i] = 1e-5f;
  for (int i = 0; i < 3; ++i) accelNoise[4 * i] = 10000.0f;
  orientationFilterSetStaticThresholds(filter_.get(), thresholds);
  orientationFilterSetProcessNoise(filter_.get(), processNoise);
  orientationFilterSetMeasurementNoise(filter_.get(), accelNoise);

  quaternions_ = streams.emplace(kQuaternionKey, std::move(quaternions)).first->second.values.data();
  accel_ = accel->values.data(), accelStride_ = accel->count;
  gyro_ = gyro->values.data(), gyroStride_ = gyro->count;
  n_ = n;
  return true;
}

void OrientationJob::run(std::atomic<uint64_t>* done) noexcept {
  if (!quaternions_) return;
  const uint64_t n = n_;
  const double* accel = accel_;
  const double* gyro = gyro_;
  double* values = quaternions_;
  const auto publish = [done](uint64_t finished) {
    if (!done) return;
    done->store(finished, std::memory_order_release);
    done->notify_all();
  };
  // The last sample never reaches the filter and keeps zeros, as does every
  // sample without an estimate: hosts read zeros as "no estimate yet".
  for (uint64_t i = 0; i + 1 < n; ++i) {
    const float a[3] = {static_cast<float>(accel[i]), static_cast<float>(accel[accelStride_ + i]),
                        static_cast<float>(accel[2 * accelStride_ + i])};
    const float w[3] = {static_cast<float>(gyro[i]), static_cast<float>(gyro[gyroStride_ + i]),
                        static_cast<float>(gyro[2 * gyroStride_ + i])};
    orientationFilterPush(filter_.get(), a, w);
    float q[4];
    if (orientationFilterStep(filter_.get(), q) == Updated)
      for (int c = 0; c < 4; ++c) values[c * n + i] = q[c];
    if ((i + 1) % kPublishEvery == 0) publish(i + 1);
  }
  publish(n);
}

bool estimateOrientation(const DeviceSettings& settings, StreamMap& streams) {
  OrientationJob job;
  if (!job.begin(settings, streams)) return false;
  job.run();
  return true;
}

}  // namespace kinovar
