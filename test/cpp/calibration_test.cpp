#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "calibration/calibration.h"
#include "gen/generator.h"
#include "io/failure.h"
#include "test_files.h"

using namespace kinovar;

namespace {

// A sensor worn through a day: still postures all over the sphere, a
// temperature that swings by 8 degrees, two idle hours and a clipped burst.
gen::RecordingRecipe dayRecipe(uint32_t seed) {
  gen::RecordingRecipe r;
  r.seconds = 86400;
  r.accelHz = 10, r.gyroHz = 10, r.baroHz = 1;
  r.seed = seed;
  r.motion.noise = 4;
  r.postures.holdSeconds = 120;
  r.postures.turnSeconds = 3;
  r.temperatureSwing.amplitude = 8;
  r.temperatureSwing.periodSeconds = 6 * 3600;
  r.idle = {{20000, 7200}};
  r.clippedBursts = {{50000, 60}};
  // Within what the field meets: offsets of tens of mg, gains of a few
  // percent, temperature terms of a few mg per degree, biases of degrees per second.
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (int k = 0; k < 3; ++k) {
    r.miscalibration.offset[k] = 0.060 * unit(random);
    r.miscalibration.scale[k] = 1.0 + 0.03 * unit(random);
    r.miscalibration.temperature[k] = 0.002 * unit(random);
    r.motion.gyroBiasDps[k] = 3.0 * unit(random);
  }
  r.miscalibration.referenceTemperature = 21.5;
  return r;
}

struct Opened {
  std::vector<uint8_t> bytes;
  RecordingReader reader;
  explicit Opened(const gen::RecordingRecipe& recipe, uint64_t chunk = 0) : bytes(gen::buildRecording(recipe)), reader(chunk) {
    EXPECT_TRUE(reader.open(bytes));
  }
};

}  // namespace

TEST(Calibration, FitFindsTheGeneratorsMiscalibrationOverADay) {
  for (uint32_t seed : {3u, 11u}) {
    SCOPED_TRACE(seed);
    const gen::RecordingRecipe recipe = dayRecipe(seed);
    Opened day(recipe);
    const CalibrationReport report = calibrateRecording(day.reader);
    const AccelFit& fit = report.accel;
    ASSERT_TRUE(fit.accepted) << fit.status;
    ASSERT_TRUE(fit.temperatureTerm);
    // The fit's reference temperature is its own; the generator's terms are
    // moved onto it before comparing.
    const gen::Miscalibration& truth = recipe.miscalibration;
    for (int k = 0; k < 3; ++k) {
      const double shift = (fit.referenceTemperature - truth.referenceTemperature) * truth.temperature[k] / truth.scale[k];
      EXPECT_NEAR(fit.offset[k], truth.offset[k] + shift, 0.002) << k;
      EXPECT_NEAR(fit.scale[k], truth.scale[k], 0.002) << k;
      EXPECT_NEAR(fit.temperature[k], truth.temperature[k], 0.0003) << k;
      EXPECT_NEAR(report.gyro.bias[k], recipe.motion.gyroBiasDps[k], 0.05) << k;
    }
    EXPECT_GT(fit.errorBeforeMg, 10.0);
    EXPECT_LT(fit.errorAfterMg, 3.0);
    // The two idle hours are left out, not fitted.
    EXPECT_GE(fit.idleWindows, 719u);
    EXPECT_LE(fit.idleWindows, 721u);
    // The clipped burst is no rest: every still window lies near the sphere.
    for (const StillWindow& w : collectStillWindows(day.reader).still)
      ASSERT_NEAR(std::hypot(w.mean[0], w.mean[1], w.mean[2]), 1.0, 0.15);
    EXPECT_TRUE(report.gyro.found);
    EXPECT_GT(report.gyro.restSeconds, 40000.0);
  }
}

TEST(Calibration, RefusesWhatCannotBeFittedAndSaysWhy) {
  // A lab trial: a short still start, then turning.
  gen::RecordingRecipe lab;
  lab.seconds = 7200;
  lab.accelHz = 20, lab.gyroHz = 20, lab.baroHz = 1;
  lab.motion.noise = 4;
  lab.motion.stillSeconds = 200;
  lab.motion.axis[0] = 1, lab.motion.axis[1] = 0, lab.motion.axis[2] = 0;
  lab.motion.rateDps = 45;
  lab.miscalibration.offset[0] = 0.04;
  Opened trial(lab);
  CalibrationReport report = calibrateRecording(trial.reader);
  EXPECT_FALSE(report.accel.accepted);
  EXPECT_NE(report.accel.status.find("too few still windows: 20 of the 50"), std::string::npos) << report.accel.status;
  EXPECT_EQ(report.accel.windows, 20u);
  // Its 200 s of rest still tell the gyroscope's bias.
  EXPECT_TRUE(report.gyro.found);
  EXPECT_FALSE(report.model().accel);

  // Many still windows, all near one orientation: the sphere is not covered.
  gen::RecordingRecipe flat = dayRecipe(5);
  flat.seconds = 6 * 3600;
  flat.postures.spreadDegrees = 10;
  Opened table(flat);
  report = calibrateRecording(table.reader);
  EXPECT_FALSE(report.accel.accepted);
  EXPECT_GT(report.accel.windows, 1000u);
  EXPECT_NE(report.accel.status.find("do not cover the sphere: x"), std::string::npos) << report.accel.status;
  EXPECT_LT(report.accel.highest[0], 0.3);

  // Without a gyroscope at rest for 10 s there is no bias.
  StillWindows few;
  few.still.resize(3);
  for (StillWindow& w : few.still) w.gyroSeconds = 3, w.gyro[0] = 1;
  const GyroFit gyro = fitGyro(few);
  EXPECT_FALSE(gyro.found);
  EXPECT_NE(gyro.status.find("9.0 s of rest"), std::string::npos) << gyro.status;
}

