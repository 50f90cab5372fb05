#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>

#include "gen/generator.h"
#include "orientation/accurate.h"
#include "orientation/filter.h"
#include "orientation/orientation.h"
#include "orientation/streaming.h"
#include "reader/parser.h"
#include "test_files.h"

using namespace kinovar;

namespace {

// Accelerometer and gyroscope streams of n samples from per-sample functions.
template <typename Accel, typename Gyro>
StreamMap imuStreams(uint64_t n, Accel accel, Gyro gyro) {
  SampleStream a(3, n), g(3, n);
  for (uint64_t i = 0; i < n; ++i) {
    double av[3], gv[3];
    accel(i, av);
    gyro(i, gv);
    for (int c = 0; c < 3; ++c) a.value(c, i) = av[c], g.value(c, i) = gv[c];
    a.times[i] = g.times[i] = i * 0.01;
  }
  StreamMap streams;
  streams[kAccelKey] = std::move(a);
  streams[kGyroKey] = std::move(g);
  return streams;
}

DeviceSettings rates(int32_t accelHz, int32_t gyroHz) {
  DeviceSettings s;
  s.accel.frequency = accelHz;
  s.gyro.frequency = gyroHz;
  return s;
}

void level(uint64_t, double* a) { a[0] = 0, a[1] = 0, a[2] = 1; }
void still(uint64_t, double* w) { w[0] = w[1] = w[2] = 0; }

}  // namespace

// The generated motion starts nearly level; these starts reach both branches
// of the alignment with every component, and the quaternion products with it.
TEST(OrientationFilter, AlignmentTurnsGravityUpFromAnyStart) {
  const float starts[][3] = {{0, 0, -1}, {0.6f, 0, 0.8f}, {0.6f, 0, -0.8f}, {0, -0.6f, -0.8f}, {0, 0.6f, 0.8f}};
  for (const auto& m : starts) {
    const Quaternion a = alignToGravity(m);
    const float q[4] = {a.w, a.x, a.y, a.z};
    float free[3];
    freeAcceleration(q, m, free);
    for (float v : free) EXPECT_NEAR(v, 0.0f, 1e-6) << m[0] << " " << m[1] << " " << m[2];
  }
  const float down[3] = {0, 0, -1}, none[3] = {0, 0, 0};
  const Quaternion flipped = alignToGravity(down);
  EXPECT_EQ(flipped.w, 0.0f);
  EXPECT_EQ(flipped.x, 1.0f);
  // No acceleration at all must not divide by a zero norm.
  const float q[4] = {flipped.w, flipped.x, flipped.y, flipped.z};
  float free[3];
  freeAcceleration(q, none, free);
  EXPECT_EQ(free[2], -1.0f);
}

// Alignment needs five still samples in a row; a sample exactly at a
// threshold is not still and starts the count again.
TEST(OrientationFilter, AlignmentThresholds) {
  OrientationFilter f;
  orientationFilterInit(&f, 100);
  const float thresholds[3] = {1.05f, 0.1f, 15.0f};
  orientationFilterSetStaticThresholds(&f, thresholds);
  const float up[3] = {0, 0, 1}, heavy[3] = {0, 0, 1.1f}, turning[3] = {15, 0, 0}, none[3] = {0, 0, 0};
  float q[4];
  auto step = [&](const float* a, const float* w) {
    EXPECT_TRUE(orientationFilterPush(&f, a, w));
    return orientationFilterStep(&f, q);
  };
  auto fourStill = [&] {
    for (int i = 0; i < 4; ++i) EXPECT_EQ(step(up, none), Initialising) << i;
  };
  fourStill();
  EXPECT_EQ(step(heavy, none), Initialising);
  fourStill();
  EXPECT_EQ(step(up, turning), Initialising);
  fourStill();
  EXPECT_EQ(step(up, none), Updated);
  EXPECT_EQ(q[0], 1.0f);
}

