#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>

#include "export/csv.h"
#include "gen/drift_check.h"
#include "gen/sync_set.h"
#include "orientation/orientation.h"
#include "reader/parser.h"
#include "ops/operations.h"
#include "sync/sync.h"
#include "test_files.h"

using namespace kinovar;
namespace fs = std::filesystem;

namespace {

// Three sensors whose clocks started at 0, -3.25 and 7.125 s of true time,
// or `age` seconds before that, and that overlap from 7.5 to 12.0 s; the
// rotation starts at 9.0 s, and each sensor marks an event every second from
// 3 ticks after its first sample.
gen::SyncSetRecipe threeSensors(gen::SyncMethod method, double age) {
  gen::SyncSetRecipe set;
  set.method = method;
  set.base.seconds = 12.0;
  set.base.eventHz = 1;
  set.base.motion.axis[0] = 1.0;
  set.base.motion.axis[2] = 0.0;
  set.motionStart = 9.0;
  set.sensors = {{0.0 - age, 0.5, ""}, {-3.25 - age, 0.0, ""}, {7.125 - age, 7.5, ""}};
  return set;
}

// The rows of a classic CSV that carry an event: the Event cell follows
// Time, the gyroscope's three, the accelerometer's three and, when
// `barometer`, the barometer's two.
std::vector<size_t> eventRows(const std::string& csvPath, bool barometer) {
  std::vector<size_t> rows;
  const std::string text = readText(csvPath);
  size_t line = 0, row = 0;
  for (size_t at = 0; at < text.size(); ++line) {
    const size_t end = text.find('\n', at);
    if (line >= 7) {
      size_t cell = at;
      for (int c = 0; c < (barometer ? 9 : 7); ++c) cell = text.find(',', cell) + 1;
      if (text[cell] != ',') rows.push_back(row);
      ++row;
    }
    at = end + 1;
  }
  return rows;
}

constexpr double kAccelLsb = 16.0 / 32768;
constexpr double kGyroLsb = 2000.0 / 32768;

// Clocks of any age: ticks near 2^30 (time marks lose the offset in single
// precision) and past 2^31 (every time of the set is negative).
constexpr double kTicks2To30 = 1073741.824, kTicksPast2To31 = 2200000.0;
// A set on a 1000 or 1024 Hz clock whose motion streams run at 100 or 128
// Hz, with an event every `eventPeriod` seconds.
gen::SyncSetRecipe driftingSet(gen::SyncMethod method, int clock, double seconds, double eventPeriod) {
  gen::SyncSetRecipe recipe;
  recipe.method = method;
  recipe.base.clock = static_cast<uint16_t>(clock);
  recipe.base.accelHz = recipe.base.gyroHz = clock == 1000 ? 100 : 128;
  recipe.base.seconds = seconds;
  recipe.base.eventPeriod = eventPeriod;
  recipe.base.eventHz = 1;
  return recipe;
}

class SyncSet : public testing::TestWithParam<std::tuple<gen::SyncMethod, double>> {};

}  // namespace

