#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "gen/generator.h"
#include "export/csv.h"
#include "ops/epochs.h"
#include "reader/parser.h"
#include "test_files.h"

using namespace kinovar;

namespace {

using Kind = gen::Stretch::Kind;

// Stretch starts in seconds, from the first sample.
struct Day {
  gen::RecordingRecipe recipe;
  std::vector<double> starts;
};

Day freeLiving() {
  Day d;
  d.recipe.clock = 1000;
  d.recipe.accelHz = 50;
  d.recipe.gyroHz = 25;
  d.recipe.baroHz = 5;
  d.recipe.scenario = {{Kind::Active, 1800}, {Kind::Nonwear, 3 * 3600, 1.0}, {Kind::Sleep, 4 * 3600},
                       {Kind::Active, 600},  {Kind::Gap, 900},                {Kind::Active, 600},
                       {Kind::Clipped, 3},   {Kind::Active, 1497},            {Kind::Nonwear, 5000, 3.0}};
  double at = 0;
  for (const gen::Stretch& s : d.recipe.scenario) d.starts.push_back(at), at += s.seconds;
  d.starts.push_back(at);
  d.recipe.seconds = at;
  return d;
}

std::vector<EpochRow> epochsOf(const std::string& path, const EpochRequest& request, uint64_t chunk,
                               EpochSummary* summary = nullptr, double* firstTime = nullptr) {
  ConversionOptions options;
  options.chunkSamples = chunk;
  EpochReader reader(path.c_str(), options, request);
  EXPECT_EQ(reader.refusal(), EpochRefusal::None);
  std::vector<EpochRow> all, rows;
  while (reader.next(97, rows)) all.insert(all.end(), rows.begin(), rows.end());
  if (summary) *summary = reader.summary();
  if (firstTime && !all.empty()) *firstTime = reader.timeOf(all.front());
  return all;
}

// The metrics computed plainly from the whole parsed recording, per epoch.
struct Plain {
  std::vector<double> x, y, z, gyro, pressure;
};

}  // namespace