TEST(OrientationStage, StillLevelSensorWithNonFiniteSamples) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  StreamMap streams = imuStreams(
      40, [&](uint64_t i, double* a) { a[0] = 0, a[1] = i == 20 ? nan : 0.0, a[2] = 1; },
      [&](uint64_t i, double* w) { w[0] = 0, w[1] = 0, w[2] = i == 25 ? inf : 0.0; });
  ASSERT_TRUE(estimateOrientation(rates(100, 100), streams));
  const SampleStream& q = streams.at(kQuaternionKey);
  ASSERT_EQ(q.count, 40u);
  // Aligned on the fifth still sample; the last never reaches the filter; a
  // skipped sample gets no estimate and spoils none after it.
  for (uint64_t i = 0; i < 40; ++i) {
    const bool estimated = i >= 4 && i < 39 && i != 20 && i != 25;
    EXPECT_EQ(q.value(0, i), estimated ? 1.0 : 0.0) << i;
    for (int c = 1; c < 4; ++c) EXPECT_EQ(q.value(c, i), 0.0) << i;
  }
  EXPECT_TRUE(std::signbit(q.value(2, 4)));
  EXPECT_EQ(q.times, streams.at(kAccelKey).times);

  // The accurate estimator has level on every sample, the damaged ones included.
  streams.erase(kQuaternionKey);
  ASSERT_TRUE(estimateOrientation(rates(100, 100), streams, Estimator::Accurate));
  for (uint64_t i = 0; i < 40; ++i) EXPECT_NEAR(streams.at(kQuaternionKey).value(0, i), 1.0, 1e-9) << i;
}

TEST(OrientationStage, UnsuitableRecordingsAddNothing) {
  auto wobble = [](uint64_t i, double* a) { a[0] = 0.3 * std::sin(i * 1.0), a[1] = 0, a[2] = 1; };
  StreamMap never = imuStreams(50, wobble, [](uint64_t i, double* w) { w[0] = 20, w[1] = i % 2, w[2] = 0; });
  ASSERT_TRUE(estimateOrientation(rates(100, 100), never));
  for (double v : never.at(kQuaternionKey).values) EXPECT_EQ(v, 0.0);

  for (const auto& [s, n] : {std::pair{rates(100, 50), 10}, {rates(0, 0), 10}, {rates(100, 100), 0}}) {
    StreamMap streams = imuStreams(n, level, still);
    EXPECT_FALSE(estimateOrientation(s, streams));
    EXPECT_EQ(streams.count(kQuaternionKey), 0u);
  }
  StreamMap one = imuStreams(1, level, still);
  ASSERT_TRUE(estimateOrientation(rates(100, 100), one));
  EXPECT_EQ(one.at(kQuaternionKey).values, std::vector<double>(4, 0.0));
}

// Still and level for two seconds, then a turn at 60 deg/s about a tilted axis.
TEST(OrientationStage, FollowsKnownMotion) {
  gen::RecordingRecipe recipe;
  recipe.clock = 100, recipe.accelHz = 100, recipe.gyroHz = 100, recipe.baroHz = 0;
  recipe.seconds = 30;
  recipe.motion.stillSeconds = 2;
  recipe.motion.rateDps = 60;
  recipe.motion.axis[0] = 0.3, recipe.motion.axis[1] = 0.2, recipe.motion.axis[2] = 1.0;
  recipe.motion.noise = 4;
  gen::GeneratedSamples truth;
  Recording r;
  ASSERT_TRUE(parseRecording(r.settings, r.streams, gen::buildRecording(recipe, &truth)));
  ASSERT_TRUE(estimateOrientation(r.settings, r.streams));
  const SampleStream& q = r.streams.at(kQuaternionKey);
  std::vector<double> errors;
  for (uint64_t i = 4; i + 1 < q.count; ++i) {
    const double* t = &truth.trueQuaternion[4 * i];
    const double dot = q.value(0, i) * t[0] + q.value(1, i) * t[1] + q.value(2, i) * t[2] + q.value(3, i) * t[3];
    errors.push_back(2 * std::acos(std::min(1.0, std::fabs(dot))) * 180 / 3.14159265358979);
  }
  std::sort(errors.begin(), errors.end());
  EXPECT_LT(errors[errors.size() / 2], 0.25);
  EXPECT_LT(errors.back(), 0.45);
  // Every build must give the same bits: the filter's order of operations is fixed.
  const uint32_t bits[4] = {0xbefb57f2u, 0x3e7a3b98u, 0x3e276fbeu, 0x3f51f1eau};
  for (int c = 0; c < 4; ++c)
    EXPECT_EQ(std::bit_cast<uint32_t>(static_cast<float>(q.value(c, q.count - 2))), bits[c]) << c;
}

