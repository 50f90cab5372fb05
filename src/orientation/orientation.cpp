#include "orientation/orientation.h"

#include <algorithm>

#include "orientation/accurate.h"
#include "orientation/filter.h"
#include "orientation/streaming.h"

namespace kinovar {

namespace {

// Often enough that a reader never waits long, rarely enough to cost nothing.
constexpr uint64_t kPublishEvery = 1 << 13;

void classicFilter(const DeviceSettings& settings, const SampleStream& accel, const SampleStream& gyro,
                   SampleStream& quaternions, const std::function<void(uint64_t)>& finished) {
  ClassicFilterStream filter(settings.accel.frequency);
  const uint64_t n = quaternions.count;
  double* values = quaternions.values.data();
  const QuaternionChunkFn store = [&](uint64_t first, uint64_t m, const double* q) {
    for (uint64_t c = 0; c < 4; ++c) std::copy_n(q + c * m, m, values + c * n + first);
  };
  for (uint64_t first = 0; first < n; first += kPublishEvery) {
    const uint64_t m = std::min(kPublishEvery, n - first);
    filter.push(accel.values.data() + first, accel.count, gyro.values.data() + first, gyro.count, m, store);
    if (finished && first + m < n) finished(first + m - 1);
  }
  filter.finish(store);
}

}  // namespace

uint64_t orientationSamples(const DeviceSettings& settings, const StreamMap& streams, Estimator estimator) {
  if (estimator == Estimator::None) return 0;
  const SampleStream* accel = findStream(streams, kAccelKey);
  const SampleStream* gyro = findStream(streams, kGyroKey);
  if (!accel || !gyro || accel->channels != 3 || gyro->channels != 3) return 0;
  if (settings.accel.frequency != settings.gyro.frequency) return 0;
  // A rate of 0 would make the time step infinite and every estimate NaN.
  if (settings.accel.frequency <= 0) return 0;
  if (streams.count(kQuaternionKey)) return 0;
  return std::min(accel->count, gyro->count);
}

bool prepareOrientation(const DeviceSettings& settings, StreamMap& streams, Estimator estimator) {
  const uint64_t n = orientationSamples(settings, streams, estimator);
  if (n == 0) return false;
  const SampleStream* accel = findStream(streams, kAccelKey);

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

ClassicFilterStream::ClassicFilterStream(int32_t frequency) {
  orientationFilterInit(&filter_, frequency);
  const float thresholds[3] = {1.05f, 0.1f, 15.0f};
  float processNoise[16] = {}, accelNoise[9] = {};
  for (int i = 0; i < 4; ++i) processNoise[5 * i] = 1e-5f;
  for (int i = 0; i < 3; ++i) accelNoise[4 * i] = 10000.0f;
  orientationFilterSetStaticThresholds(&filter_, thresholds);
  orientationFilterSetProcessNoise(&filter_, processNoise);
  orientationFilterSetMeasurementNoise(&filter_, accelNoise);
}

void ClassicFilterStream::step(const double a[3], const double g[3], double quaternion[4]) {
  const float af[3] = {static_cast<float>(a[0]), static_cast<float>(a[1]), static_cast<float>(a[2])};
  const float wf[3] = {static_cast<float>(g[0]), static_cast<float>(g[1]), static_cast<float>(g[2])};
  float q[4];
  const bool updated = orientationFilterStepSample(&filter_, af, wf, q) == Updated;
  for (int c = 0; c < 4; ++c) quaternion[c] = updated ? q[c] : 0.0;
}

void ClassicFilterStream::push(const double* accel, uint64_t accelStride, const double* gyro, uint64_t gyroStride,
                               uint64_t n, const QuaternionChunkFn& emit) {
  constexpr uint64_t kCapacity = sizeof(out_) / sizeof(out_[0]) / 4;
  uint64_t held = 0;
  const auto flush = [&] {
    // Channel c was written at c * kCapacity; emit wants it at c * held.
    for (uint64_t c = 1; c < 4 && held < kCapacity; ++c) std::copy_n(out_ + c * kCapacity, held, out_ + c * held);
    if (held) emit(emitted_, held, out_);
    emitted_ += held;
    held = 0;
  };
  for (uint64_t i = 0; i < n; ++i) {
    // The sample before this one is not the last: it goes through the filter.
    if (pushed_ > emitted_ + held) {
      double q[4];
      step(pending_, pending_ + 3, q);
      for (uint64_t c = 0; c < 4; ++c) out_[c * kCapacity + held] = q[c];
      if (++held == kCapacity) flush();
    }
    for (uint64_t c = 0; c < 3; ++c) pending_[c] = accel[c * accelStride + i], pending_[3 + c] = gyro[c * gyroStride + i];
    ++pushed_;
  }
  flush();
}

void ClassicFilterStream::finish(const QuaternionChunkFn& emit) {
  if (pushed_ == emitted_) return;
  // The last sample never reaches the filter and keeps zeros, as does every
  // sample without an estimate: hosts read zeros as "no estimate yet".
  const double zeros[4] = {};
  emit(emitted_, 1, zeros);
  ++emitted_;
}

bool estimateOrientation(const DeviceSettings& settings, StreamMap& streams, Estimator estimator) {
  if (!prepareOrientation(settings, streams, estimator)) return false;
  fillOrientation(settings, streams, estimator);
  return true;
}

}  // namespace kinovar