TEST(Epochs, MetricsNonwearAndClippingMatchTheGeneratedDay) {
  TempDir dir;
  const Day day = freeLiving();
  const std::string path = dir.path("day.bin");
  ASSERT_TRUE(gen::writeRecording(path, day.recipe));
  const std::vector<EpochRow> rows = epochsOf(path, {}, 4096);

  DeviceSettings settings;
  StreamMap streams;
  ASSERT_TRUE(parseRecording(settings, streams, readBytes(path)));
  std::map<int64_t, Plain> plain;
  const SampleStream& a = streams.at(kAccelKey);
  const double origin = std::min({a.times[0], streams.at(kGyroKey).times[0], streams.at(kBaroKey).times[0]});
  const auto epoch = [&](double t) { return static_cast<int64_t>(std::floor((t - origin + 1e-9) / 5.0)); };
  for (uint64_t i = 0; i < a.count; ++i) {
    Plain& p = plain[epoch(a.times[i])];
    p.x.push_back(a.value(0, i)), p.y.push_back(a.value(1, i)), p.z.push_back(a.value(2, i));
  }
  const SampleStream& g = streams.at(kGyroKey);
  for (uint64_t i = 0; i < g.count; ++i) plain[epoch(g.times[i])].gyro.push_back(std::hypot(g.value(0, i), g.value(1, i), g.value(2, i)));
  const SampleStream& b = streams.at(kBaroKey);
  for (uint64_t i = 0; i < b.count; ++i) plain[epoch(b.times[i])].pressure.push_back(b.value(0, i));

  // Every epoch from the first sample to the last, in order, gaps included.
  ASSERT_EQ(rows.size(), static_cast<size_t>(std::ceil(day.recipe.seconds / 5.0)));
  const double step = 15 * 60;
  const double nonwear[2][2] = {{day.starts[1], day.starts[2]}, {day.starts[8], day.starts[9]}};
  uint64_t nonwearRows = 0;
  for (size_t r = 0; r < rows.size(); ++r) {
    const EpochRow& row = rows[r];
    SCOPED_TRACE(r);
    ASSERT_EQ(row.index, static_cast<int64_t>(r));
    const double start = 5.0 * static_cast<double>(r), end = start + 5.0;
    const Plain& p = plain[row.index];
    ASSERT_EQ(row.samples, p.x.size());
    if (start >= day.starts[4] && end <= day.starts[5]) {
      EXPECT_EQ(row.samples, 0u);  // the gap
    }
    if (row.samples == 0) continue;
    const double n = static_cast<double>(p.x.size());
    double mean[3] = {}, enmo = 0, norms = 0, angle = 0;
    uint64_t clipped = 0;
    for (size_t i = 0; i < p.x.size(); ++i) {
      const double v[3] = {p.x[i], p.y[i], p.z[i]};
      const double norm = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
      for (int k = 0; k < 3; ++k) mean[k] += v[k] / n;
      enmo += std::max(0.0, norm - 1) / n, norms += norm / n;
      angle += std::atan(v[2] / std::sqrt(v[0] * v[0] + v[1] * v[1])) * 180 / 3.14159265358979323846 / n;
      clipped += std::fabs(v[0]) >= 15.5 || std::fabs(v[1]) >= 15.5 || std::fabs(v[2]) >= 15.5;
    }
    double mad = 0, sd[3] = {};
    for (size_t i = 0; i < p.x.size(); ++i) {
      mad += std::fabs(std::sqrt(p.x[i] * p.x[i] + p.y[i] * p.y[i] + p.z[i] * p.z[i]) - norms) / n;
      const double v[3] = {p.x[i], p.y[i], p.z[i]};
      for (int k = 0; k < 3; ++k) sd[k] += (v[k] - mean[k]) * (v[k] - mean[k]) / (n - 1);
    }
    EXPECT_NEAR(row.enmo, enmo, 1e-12);
    EXPECT_NEAR(row.mad, mad, 1e-12);
    EXPECT_NEAR(row.anglez, angle, 1e-9);
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(row.mean[k], mean[k], 1e-12);
      EXPECT_NEAR(row.sd[k], std::sqrt(sd[k]), 1e-9);
    }
    EXPECT_EQ(row.clipped, clipped);
    const bool burst = end > day.starts[6] && start < day.starts[7];
    EXPECT_EQ(row.clipped > 0, burst);
    double gyro = 0, pressure = 0;
    for (double v : p.gyro) gyro += v / static_cast<double>(p.gyro.size());
    for (double v : p.pressure) pressure += v / static_cast<double>(p.pressure.size());
    EXPECT_EQ(row.gyroSamples, p.gyro.size());
    EXPECT_NEAR(row.gyro, gyro, 1e-9);
    EXPECT_NEAR(row.pressure, pressure, 1e-9);
    // Non-wear where the sensor lay still (its edges within a window step), nowhere else.
    bool inside = false, near = false;
    for (const auto& [from, to] : nonwear) {
      inside |= start >= from + step && end <= to - step;
      near |= end > from - step && start < to + step;
    }
    if (inside) {
      EXPECT_TRUE(row.nonwear);
    }
    if (!near) {
      EXPECT_FALSE(row.nonwear);
    }
    nonwearRows += row.nonwear;
  }
  // Both stillnesses start on the windows' grid, so they are found exactly; the
  // second ends the recording, which the last window is anchored to.
  EXPECT_EQ(nonwearRows, static_cast<uint64_t>((3 * 3600 + 5000) / 5));

  // The pieces the recording is read in change nothing.
  const std::vector<EpochRow> whole = epochsOf(path, {}, 0);
  ASSERT_EQ(whole.size(), rows.size());
  for (size_t r = 0; r < rows.size(); ++r) {
    EXPECT_EQ(whole[r].enmo, rows[r].enmo);
    EXPECT_EQ(whole[r].nonwear, rows[r].nonwear);
  }
}

