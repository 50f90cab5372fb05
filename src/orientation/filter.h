// Orientation filter: an extended Kalman filter on the orientation quaternion,
// driven by the gyroscope and corrected by the accelerometer's gravity
// direction. Procedural, over one fixed-size state the caller owns; all
// arithmetic in single precision, in a fixed order, so results are bit-stable.
#pragma once

#include <cstdint>

namespace kinovar {

struct Quaternion {
  float w, x, y, z;
};

struct OrientationFilter {
  float quaternion[4];
  float covariance[4][4];
  float stillProcessNoise[4][4];
  float stillAccelNoise[3][3];
  float stillThresholds[3];
  float halfSamplePeriod;
  float degreesPerRadian;
  int32_t moving;
  float previousFreeAcceleration[3];
  float queue[10][6];  // accelerometer x, y, z, then gyroscope x, y, z
  int32_t queueCapacity;
  int32_t queueFree;
  int32_t queueWrite;
  int32_t queueRead;
  int32_t aligned;
  int32_t stillCount;
  int32_t requiredStillCount;
  float accelSum[3];
};

enum StepResult : int32_t {
  NoSample = 0,
  Rejected = 1,  // the sample held a NaN or an infinity and was skipped
  Initialising = 2,
  Updated = 3,
};

int orientationFilterSize();
void orientationFilterInit(OrientationFilter* state, int32_t frequency);
void orientationFilterSetStaticThresholds(OrientationFilter* state, const float thresholds[3]);
void orientationFilterSetProcessNoise(OrientationFilter* state, const float matrix[16]);
void orientationFilterSetMeasurementNoise(OrientationFilter* state, const float matrix[9]);
bool orientationFilterPush(OrientationFilter* state, const float accelerometer[3], const float gyroscope[3]);
StepResult orientationFilterStep(OrientationFilter* state, float quaternion[4]);
// A sample pushed and stepped at once, past an empty queue.
StepResult orientationFilterStepSample(OrientationFilter* state, const float accelerometer[3], const float gyroscope[3],
                                       float quaternion[4]);

// The equations of one cycle, exposed for tests.
void filterCycle(OrientationFilter* state, const float a[3], const float omega[3]);
void predictWithGyro(OrientationFilter* state, const float omegaRadians[3]);
void correctWithAccel(OrientationFilter* state, const float a[3]);
void freeAcceleration(const float q[4], const float a[3], float out[3]);
Quaternion alignToGravity(const float m[3]);
Quaternion quatMultiply(const Quaternion& a, const Quaternion& b);
void quatNormalize(Quaternion& q);
void invert3x3(const float a[3][3], float out[3][3]);

}  // namespace kinovar