TEST(Calibration, CalibratedSamplesAreTheModelAppliedToTheRawOnes) {
  gen::RecordingRecipe recipe = dayRecipe(7);
  recipe.seconds = 1800;
  recipe.accelHz = 100, recipe.gyroHz = 50, recipe.baroHz = 5;
  recipe.temperatureSwing.periodSeconds = 600;
  Opened opened(recipe, 37);  // pieces that fall anywhere
  const RecordingReader& reader = opened.reader;
  StreamMap raw;
  reader.readAll(raw);
  CalibrationModel model;
  model.accel = model.gyro = true;
  for (int k = 0; k < 3; ++k)
    model.offset[k] = 0.01 * (k + 1), model.scale[k] = 1.0 - 0.01 * k, model.temperature[k] = 0.001 * (k - 1),
    model.bias[k] = 0.5 * (k + 1);
  model.referenceTemperature = 20;
  applyCalibration(opened.reader, model);

  // The temperature, interpolated here from the barometer read whole.
  const SampleStream& baro = raw.at(kBaroKey);
  const auto temperature = [&](double t) {
    const auto after = std::upper_bound(baro.times.begin(), baro.times.end(), t);
    if (after == baro.times.begin()) return baro.value(1, 0);
    if (after == baro.times.end()) return baro.value(1, baro.count - 1);
    const uint64_t j = static_cast<uint64_t>(after - baro.times.begin());
    const double f = (t - baro.times[j - 1]) / (baro.times[j] - baro.times[j - 1]);
    return baro.value(1, j - 1) + f * (baro.value(1, j) - baro.value(1, j - 1));
  };
  const SampleStream& accel = raw.at(kAccelKey);
  const SampleStream& gyro = raw.at(kGyroKey);
  // From the start and from samples in the middle, as the estimators ask.
  for (uint64_t first : {uint64_t{0}, uint64_t{12345}, accel.count - 10}) {
    SampleStream got;
    const uint64_t n = reader.cursor(kAccelKey, first)->read(got, 1000);
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t s = first + i;
      for (int k = 0; k < 3; ++k) {
        const double want = (accel.value(static_cast<uint64_t>(k), s) + model.offset[k]) * model.scale[k] +
                            (temperature(accel.times[s]) - model.referenceTemperature) * model.temperature[k];
        ASSERT_NEAR(got.value(static_cast<uint64_t>(k), i), want, 1e-12) << s << " " << k;
      }
    }
    const uint64_t g = std::min(first, gyro.count - 1);
    const uint64_t m = reader.cursor(kGyroKey, g)->read(got, 1000);
    for (uint64_t i = 0; i < m; ++i)
      for (int k = 0; k < 3; ++k)
        ASSERT_EQ(got.value(static_cast<uint64_t>(k), i), gyro.value(static_cast<uint64_t>(k), g + i) - model.bias[k]);
  }
  // What reports on the recording itself reads stays raw.
  SampleStream rawPiece;
  reader.rawCursor(kAccelKey)->read(rawPiece, 5);
  EXPECT_EQ(rawPiece.value(2, 4), accel.value(2, 4));
}

TEST(Calibration, FileRoundTripsAndBadFilesSayWhy) {
  TempDir dir;
  gen::RecordingRecipe recipe = dayRecipe(9);
  recipe.seconds = 4 * 3600;
  Opened opened(recipe);
  const CalibrationReport fitted = calibrateRecording(opened.reader);
  ASSERT_TRUE(fitted.accel.accepted) << fitted.accel.status;
  const std::string path = dir.path("device.json");
  const std::string text = calibrationJson(fitted);
  writeBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
  const CalibrationReport read = readCalibrationFile(path.c_str());
  EXPECT_EQ(read.deviceId, recipe.deviceId);
  const CalibrationModel a = fitted.model(), b = read.model();
  ASSERT_TRUE(b.accel && b.gyro);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(a.offset[k], b.offset[k]);
    EXPECT_EQ(a.scale[k], b.scale[k]);
    EXPECT_EQ(a.temperature[k], b.temperature[k]);
    EXPECT_EQ(a.bias[k], b.bias[k]);
  }
  EXPECT_EQ(a.referenceTemperature, b.referenceTemperature);

  const std::pair<const char*, const char*> bad[] = {
      {"{\"deviceId\":1,\"accel\":{\"accepted\":true,\"offset\":[0,0]", "no JSON"},
      {"{\"accel\":{}}", "no deviceId"},
      {"{\"deviceId\":1,\"accel\":{\"accepted\":false},\"gyro\":{\"accepted\":false}}", "no accepted calibration"},
      {"{\"deviceId\":1,\"accel\":{\"accepted\":true,\"offset\":[0,0,0],\"scale\":[1,1]}}", "three numbers"},
  };
  for (const auto& [content, why] : bad) {
    writeBytes(path, std::vector<uint8_t>(content, content + std::strlen(content)));
    try {
      readCalibrationFile(path.c_str());
      ADD_FAILURE() << content;
    } catch (const CodedFailure& e) {
      EXPECT_STREQ(e.code, "ERR_KINOVAR_CALIBRATION_FILE");
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(readCalibrationFile(dir.path("missing.json").c_str()), CodedFailure);
}
