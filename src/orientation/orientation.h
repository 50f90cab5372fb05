// Orientation stage: adds the quaternion stream (key 10) to a parsed recording.
#pragma once

#include <cstdint>
#include <functional>

#include "model/recording.h"

namespace kinovar {

enum class Estimator {
  Classic,   // the Kalman filter of the sensor's own software
  Accurate,  // offline smoother with gyroscope bias estimation (accurate.h)
  None,      // no quaternion stream
};

// The classic filter leaves a quaternion of zeros where it has no estimate
// (before it settles, and on the last sample).
inline bool noEstimate(double w, double x, double y, double z) { return w == 0 && x == 0 && y == 0 && z == 0; }

// True when the quaternion stream was added; on false the map is unchanged.
bool estimateOrientation(const DeviceSettings& settings, StreamMap& streams, Estimator estimator = Estimator::Classic);

// How many quaternions the stage gives the streams (channels and counts
// are all it reads), 0 when it cannot run.
uint64_t orientationSamples(const DeviceSettings& settings, const StreamMap& streams, Estimator estimator);

// The same stage in two steps, so that a caller can read the estimates while
// they are computed. prepareOrientation checks the recording and adds a
// zeroed quaternion stream (false, and the map unchanged, when it cannot).
// fillOrientation then computes it from the accelerometer and gyroscope
// streams of the map it is given, which may be another map that the three
// streams moved to in between, telling `finished` how many leading samples
// are final as it goes and all of them at the end. It cannot fail.
bool prepareOrientation(const DeviceSettings& settings, StreamMap& streams, Estimator estimator = Estimator::Classic);
void fillOrientation(const DeviceSettings& settings, StreamMap& streams, Estimator estimator = Estimator::Classic,
                     const std::function<void(uint64_t)>& finished = {}) noexcept;

}  // namespace kinovar