// Stillness needs every measure strictly below its threshold; the values are
// exact in single precision, so each case sits right on its boundary.
TEST(OrientationFilter, StillnessBoundaries) {
  struct Case {
    float accel[3], omega[3], previousFree[3];
    int32_t moving;
  };
  const Case cases[] = {
      {{0, 0, 1}, {0, 0, 0}, {0, 0, 1.25f}, 0},     // all below
      {{0, 0, 1}, {0, 0, 0}, {0, 0, 1.5f}, 1},      // |a| - |previous free| at 0.5
      {{0, 0, 1.25f}, {0, 0, 0}, {0, 0, 1}, 1},     // |a| - 1 at 0.25
      {{0, 0, 1}, {0, 8, 0}, {0, 0, 1}, 1},         // |omega| at 8
      {{0, 0, 1}, {0, 7.75f, 0}, {0, 0, 1}, 0},     // |omega| just below
  };
  const float thresholds[3] = {0.5f, 0.25f, 8.0f};
  for (const Case& c : cases) {
    OrientationFilter f;
    orientationFilterInit(&f, 100);
    orientationFilterSetStaticThresholds(&f, thresholds);
    std::copy_n(c.previousFree, 3, f.previousFreeAcceleration);
    filterCycle(&f, c.accel, c.omega);
    EXPECT_EQ(f.moving, c.moving) << c.accel[2] << " " << c.omega[1] << " " << c.previousFree[2];
  }
}

TEST(OrientationFilter, Invert3x3) {
  const float a[3][3] = {{4, 1, 0}, {1, 3, 1}, {0.5f, 1, 2}};
  float inverse[3][3];
  invert3x3(a, inverse);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      float product = 0;
      for (int k = 0; k < 3; ++k) product += a[i][k] * inverse[k][j];
      EXPECT_NEAR(product, i == j ? 1.0f : 0.0f, 1e-6f) << i << j;
    }
}

namespace {

// Inclination error, degrees: the angle between two quaternions' world up in sensor axes.
double inclinationError(const double* q, const double* truth) {
  const auto up = [](const double* p, double* u) {
    u[0] = 2 * (p[1] * p[3] - p[0] * p[2]), u[1] = 2 * (p[2] * p[3] + p[0] * p[1]);
    u[2] = p[0] * p[0] - p[1] * p[1] - p[2] * p[2] + p[3] * p[3];
  };
  double a[3], b[3];
  up(q, a), up(truth, b);
  return std::acos(std::clamp(a[0] * b[0] + a[1] * b[1] + a[2] * b[2], -1.0, 1.0)) * 180 / 3.14159265358979;
}

struct Accurate {
  Recording recording;
  std::vector<double> errors;  // per sample, against the generator's truth
};

Accurate accurateOn(const gen::RecordingRecipe& recipe) {
  gen::GeneratedSamples truth;
  Accurate out;
  EXPECT_TRUE(parseRecording(out.recording.settings, out.recording.streams, gen::buildRecording(recipe, &truth)));
  EXPECT_TRUE(estimateOrientation(out.recording.settings, out.recording.streams, Estimator::Accurate));
  const SampleStream& q = out.recording.streams.at(kQuaternionKey);
  for (uint64_t i = 0; i < q.count; ++i) {
    const double est[4] = {q.value(0, i), q.value(1, i), q.value(2, i), q.value(3, i)};
    EXPECT_NEAR(est[0] * est[0] + est[1] * est[1] + est[2] * est[2] + est[3] * est[3], 1.0, 1e-12) << i;
    out.errors.push_back(inclinationError(est, &truth.trueQuaternion[4 * i]));
  }
  return out;
}

gen::RecordingRecipe motionRecipe(double still, double rate, std::array<double, 3> axis, double seconds) {
  gen::RecordingRecipe recipe;
  recipe.clock = 200, recipe.accelHz = 200, recipe.gyroHz = 200, recipe.baroHz = 0;
  recipe.seconds = seconds;
  recipe.motion.stillSeconds = still, recipe.motion.rateDps = rate, recipe.motion.noise = 4;
  std::copy(axis.begin(), axis.end(), recipe.motion.axis);
  return recipe;
}

// One forward pass over a recording's first samples.
AccuratePass forwardPass(const Recording& r, uint64_t samples) {
  const SampleStream& a = r.streams.at(kAccelKey);
  const SampleStream& g = r.streams.at(kGyroKey);
  AccuratePass pass;
  accuratePassInit(pass, r.settings.accel.frequency);
  for (uint64_t i = 0; i < samples; ++i) {
    const double av[3] = {a.value(0, i), a.value(1, i), a.value(2, i)};
    const double gv[3] = {g.value(0, i), g.value(1, i), g.value(2, i)};
    accuratePassStep(pass, av, gv);
  }
  return pass;
}

}  // namespace

