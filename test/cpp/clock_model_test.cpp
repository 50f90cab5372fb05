#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "gen/sync_set.h"
#include "reader/parser.h"
#include "sync/clock_model.h"
#include "sync/sync.h"
#include "test_files.h"

using namespace kinovar;
namespace fs = std::filesystem;

// Five minutes of three sensors whose clocks run 20, -80 and +100 ppm fast;
// 1 % of the radio pairs are noise. The marks are an hour apart, their
// seconds field turning over 14 times.
TEST(ClockModel, RateOfEveryClockWithinOnePpm) {
  for (const int clock : {1000, 1024}) {
    for (const gen::SyncMethod method : {gen::SyncMethod::TimeMarks, gen::SyncMethod::RadioStream,
                                         gen::SyncMethod::RadioSettings}) {
      SCOPED_TRACE(testing::Message() << clock << " Hz clock, method " << static_cast<int>(method));
      TempDir scratch;
      gen::SyncSetRecipe recipe;
      recipe.method = method;
      recipe.base.clock = static_cast<uint16_t>(clock);
      recipe.base.seconds = 300.0;
      recipe.radioCorrupt = 0.01;
      recipe.markSpan = 3600.0;
      recipe.sensors = {{-7.0, 1.0, "", 20.0}, {0.0, 0.5, "", -80.0}, {3.25, 3.5, "", 100.0}};
      gen::SyncSet set;
      ASSERT_TRUE(gen::writeSyncSet(fs::path(scratch.path("")).parent_path().string(), recipe, &set));
      std::vector<Recording> parsed(3);
      for (size_t i = 0; i < 3; ++i)
        ASSERT_TRUE(parseRecording(parsed[i].settings, parsed[i].streams, readBytes(set.paths[i])));
      SyncReport report;
      ASSERT_TRUE(syncRecordings(parsed, &report));
      ASSERT_EQ(report.clocks.size(), 3u);

      const double master = 1.0 + recipe.sensors[0].ppm * 1e-6;
      for (size_t i = 0; i < 3; ++i) {
        const ClockModel& model = report.clocks[i];
        const double own = 1.0 + recipe.sensors[i].ppm * 1e-6;
        if (method == gen::SyncMethod::TimeMarks) {
          // The reference is true time: one own second is 1 / own of it.
          EXPECT_TRUE(model.rateMeasured);
          EXPECT_NEAR(model.ppm(), (1.0 / own - 1.0) * 1e6, std::min(1.0, 3 * model.ppmUncertainty)) << i;
          EXPECT_TRUE(model.rateSignificant()) << i;
          continue;
        }
        if (i == 0 || method == gen::SyncMethod::RadioSettings) {
          EXPECT_EQ(model.ppm(), 0.0) << i;
          EXPECT_EQ(model.rateMeasured, i == 0) << i;
          continue;
        }
        const double truth = (master / own - 1.0) * 1e6;
        EXPECT_NEAR(model.ppm(), truth, std::min(1.0, 4 * model.ppmUncertainty)) << i;
        EXPECT_TRUE(model.rateSignificant()) << i;
        EXPECT_NEAR(model.offset, (recipe.sensors[i].clockZero - recipe.sensors[0].clockZero) * master, 2e-3) << i;
        EXPECT_EQ(model.pieces.size(), 1u) << i;
        EXPECT_GT(model.outliers, 10u) << i;
        EXPECT_LT(model.rmsMs, 1000.0 / clock) << i;
        // Offset-only alignment holds at the first pair and drifts to the window's end, near 300.5 s.
        EXPECT_NEAR(model.endErrorMs, std::fabs(truth) * 1e-6 * (300.5 - recipe.sensors[i].firstSample) * 1e3, 1.5) << i;
      }
    }
  }
}

// Ten minutes of radio pairs from a master that jumps 3.5 s at 400 s of
// the slave's time, then passes 2^31 ticks (its signed counter wraps): two
// pieces, each with the rate, the longer one the model.
TEST(ClockModel, RadioPairsThatJumpAreFittedApart) {
  SampleStream radio(1, 6000);
  for (uint64_t j = 0; j < radio.count; ++j) {
    radio.times[j] = 40.0 + j * 0.1;
    const double master = 2147000.0 + radio.times[j] * (1.0 + 50e-6) + (j >= 3600 ? 3.5 : 0.0);
    radio.values[j] = static_cast<int32_t>(static_cast<uint32_t>(std::llround(master * 1000.0))) / 1000.0;
  }
  ASSERT_LT(radio.values.back(), 0.0);
  const ClockModel model = radioStreamClock(radio, 1000);
  ASSERT_EQ(model.pieces.size(), 2u);
  EXPECT_EQ(model.pieces[1].first, 3600u);
  for (const ClockFit& piece : model.pieces) EXPECT_NEAR((piece.rate - 1.0) * 1e6, 50.0, 1.0);
  EXPECT_NEAR(model.offset, 2147000.0, 1e-3);
  EXPECT_EQ(model.outliers, 0u);

  // Two pairs draw no line: the first pair's offset, the rate not measured.
  radio.count = 2;
  const ClockModel few = radioStreamClock(radio, 1000);
  EXPECT_FALSE(few.rateMeasured);
  EXPECT_NEAR(few.offset, 2147000.0 + 40.0 * 50e-6, 1e-3);
}

// Two marks 30.25 s apart, read to the millisecond on a 1000 Hz clock, know
// the rate only to about 19 ppm (each span two readings rounded to 1 ms):
// a clock 25 ppm fast whose readings happen to give 0 ppm is not told apart
// from the reference, and one 400 ppm fast is.
TEST(ClockModel, TimeMarksRateUncertainty) {
  DeviceSettings settings;
  settings.frequency = 1000;
  TimeMarksSettings& marks = settings.timeMarks;
  marks.present = true;
  marks.value4 = 100, marks.value5 = 250, marks.value6 = 100250;
  marks.value9 = 130, marks.value10 = 500, marks.value11 = 130500;
  const ClockModel still = timeMarksClock(settings);
  EXPECT_EQ(still.ppm(), 0.0);
  EXPECT_NEAR(still.ppmUncertainty, std::sqrt(4e-6 / 12) / 30.25 * 1e6, 0.01);
  EXPECT_FALSE(still.rateSignificant());
  marks.value11 = 130500 + 12;  // 400 ppm of 30.25 s
  const ClockModel fast = timeMarksClock(settings);
  EXPECT_NEAR(fast.ppm(), -396.5, 0.5);
  EXPECT_TRUE(fast.rateSignificant());
}
