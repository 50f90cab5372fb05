#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>

#include "export/csv.h"
#include "gen/sync_set.h"
#include "orientation/orientation.h"
#include "reader/parser.h"
#include "ops/operations.h"
#include "sync/sync.h"
#include "test_files.h"

using namespace kinovar;
namespace fs = std::filesystem;

namespace {

// Three sensors whose clocks started at 0, -3.25 and 7.125 s of true time and
// that overlap from 7.5 to 12.0 s; the rotation starts at 9.0 s.
gen::SyncSetRecipe threeSensors(gen::SyncMethod method) {
  gen::SyncSetRecipe set;
  set.method = method;
  set.base.seconds = 12.0;
  set.base.motion.axis[0] = 1.0;
  set.base.motion.axis[2] = 0.0;
  set.motionStart = 9.0;
  set.sensors = {{0.0, 0.5, ""}, {-3.25, 0.0, ""}, {7.125, 7.5, ""}};
  return set;
}

constexpr double kAccelLsb = 16.0 / 32768;
constexpr double kGyroLsb = 2000.0 / 32768;

class SyncSet : public testing::TestWithParam<gen::SyncMethod> {};

}  // namespace

TEST_P(SyncSet, GeneratedSensorsLineUpToTheSample) {
  TempDir scratch;
  const fs::path dir = fs::path(scratch.path("")).parent_path();
  const gen::SyncSetRecipe recipe = threeSensors(GetParam());
  gen::SyncSet set;
  ASSERT_TRUE(gen::writeSyncSet(dir.string(), recipe, &set));

  const size_t n = set.paths.size();
  std::vector<Recording> parsed(n);
  for (size_t i = 0; i < n; ++i)
    ASSERT_TRUE(parseRecordingFile(parsed[i].settings, parsed[i].streams, set.paths[i].c_str()));
  std::vector<Recording> synced = parsed;
  ASSERT_TRUE(syncRecordings(synced));
  const auto out = [&](size_t i) -> const StreamMap& { return synced[i].streams; };

  // Time marks count from the earliest clock's tick 0, radio from the master's.
  const double base = GetParam() == gen::SyncMethod::TimeMarks ? -3.25 : 0.0;
  for (const auto& [key, lsb, count] : {std::tuple{kAccelKey, kAccelLsb, 450u}, {kGyroKey, kGyroLsb, 450u}}) {
    for (size_t i = 0; i < n; ++i) {
      const SampleStream& s = out(i).at(key);
      ASSERT_EQ(s.count, count) << "sensor " << i << " key " << key;
      EXPECT_NEAR(s.times[0], 7.5 - base, 1e-6);
      // Sample 0 is the one each sensor took at 7.5 s of true time.
      const size_t first = static_cast<size_t>(std::lround((7.5 - recipe.sensors[i].firstSample) * 100));
      const auto& raw = key == kAccelKey ? set.samples[i].accel : set.samples[i].gyro;
      for (uint64_t c = 0; c < 3; ++c) EXPECT_DOUBLE_EQ(s.value(c, 0), raw[3 * first + c] * lsb);
      EXPECT_NEAR(s.times[count - 1], out(0).at(key).times[count - 1], 1e-6);
    }
  }
  // Rotation starts at the same sample everywhere: 9.0 s is sample 150.
  for (size_t i = 0; i < n; ++i) {
    EXPECT_EQ(out(i).at(kGyroKey).value(0, 150), 0.0);
    EXPECT_NE(out(i).at(kGyroKey).value(0, 151), 0.0);
    EXPECT_EQ(out(i).at(kBaroKey).count, 112u);
  }

  // The driver parses and filters the sensors side by side; its files must be
  // what the stages give one after the other.
  for (Recording& r : parsed) ASSERT_TRUE(estimateOrientation(r.settings, r.streams));
  ASSERT_TRUE(syncRecordings(parsed));
  const fs::path folder = dir / "csv";
  fs::create_directories(folder);
  ASSERT_EQ(readAndSync(set.paths, folder.string()), "OK");
  for (size_t i = 0; i < n; ++i) {
    const std::string expected = (dir / "expected.csv").string();
    ASSERT_TRUE(exportCsv(expected.c_str(), parsed[i].settings, parsed[i].streams));
    EXPECT_TRUE(readText((folder / fs::path(set.paths[i]).stem()).string() + ".csv") == readText(expected)) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(SyncMethods, SyncSet,
                         testing::Values(gen::SyncMethod::TimeMarks, gen::SyncMethod::RadioSettings,
                                         gen::SyncMethod::RadioStream),
                         [](const testing::TestParamInfo<gen::SyncMethod>& info) {
                           return std::string(std::array{"TimeMarks", "RadioSettings", "RadioStream"}[info.index]);
                         });