// The bias that one forward pass learns: from a rest, and from motion alone
// (a tumble that shows every axis to gravity, with no rest at all).
TEST(AccurateOrientation, LearnsGyroscopeBias) {
  for (const double still : {20.0, 0.0}) {
    gen::RecordingRecipe recipe = motionRecipe(still, 30, {1, 1, 0.5}, still > 0 ? 20 : 240);
    const double truth[3] = {0.5, -0.3, 0.2};
    std::copy_n(truth, 3, recipe.motion.gyroBiasDps);
    Recording r;
    ASSERT_TRUE(parseRecording(r.settings, r.streams, gen::buildRecording(recipe)));
    const AccuratePass pass = forwardPass(r, r.streams.at(kAccelKey).count);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(pass.bias[c] * 180 / 3.14159265358979, truth[c], 0.1) << still << " " << c;
  }
}

// Known motions, each with a unit quaternion on every sample from the first:
// a start in motion, with no rest to align on; a 45 degree tilt in half a
// second, then rest.
TEST(AccurateOrientation, GeneratedMotions) {
  const Accurate moving = accurateOn(motionRecipe(0, 45, {1, 0.5, 0}, 30));
  EXPECT_LT(*std::max_element(moving.errors.begin(), moving.errors.end()), 0.5);

  gen::RecordingRecipe step = motionRecipe(3, 90, {0, 1, 0}, 20);
  step.motion.moveSeconds = 0.5;
  const Accurate tilt = accurateOn(step);
  EXPECT_LT(*std::max_element(tilt.errors.begin(), tilt.errors.end()), 0.5);
  // Heading zero at the start, as the classic filter has it: a level start is the identity.
  const SampleStream& q = tilt.recording.streams.at(kQuaternionKey);
  EXPECT_NEAR(q.value(0, 0), 1.0, 1e-4);
  EXPECT_NEAR(q.value(3, 0), 0.0, 1e-5);
}

// Three samples lying on the side, shorter than anything the estimator
// averages over, still stand upright: x up is a quarter turn about y.
TEST(AccurateOrientation, ShorterThanOneStepStillStandsUpright) {
  const double accel[9] = {1, 1, 1, 0, 0, 0, 0, 0, 0}, gyro[9] = {};
  double out[12];
  estimateAccurate(accel, 3, gyro, 3, 3, 1000, out);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(out[6 + i], -std::sqrt(0.5), 1e-9) << i;
}

// A real recording that starts in motion: the classic filter never finds the
// rest it aligns on; the accurate estimate follows the optical truth.
TEST(AccurateOrientation, RealSegmentAgainstOpticalTruth) {
  const std::string data = KINOVAR_TEST_DATA "/orientation/broad-15-segment";
  Recording r;
  ASSERT_TRUE(parseRecording(r.settings, r.streams, readBytes(data + ".bin")));
  ASSERT_TRUE(estimateOrientation(r.settings, r.streams, Estimator::Accurate));
  const SampleStream& q = r.streams.at(kQuaternionKey);
  std::ifstream truth(data + ".truth.csv");
  std::string line;
  std::getline(truth, line);
  double sum = 0, worst = 0;
  int count = 0;
  for (double t, w[4]; std::getline(truth, line);) {
    ASSERT_EQ(std::sscanf(line.c_str(), "%lf,%lf,%lf,%lf,%lf", &t, &w[0], &w[1], &w[2], &w[3]), 5);
    const uint64_t i = std::lower_bound(q.times.begin(), q.times.end(), t - 1e-4) - q.times.begin();
    if (i >= q.count || std::fabs(q.times[i] - t) > 1e-4) continue;
    const double est[4] = {q.value(0, i), q.value(1, i), q.value(2, i), q.value(3, i)};
    const double e = inclinationError(est, w);
    sum += e * e, worst = std::max(worst, e), ++count;
  }
  ASSERT_GT(count, 200);
  EXPECT_LT(std::sqrt(sum / count), 1.5);
  EXPECT_LT(worst, 4.0);
}

