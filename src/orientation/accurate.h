// Accurate orientation: an offline estimator for whole recordings.
//
// One pass is a complementary filter in the manner of Laidig and Seel (VQF,
// 2023): the gyroscope, less its estimated bias, is integrated into a frame
// that drifts only slowly; the accelerometer is turned into that frame and
// low-pass filtered there, so rotation does not smear it while accelerations
// other than gravity average out; the filtered vector sets the inclination.
// The bias is a small Kalman filter fed by still periods (the gyroscope's
// mean, when small as well as steady) and by motion (the inclination
// correction the accelerometer keeps asking for). The gyroscope is integrated every sample; the low-pass, the
// inclination and the bias, which change over seconds, step about 50 times
// a second on the mean of the samples between.
//
// The offline estimate runs three passes: forward (to learn the bias and
// the state at the end), backward from that state, and forward again from
// the backward pass's state at the first sample. The last two are averaged
// in inclination, which cancels their opposite lags and bias drifts.
//
// Plain data, double precision, no allocation; the caller owns every state.
#pragma once

#include <cstdint>
#include <functional>

namespace kinovar {

struct AccurateParameters {
  double accelTimeConstant = 3.0;   // s: inclination correction
  double restTimeConstant = 0.5;    // s: smoothing for the still test
  double restMinSeconds = 1.5;      // s: stillness needed before it counts
  double restGyroThreshold = 2.0;   // deg/s from the smoothed rate
  double restRateThreshold = 2.0;   // deg/s: the smoothed rate's largest size at rest; a steady turn is not rest
  double restAccelThreshold = 0.05; // g from the smoothed acceleration
  double biasSigmaInit = 0.5;       // deg/s: bias uncertainty at the start
  double biasForgetSeconds = 100.0; // s: time over which that uncertainty returns
  double biasMotionSeconds = 30.0;  // s: how fast motion alone settles the bias
  double biasSigmaRest = 0.03;      // deg/s: noise of the bias seen at rest
  double biasClip = 2.0;            // deg/s: largest bias believed
  double slowRateHz = 50.0;         // rate of the slow loop: acceleration low-pass, inclination, bias
  double warmupSeconds = 60.0;      // s: the first forward pass covers only the recording's end
};

// Second-order low-pass (Butterworth), transposed direct form.
struct LowPass2 {
  double b0, b1, b2, a1, a2;
};

// The state of one pass. Quaternions are (w, x, y, z); gyroRotation turns
// sensor vectors into the drifting frame, inclination that frame into the
// world (z up).
struct AccuratePass {
  AccurateParameters parameters;
  double period;
  LowPass2 accelFilter;
  double restAlpha;
  double gyroRotation[4];
  double inclination[4];
  double bias[3];             // rad/s
  double biasCovariance[3][3];
  double biasProcessNoise;    // per slow step, (rad/s)^2
  double biasMotionNoise, biasRestNoise, biasClip;  // per slow step, (rad/s)^2; rad/s
  double accelState[3][2];    // low-pass state of the acceleration in the drifting frame
  double accelMean[3];        // its plain mean while the pass is young
  double accelSum[3];         // the acceleration in the drifting frame, summed over the slow step
  int64_t samples;            // seen since the start
  int64_t slowSteps;          // slow steps taken since the start
  int64_t youngSteps;         // how long the mean stands in for the low-pass
  double rowsState[6][2];     // low-pass of the first two rows of the orientation matrix
  double rows[6];
  double restGyro[3], restAccel[3];
  double restSeconds;
  int64_t slowEvery;          // samples per slow step
  int64_t slowCountdown;
  int64_t stepSamples;        // samples summed since the last slow step
  double lastAccel[3], lastGyro[3];  // the last plausible sample, standing in for one that is not
};

void accuratePassInit(AccuratePass& pass, double rate, const AccurateParameters& parameters = {});
// Starts from a known orientation (sensor to world), gravity direction and
// bias instead of learning them; the bias uncertainty is kept.
void accuratePassWarmStart(AccuratePass& pass, const double quaternion[4], const double bias[3]);
// One sample: accelerometer in g, gyroscope in degrees per second. A vector
// with a value that is not a number or beyond any sensor's range (1e6) is
// replaced by the last plausible one (zeros before any), so a damaged sample
// cannot spoil the estimates after it.
void accuratePassStep(AccuratePass& pass, const double accel[3], const double gyroDps[3]);
// The current orientation, sensor to world, unit length.
void accuratePassQuaternion(const AccuratePass& pass, double quaternion[4]);

// The whole-recording estimate: n samples of channel-major input (channel c
// of sample i at c * stride + i) into out, 4 channels of n (w, x, y, z).
// Every sample gets a unit quaternion; heading is zero at the first sample.
// `finished` hears how many leading samples are final as the last pass goes.
void estimateAccurate(const double* accel, uint64_t accelStride, const double* gyro, uint64_t gyroStride, uint64_t n,
                      double rate, double* out, const AccurateParameters& parameters = {},
                      const std::function<void(uint64_t)>& finished = {});

}  // namespace kinovar