TEST(Epochs, SleepIsWornAndTheRuleFollowsItsOptions) {
  TempDir dir;
  gen::RecordingRecipe recipe;
  recipe.accelHz = 20, recipe.gyroHz = 0, recipe.baroHz = 0;
  recipe.scenario = {{Kind::Sleep, 8 * 3600, 3.0}};
  recipe.seconds = 8 * 3600;
  const std::string path = dir.path("night.bin");
  ASSERT_TRUE(gen::writeRecording(path, recipe));
  EpochRequest request;
  request.epochs.seconds = 30;
  for (const EpochRow& row : epochsOf(path, request, 0)) ASSERT_FALSE(row.nonwear) << row.index;
  // Windows shorter than the time between posture changes find the stillness between them.
  request.epochs.nonwear.windowMinutes = 12;
  uint64_t found = 0;
  for (const EpochRow& row : epochsOf(path, request, 0)) found += row.nonwear;
  EXPECT_GT(found, 8 * 120 / 2u);
  request.epochs.nonwear.on = false;
  for (const EpochRow& row : epochsOf(path, request, 0)) ASSERT_FALSE(row.nonwear);
}

TEST(Epochs, ClockAlignedEpochsAndDays) {
  TempDir dir;
  gen::RecordingRecipe recipe;
  recipe.accelHz = 5, recipe.gyroHz = 0, recipe.baroHz = 0;
  recipe.scenario = {{Kind::Active, 30 * 3600}, {Kind::Nonwear, 20 * 3600}};
  recipe.seconds = 50 * 3600;
  const std::string path = dir.path("days.bin");
  ASSERT_TRUE(gen::writeRecording(path, recipe));  // made at 14:05:09

  EpochRequest request;
  request.epochs.seconds = 60;
  request.alignToClock = true;
  request.days.on = true;
  EpochSummary summary;
  double first = 0;
  std::vector<EpochRow> rows = epochsOf(path, request, 0, &summary, &first);
  EXPECT_EQ(first, -9.0);  // 14:05:00
  EXPECT_EQ(rows.front().samples, 51u * 5);
  EXPECT_EQ(rows.size(), 50u * 60 + 1);
  // 24 h from the first epoch: the last day holds the 2 h left.
  ASSERT_EQ(summary.days.size(), 3u);
  EXPECT_NEAR(summary.days[0].recorded, 24 - 9 / 3600.0, 1e-9);
  EXPECT_NEAR(summary.days[0].worn, 24 - 9 / 3600.0, 1e-9);
  EXPECT_TRUE(summary.days[0].valid);
  EXPECT_NEAR(summary.days[1].worn, 6, 0.25 + 1e-9);
  EXPECT_FALSE(summary.days[1].valid);
  EXPECT_NEAR(summary.days[2].recorded, 2 + 9 / 3600.0, 1e-9);
  EXPECT_NEAR(summary.recordedHours, 50, 1e-9);
  EXPECT_NEAR(summary.wornHours + summary.notWornHours, 50, 1e-9);
  EXPECT_EQ(summary.validDays, 1u);

  // Local days, one of them 23 h long: midnight is 9 h 54 min 51 s after the first sample.
  const double created = epochSeconds(DateTimeFields{9, 5, 14, 21, 3, 2017});
  const double midnight = created + 10 * 3600 - 5 * 60 - 9;
  request.days.starts = {midnight - 86400, midnight, midnight + 23 * 3600, midnight + 47 * 3600};
  request.days.dates = {"2017-03-21", "2017-03-22", "2017-03-23"};
  rows = epochsOf(path, request, 0, &summary);
  ASSERT_EQ(summary.days.size(), 3u);
  EXPECT_EQ(summary.days[1].date, "2017-03-22");
  EXPECT_EQ(summary.days[1].hours, 23);
  EXPECT_NEAR(summary.days[0].recorded * 3600, 10 * 3600 - 5 * 60 - 9, 1);
  EXPECT_NEAR(summary.days[1].recorded, 23, 1e-9);
  EXPECT_NEAR(summary.days[2].start, 10 * 3600 - 5 * 60 - 9 + 23 * 3600, 1e-6);
}

TEST(Epochs, RecordingsWithoutAnAccelerometerAreRefused) {
  TempDir dir;
  gen::RecordingRecipe recipe;
  recipe.accelHz = 0;
  const std::string path = dir.path("gyro.bin");
  ASSERT_TRUE(gen::writeRecording(path, recipe));
  EXPECT_EQ(EpochReader(path.c_str(), {}, {}).refusal(), EpochRefusal::NoAccel);
  writeBytes(dir.path("junk.bin"), std::vector<uint8_t>(100, 7));
  EXPECT_EQ(EpochReader(dir.path("junk.bin").c_str(), {}, {}).refusal(), EpochRefusal::Unparsed);
}