// Both estimators in chunks of any size give the whole streams' numbers bit
// for bit, in order: a generated rest, turn and rest, and a real recording,
// each of more one-sample chunks than the accurate estimator keeps states for.
TEST(StreamingOrientation, ChunksGiveTheWholeStreamsNumbers) {
  gen::RecordingRecipe recipe = motionRecipe(3, 45, {1, 0.5, 0}, 40);
  recipe.motion.moveSeconds = 5, recipe.motion.gyroBiasDps[0] = 0.4;
  Recording generated, real;
  ASSERT_TRUE(parseRecording(generated.settings, generated.streams, gen::buildRecording(recipe)));
  ASSERT_TRUE(parseRecording(real.settings, real.streams,
                             readBytes(KINOVAR_TEST_DATA "/orientation/broad-15-segment.bin")));
  for (const Recording* r : {&generated, &real}) {
    const SampleStream& a = r->streams.at(kAccelKey);
    const SampleStream& g = r->streams.at(kGyroKey);
    const uint64_t n = std::min(a.count, g.count);
    ASSERT_GT(n, 4096u);
    std::vector<double> whole[2];
    for (const Estimator e : {Estimator::Classic, Estimator::Accurate}) {
      StreamMap streams = r->streams;
      ASSERT_TRUE(estimateOrientation(r->settings, streams, e));
      whole[e == Estimator::Accurate] = streams.at(kQuaternionKey).values;
    }
    const ImuSource source{n, static_cast<double>(r->settings.accel.frequency),
                           [&](uint64_t first, uint64_t m, double* accel, double* gyro) {
                             for (uint64_t c = 0; c < 3; ++c) {
                               std::copy_n(&a.values[c * a.count + first], m, accel + c * m);
                               std::copy_n(&g.values[c * g.count + first], m, gyro + c * m);
                             }
                           }};
    for (const uint64_t chunk : {1, 7, 1000, 0}) {
      std::vector<double> got(4 * n, -1.0);
      uint64_t next = 0;
      const QuaternionChunkFn collect = [&](uint64_t first, uint64_t m, const double* q) {
        EXPECT_EQ(first, next);
        next = first + m;
        for (uint64_t c = 0; c < 4; ++c) std::copy_n(q + c * m, m, &got[c * n + first]);
      };
      estimateAccurateChunked(source, chunk, collect);
      EXPECT_EQ(next, n);
      EXPECT_TRUE(got == whole[1]) << "accurate, chunks of " << chunk;

      next = 0;
      ClassicFilterStream classic(r->settings.accel.frequency);
      const uint64_t step = chunk ? chunk : n;
      for (uint64_t first = 0; first < n; first += step)
        classic.push(&a.values[first], a.count, &g.values[first], g.count, std::min(step, n - first), collect);
      classic.finish(collect);
      EXPECT_EQ(next, n);
      EXPECT_TRUE(got == whole[0]) << "classic, chunks of " << chunk;
    }
  }
}

