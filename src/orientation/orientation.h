// Orientation stage: adds the quaternion stream (key 10) to a parsed recording.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "reader/recording.h"

namespace kinovar {

struct OrientationFilter;

// True when the quaternion stream was added; on false the map is unchanged.
bool estimateOrientation(const DeviceSettings& settings, StreamMap& streams);

// The same stage in two steps, so that a caller can read the estimates while
// they are computed: begin() checks the recording, allocates everything and
// adds a zeroed quaternion stream; run() fills it, publishing how many
// samples are final. Nothing in run() can fail. In between, the streams may
// move (to another map, say): run() keeps to their sample arrays, which must
// stay as they are until it has finished.
class OrientationJob {
 public:
  OrientationJob();
  ~OrientationJob();
  bool begin(const DeviceSettings& settings, StreamMap& streams);
  void run(std::atomic<uint64_t>* done = nullptr) noexcept;

 private:
  std::unique_ptr<OrientationFilter> filter_;
  // Channel-major sample arrays and their channel strides (sample counts).
  const double* accel_ = nullptr;
  const double* gyro_ = nullptr;
  double* quaternions_ = nullptr;
  uint64_t accelStride_ = 0, gyroStride_ = 0, n_ = 0;
};

}  // namespace kinovar