TEST_P(SyncSet, GeneratedSensorsLineUpToTheSample) {
  TempDir scratch;
  const fs::path dir = fs::path(scratch.path("")).parent_path();
  const auto [method, age] = GetParam();
  const gen::SyncSetRecipe recipe = threeSensors(method, age);
  gen::SyncSet set;
  ASSERT_TRUE(gen::writeSyncSet(dir.string(), recipe, &set));

  const size_t n = set.paths.size();
  std::vector<Recording> parsed(n);
  for (size_t i = 0; i < n; ++i)
    ASSERT_TRUE(parseRecording(parsed[i].settings, parsed[i].streams, readBytes(set.paths[i])));
  std::vector<Recording> synced = parsed;
  ASSERT_TRUE(syncRecordings(synced));
  const auto out = [&](size_t i) -> const StreamMap& { return synced[i].streams; };

  // Time marks count from the earliest clock's tick 0, radio from the master's.
  const double base = method == gen::SyncMethod::TimeMarks ? -3.25 : 0.0;
  for (const auto& [key, lsb, count] : {std::tuple{kAccelKey, kAccelLsb, 450u}, {kGyroKey, kGyroLsb, 450u}}) {
    for (size_t i = 0; i < n; ++i) {
      const SampleStream& s = out(i).at(key);
      ASSERT_EQ(s.count, count) << "sensor " << i << " key " << key;
      if (age == 0) {
        EXPECT_NEAR(s.times[0], 7.5 - base, 1e-6);
      }
      EXPECT_NEAR(s.times[0], out(0).at(key).times[0], 1e-6);
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
  // Events on the common time base, those from 7.5 to 11.99 s: the first at
  // 8.003 s for the sensor that started at 0.0 s, 7.503 for the others.
  for (size_t i = 0; i < n; ++i) {
    const SampleStream& events = out(i).at(kEventKey);
    const double first = i == 1 ? 8.003 : 7.503;
    ASSERT_EQ(events.count, i == 1 ? 4u : 5u);
    EXPECT_NEAR(events.times[0] - out(i).at(kGyroKey).times[0], first - 7.5, 1e-6);
    EXPECT_EQ(events.value(0, 0), std::round(first - recipe.sensors[i].firstSample) + 1);
  }

  // The driver parses and filters the sensors side by side; its files must be
  // what the stages give one after the other.
  for (Recording& r : parsed) ASSERT_TRUE(estimateOrientation(r.settings, r.streams));
  ASSERT_TRUE(syncRecordings(parsed));
  const fs::path folder = dir / "csv";
  fs::create_directories(folder);
  ASSERT_EQ(readAndSyncSet(set.paths, folder.string(), false).failure, SetFailure::None);
  for (size_t i = 0; i < n; ++i) {
    const std::string expected = (dir / "expected.csv").string();
    eventsOnRowClock(parsed[i].streams, parsed[i].settings.frequency);
    ASSERT_TRUE(exportCsv(expected.c_str(), parsed[i].settings, parsed[i].streams));
    EXPECT_TRUE(readText((folder / fs::path(set.paths[i]).stem()).string() + ".csv") == readText(expected)) << i;
  }

  // Row k of the classic CSV is k ticks after the gyroscope's and
  // accelerometer's first kept sample, 7.5 s of true time, whether or not a
  // 25 Hz barometer's first kept sample comes earlier.
  for (const bool barometer : {true, false}) {
    gen::SyncSetRecipe without = recipe;
    without.base.baroHz = barometer ? 25 : 0;
    const fs::path sub = dir / (barometer ? "with" : "without");
    fs::create_directories(sub / "csv");
    gen::SyncSet written;
    ASSERT_TRUE(gen::writeSyncSet(sub.string(), without, &written));
    ASSERT_EQ(readAndSyncSet(written.paths, (sub / "csv").string(), true).failure, SetFailure::None);
    for (size_t i = 0; i < n; ++i) {
      std::vector<size_t> truth;
      for (double t = i == 1 ? 8.003 : 7.503; t < 12.0; t += 1.0) truth.push_back(std::lround((t - 7.5) * 1000));
      const std::string csv = (sub / "csv" / fs::path(written.paths[i]).stem()).string() + ".csv";
      EXPECT_EQ(eventRows(csv, barometer), truth) << "sensor " << i << (barometer ? " with" : " without") << " barometer";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SyncMethods, SyncSet,
                         testing::Values(std::make_tuple(gen::SyncMethod::TimeMarks, 0.0),
                                         std::make_tuple(gen::SyncMethod::RadioSettings, 0.0),
                                         std::make_tuple(gen::SyncMethod::RadioStream, 0.0),
                                         std::make_tuple(gen::SyncMethod::TimeMarks, kTicks2To30),
                                         std::make_tuple(gen::SyncMethod::RadioSettings, kTicksPast2To31),
                                         std::make_tuple(gen::SyncMethod::RadioStream, kTicksPast2To31)),
                         [](const testing::TestParamInfo<SyncSet::ParamType>& info) {
                           return std::string(std::array{"TimeMarks", "RadioSettings", "RadioStream"}[info.index % 3]) +
                                  (info.index < 3 ? "" : "OldClocks");
                         });

// Four minutes of clocks running -100 to +100 ppm apart, 1 % of the radio
// pairs noise, on 1000 and 1024 Hz clocks: aligned by drift, every sample
// stands within half a row of its row's true instant (time marks: and a tick,
// their resolution) and every event on the tick of its own; offsets alone
// are rows off by the end, and radio settings, which give no rate, keep them.
TEST(DriftSet, EverySampleOnTheRowOfItsTrueInstant) {
  for (const int clock : {1000, 1024}) {
    for (const gen::SyncMethod method : {gen::SyncMethod::TimeMarks, gen::SyncMethod::RadioStream}) {
      SCOPED_TRACE(testing::Message() << clock << " Hz clock, method " << static_cast<int>(method));
      TempDir scratch;
      gen::SyncSetRecipe recipe = driftingSet(method, clock, 240.0, 7.3);
      recipe.base.baroHz = 0;
      recipe.radioCorrupt = 0.01;
      recipe.markSpan = 3600.0;
      recipe.sensors = {{-7.0, 1.0, "", 35.0}, {0.0, 0.5, "", -100.0}, {3.25, 3.5, "", 100.0}};
      gen::SyncSet set;
      ASSERT_TRUE(gen::writeSyncSet(fs::path(scratch.path("")).parent_path().string(), recipe, &set));
      const gen::DriftCheck check = gen::checkDriftSet(recipe, set);
      ASSERT_TRUE(check.aligned) << check.error;
      EXPECT_EQ(check.error, "");
      EXPECT_GT(check.rows, 3 * 230u * recipe.base.accelHz);
      EXPECT_LE(check.worstRow, check.halfRow + (method == gen::SyncMethod::TimeMarks ? 1.0 / clock : 1e-5));
      EXPECT_LT(check.worstPpm, 1.0);
      EXPECT_GE(check.events, 3 * 30u);
      EXPECT_LE(check.worstEventTicks, method == gen::SyncMethod::TimeMarks ? 1.5 : 0.5);
      // 200 ppm apart over four minutes: about five samples slip.
      EXPECT_GE(check.slipped, 4u);

      // Offsets alone leave the fastest clock rows off at the end.
      std::vector<Recording> parsed(3);
      for (size_t i = 0; i < 3; ++i)
        ASSERT_TRUE(parseRecording(parsed[i].settings, parsed[i].streams, readBytes(set.paths[i])));
      SyncReport report;
      ASSERT_TRUE(syncRecordings(parsed, &report, ClockAlignment::Offset));
      EXPECT_FALSE(report.drift);
      EXPECT_GT(report.clocks[2].endErrorMs, 2 * 1000.0 * check.halfRow);
    }
  }
  TempDir scratch;
  gen::SyncSetRecipe radio;
  radio.method = gen::SyncMethod::RadioSettings;
  radio.sensors = {{0.0, 0.5, "", 50.0}, {1.0, 1.5, "", -50.0}};
  gen::SyncSet set;
  ASSERT_TRUE(gen::writeSyncSet(fs::path(scratch.path("")).parent_path().string(), radio, &set));
  EXPECT_EQ(gen::checkDriftSet(radio, set).error, "the set was not aligned by drift");
}

// One recording of a set loses 10 to 40 blocks in its middle: aligned by
// drift, the rows of its gap are empty (not its last sample again), every
// value of every stream stands within half its period of its row's true
// instant, the report counts the empty rows, and samples of two streams at
// one instant (a barometer's and an accelerometer's) share one row.
TEST(DriftSet, AGapLeavesItsRowsEmpty) {
  for (const int clock : {1000, 1024}) {
    for (const gen::SyncMethod method : {gen::SyncMethod::TimeMarks, gen::SyncMethod::RadioStream}) {
      for (const int cut : {10, 40}) {
        SCOPED_TRACE(testing::Message() << clock << " Hz clock, method " << static_cast<int>(method) << ", " << cut << " blocks");
        TempDir scratch;
        gen::SyncSetRecipe recipe = driftingSet(method, clock, 90.0, 3.1);
        recipe.base.motion.noise = 3.0;
        recipe.markSpan = 60.0;
        // The gap in the grid's own recording, or in another.
        const size_t gapped = cut == 10 ? 0 : 2;
        recipe.sensors = {{-7.0, 1.0, "", 100.0}, {0.0, 0.5, "", -100.0}, {3.25, 3.5, "", 40.0}};
        recipe.sensors[gapped].cutBlocks = cut;
        gen::SyncSet set;
        ASSERT_TRUE(gen::writeSyncSet(fs::path(scratch.path("")).parent_path().string(), recipe, &set));
        const gen::DriftCheck check = gen::checkDriftSet(recipe, set);
        ASSERT_TRUE(check.aligned) << check.error;
        EXPECT_EQ(check.error, "");
        // Half a period, plus what the model places a sample off by: time marks a tick,
        // their resolution; radio pairs some tens of microseconds by the recording's end.
        const double resolution = method == gen::SyncMethod::TimeMarks ? 1.0 / clock : 5e-5;
        EXPECT_LE(check.worstBeyondHalf, resolution);
        EXPECT_GE(check.nearestBesideEmpty, -resolution);
        EXPECT_EQ(check.sharedInstants, 0u);
        // A block holds 63 frames: a cut of k blocks loses about k * 63 / (frames a second) seconds.
        const double framesPerSecond = 2.0 * recipe.base.accelHz + recipe.base.baroHz + 1.0 / 3.1 + 10.0;
        const double lost = cut * 63 / framesPerSecond;
        const double rowsPerSecond = 2.0 * recipe.base.accelHz + recipe.base.baroHz;
        for (size_t i = 0; i < 3; ++i) {
          if (i != gapped) EXPECT_EQ(check.emptyRows[i], 0u) << i;
          else EXPECT_NEAR(static_cast<double>(check.emptyRows[i]), lost * rowsPerSecond, 0.1 * lost * rowsPerSecond);
        }
      }
    }
  }
}

// A master whose signed counter passes 2^31 after a slave's first radio
// pair and before its own first sample: the pair reads a time a whole
// counter turn from the master's, which must not move the slave.
TEST(SyncSetRadio, MasterCounterPastTwoToThe31) {
  TempDir scratch;
  const fs::path dir = fs::path(scratch.path("")).parent_path();
  gen::SyncSetRecipe recipe = threeSensors(gen::SyncMethod::RadioStream, 0.0);
  recipe.sensors = {{1.0 - 2147483.648, 1.5, ""}, {-3.25, 0.5, ""}, {7.125, 7.5, ""}};
  gen::SyncSet set;
  ASSERT_TRUE(gen::writeSyncSet(dir.string(), recipe, &set));
  std::vector<Recording> parsed(3);
  for (size_t i = 0; i < 3; ++i)
    ASSERT_TRUE(parseRecording(parsed[i].settings, parsed[i].streams, readBytes(set.paths[i])));
  for (const ClockAlignment how : {ClockAlignment::Offset, ClockAlignment::Drift}) {
    std::vector<Recording> synced = parsed;
    SyncReport report;
    ASSERT_TRUE(syncRecordings(synced, &report, how));
    // Every recording from 7.5 s of true time, the master's times all negative.
    for (size_t i = 0; i < 3; ++i) {
      const SampleStream& accel = synced[i].streams.at(kAccelKey);
      EXPECT_EQ(accel.count, 500u) << i;
      EXPECT_NEAR(accel.times[0], synced[0].streams.at(kAccelKey).times[0], 1e-6) << i;
      const size_t first = static_cast<size_t>(std::lround((7.5 - recipe.sensors[i].firstSample) * 100));
      EXPECT_DOUBLE_EQ(accel.value(0, 0), set.samples[i].accel[3 * first] * kAccelLsb) << i;
    }
    EXPECT_LT(report.windowStart, 0.0);
  }
}

// A set is read twice in pieces and cut as its rows are made: in pieces of
// any size, by offset or by drift, classic or plain, its files hold the
// bytes of the set cut whole in memory, across blocks out of order, a gap,
// events and a barometer whose window edges fall anywhere in a piece. The
// clocks run far apart so that samples slip within seconds.
TEST(DriftSet, StreamedSetWritesTheBytesOfTheWholeSet) {
  TempDir scratch;
  const fs::path dir = fs::path(scratch.path("")).parent_path();
  gen::SyncSetRecipe recipe = threeSensors(gen::SyncMethod::RadioStream, 0.0);
  recipe.base.tricky.swapBlocks = true;
  recipe.base.tricky.cutBlocks = 1;
  recipe.radioCorrupt = 0.01;
  recipe.sensors = {{0.0, 0.5, "", 400.0}, {-3.25, 0.0, "", -3000.0}, {7.125, 7.5, "", 3000.0}};
  gen::SyncSet set;
  ASSERT_TRUE(gen::writeSyncSet(dir.string(), recipe, &set));
  for (const SetClock clock : {SetClock::Offset, SetClock::Drift}) {
    for (const OutputFormat format : {OutputFormat::ClassicCsv, OutputFormat::PlainCsv}) {
      std::vector<Recording> whole(3);
      for (size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(parseRecording(whole[i].settings, whole[i].streams, readBytes(set.paths[i])));
        ASSERT_TRUE(estimateOrientation(whole[i].settings, whole[i].streams));
      }
      SyncReport report;
      ASSERT_TRUE(syncRecordings(whole, &report, clock == SetClock::Drift ? ClockAlignment::Drift : ClockAlignment::Offset));
      ASSERT_EQ(report.drift, clock == SetClock::Drift);
      uint64_t slipped = 0;
      for (const auto& kept : report.samples)
        for (const SyncStreamCount& s : kept) slipped += s.skipped + s.repeated;
      EXPECT_EQ(slipped > 3, clock == SetClock::Drift);
      const CsvStyle style = csvStyleOf(format);
      std::vector<std::string> expected(3);
      for (size_t i = 0; i < 3; ++i) {
        if (style == CsvStyle::Classic) eventsOnRowClock(whole[i].streams, whole[i].settings.frequency);
        const std::string file = (dir / "expected.csv").string();
        ASSERT_TRUE(exportCsv(openCsv(file.c_str()), whole[i].settings, whole[i].streams, {}, style, 1, nullptr,
                              PlainTime{report.windowStart}));
        expected[i] = readText(file);
      }
      for (const uint64_t chunk : {1u, 7u, 100u, 0u}) {
        SCOPED_TRACE(testing::Message() << "clock " << static_cast<int>(clock) << ", format " << static_cast<int>(format)
                                        << ", pieces of " << chunk);
        ConversionOptions options;
        options.clock = clock;
        options.format = format;
        options.chunkSamples = chunk;
        const fs::path out = dir / ("out" + std::to_string(chunk));
        fs::create_directories(out);
        const SetOutcome outcome = readAndSyncSet(set.paths, out.string(), true, options);
        ASSERT_EQ(outcome.failure, SetFailure::None);
        for (size_t i = 0; i < 3; ++i) {
          EXPECT_TRUE(readText((out / fs::path(set.paths[i]).stem()).string() + ".csv") == expected[i]) << i;
          ASSERT_EQ(outcome.sync.samples[i].size(), report.samples[i].size());
          for (size_t k = 0; k < report.samples[i].size(); ++k) {
            const SyncStreamCount &a = outcome.sync.samples[i][k], &b = report.samples[i][k];
            EXPECT_EQ(std::tuple(a.key, a.samples, a.skipped, a.repeated), std::tuple(b.key, b.samples, b.skipped, b.repeated));
          }
          EXPECT_EQ(outcome.sync.events[i], report.events[i]);
        }
      }
    }
  }
}