namespace {

using Quaternions = std::vector<std::array<double, 4>>;

// Angle turned from sample a to b about the unit sensor axis `spin`, in
// degrees: each sample's turn summed, so whole revolutions count and the
// heading, which nothing observes, drops out.
double turned(const Quaternions& q, uint64_t a, uint64_t b, const double spin[3]) {
  double sum = 0;
  for (uint64_t i = a; i < b; ++i) {
    const auto& p = q[i];
    const auto& n = q[i + 1];
    // conj(p) n: the turn in sensor axes
    double d[4] = {p[0] * n[0] + p[1] * n[1] + p[2] * n[2] + p[3] * n[3],
                   p[0] * n[1] - p[1] * n[0] - p[2] * n[3] + p[3] * n[2],
                   p[0] * n[2] + p[1] * n[3] - p[2] * n[0] - p[3] * n[1],
                   p[0] * n[3] - p[1] * n[2] + p[2] * n[1] - p[3] * n[0]};
    if (d[0] < 0)
      for (double& c : d) c = -c;
    const double s = std::sqrt(d[1] * d[1] + d[2] * d[2] + d[3] * d[3]);
    if (s > 0) sum += 2 * std::atan2(s, d[0]) * (d[1] * spin[0] + d[2] * spin[1] + d[3] * spin[2]) / s;
  }
  return sum * 180 / 3.14159265358979;
}

// The whole turn between samples a and b, degrees, whatever its axis.
double angleBetween(const std::array<double, 4>& p, const std::array<double, 4>& n) {
  const double dot = std::fabs(p[0] * n[0] + p[1] * n[1] + p[2] * n[2] + p[3] * n[3]);
  return 2 * std::acos(std::min(1.0, dot)) * 180 / 3.14159265358979;
}

}  // namespace

// Steady turns: still, turning at a constant rate for a minute, still again.
// A steady rate is not rest, however steady: the estimate turns as the
// generator's truth does, the turn never reaches the bias (a forward pass
// ends it with what the rest taught), and the still phases do not drift.
TEST(AccurateOrientation, SteadyTurnsAreNotRest) {
  const double kDeg = 3.14159265358979 / 180;
  struct Case {
    double rate;
    std::array<double, 3> axis;  // in the world
    double tilt;                 // degrees about x while still
  };
  for (const Case c : {Case{5, {0, 0, 1}, 0}, Case{10, {0, 0, 1}, 30}, Case{90, {0, 0, 1}, 0}, Case{20, {1, 0, 0}, 0}})
    for (const bool noisy : {false, true}) {
      gen::RecordingRecipe recipe = motionRecipe(20, c.rate, c.axis, 100);
      recipe.clock = 100, recipe.accelHz = 100, recipe.gyroHz = 100;
      recipe.motion.moveSeconds = 60;
      recipe.motion.noise = noisy ? 4 : 0;
      const double bias[3] = {0.3, -0.2, 0.4};
      if (noisy) std::copy_n(bias, 3, recipe.motion.gyroBiasDps);
      recipe.motion.start[0] = std::cos(c.tilt * kDeg / 2), recipe.motion.start[1] = std::sin(c.tilt * kDeg / 2);
      // The world axis in sensor axes: turned back by the tilt.
      const double spin[3] = {c.axis[0], std::sin(c.tilt * kDeg) * c.axis[2], std::cos(c.tilt * kDeg) * c.axis[2]};
      gen::GeneratedSamples truth;
      Recording r;
      ASSERT_TRUE(parseRecording(r.settings, r.streams, gen::buildRecording(recipe, &truth)));
      ASSERT_TRUE(estimateOrientation(r.settings, r.streams, Estimator::Accurate));
      const SampleStream& q = r.streams.at(kQuaternionKey);
      Quaternions est(q.count), real(q.count);
      for (uint64_t i = 0; i < q.count; ++i)
        for (int k = 0; k < 4; ++k) est[i][k] = q.value(k, i), real[i][k] = truth.trueQuaternion[4 * i + k];
      const std::string label = std::to_string(c.rate) + " deg/s" + (noisy ? ", noisy" : "");
      // From a second before the turn to a second after it.
      const double want = turned(real, 1900, 8100, spin), got = turned(est, 1900, 8100, spin);
      EXPECT_NEAR(want, 60 * c.rate, 0.01 * c.rate) << label;
      EXPECT_NEAR(got / want, 1.0, 0.02) << label << ": turned " << got << " of " << want;
      const AccuratePass pass = forwardPass(r, 7990);
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(pass.bias[k] / kDeg, recipe.motion.gyroBiasDps[k], 0.05) << label << " " << k;
      EXPECT_LT(angleBetween(est[100], est[1900]), 0.5) << label;
      EXPECT_LT(angleBetween(est[8200], est[9980]), 0.5) << label;
    }
}
