#include <gtest/gtest.h>

#include <algorithm>

#include "gen/generator.h"
#include "reader/parser.h"
#include "reader/quality.h"

using namespace kinovar;

namespace {

struct Inspected {
  DeviceSettings settings;
  StreamMap streams;
  QualityReport report;
};

Inspected inspectBytes(const std::vector<uint8_t>& bytes) {
  Inspected r;
  ParseStats scan;
  parseRecording(r.settings, r.streams, bytes, &scan);
  r.report = qualityReport(r.settings, r.streams, scan);
  return r;
}

const StreamQuality& stream(const QualityReport& report, const std::string& name) {
  for (const auto& q : report.streams)
    if (name == q.name) return q;
  throw std::runtime_error("no stream " + name);
}

// The generator counts each fault as it makes it; the report must find the same.
void expectFaults(const StreamQuality& q, const gen::StreamFaults& f, const char* name) {
  SCOPED_TRACE(name);
  EXPECT_EQ(q.duplicates, f.duplicates);
  EXPECT_EQ(q.missing, f.missing);
  EXPECT_EQ(q.gapCount, f.gaps);
  EXPECT_EQ(q.longestGap, f.longestGapTicks / 1000.0);
  EXPECT_EQ(q.saturated, f.saturated);
  // Each gap where it is: in time order, the longest among them, inside the recording.
  ASSERT_EQ(q.gapList.size(), q.gapCount);
  double longest = 0.0, before = -1.0;
  for (const Gap& gap : q.gapList) {
    EXPECT_GT(gap.start, before);
    EXPECT_LE(gap.start + gap.length, q.last);
    before = gap.start;
    longest = std::max(longest, gap.length);
  }
  EXPECT_EQ(longest, q.longestGap);
}

}  // namespace

TEST(Quality, GeneratedFaultsAreCountedExactly) {
  gen::RecordingRecipe recipe;
  recipe.seconds = 6;
  recipe.accelHz = 1000, recipe.gyroHz = 500, recipe.eventHz = 2;
  recipe.motion.rateDps = 2600;  // beyond the 2000 deg/s range: the gyroscope saturates while it turns
  recipe.tricky.swapBlocks = recipe.tricky.duplicateTicks = true;
  recipe.tricky.cutBlocks = 4;
  recipe.tricky.shortFinalBlock = 300;
  recipe.tricky.spikeAt = 0.5;  // still: only this accel sample is at full scale
  gen::GeneratedSamples truth;
  const Inspected r = inspectBytes(gen::buildRecording(recipe, &truth));
  ASSERT_GT(truth.accelFaults.missing, 0u);
  ASSERT_GT(truth.gyroFaults.saturated, 0u);
  ASSERT_EQ(truth.accelFaults.saturated, 1u);  // the duplicates read full scale but are dropped
  expectFaults(stream(r.report, "accel"), truth.accelFaults, "accel");
  expectFaults(stream(r.report, "gyro"), truth.gyroFaults, "gyro");
  expectFaults(stream(r.report, "baro"), truth.baroFaults, "baro");
  EXPECT_EQ(r.report.outOfOrder, truth.blocksBackwards);
  EXPECT_EQ(r.report.outOfOrder, 2u);
  EXPECT_EQ(r.report.tailBytes, 300u);
  const StreamQuality& events = stream(r.report, "events");  // irregular: never a gap
  EXPECT_EQ(events.samples, truth.events.size());
  EXPECT_EQ(events.missing + events.gapCount, 0u);
  EXPECT_EQ(stream(r.report, "accel").samples, truth.accelTicks.size() - truth.accelFaults.missing);
}

TEST(Quality, CleanRecordingReportsZerosAndItsRates) {
  gen::RecordingRecipe recipe;
  recipe.seconds = 3;  // 300 samples at 100 Hz: (300 - 1) / 2.99 s is 100.00000000000001 in doubles
  recipe.baroHz = 30;  // 33 or 34 ticks apart on a 1000 Hz clock: still no gap
  recipe.motion.noise = 30;
  gen::GeneratedSamples truth;
  const Inspected r = inspectBytes(gen::buildRecording(recipe, &truth));
  ASSERT_EQ(r.report.streams.size(), 3u);
  for (const StreamQuality& q : r.report.streams) {
    SCOPED_TRACE(q.name);
    EXPECT_EQ(q.duplicates + q.missing + q.gapCount + q.saturated, 0u);
    EXPECT_EQ(q.longestGap, 0.0);
    // A rate that divides the clock reads as itself, without float noise.
    if (1000 % q.rate == 0) {
      EXPECT_EQ(q.rateSeen, q.rate);
    }
    EXPECT_NEAR(q.rateSeen, q.rate, 0.02 * q.rate);
  }
  const StreamQuality& accel = stream(r.report, "accel");
  EXPECT_EQ(accel.samples, truth.accelTicks.size());
  EXPECT_EQ(accel.first, 0.0);
  EXPECT_EQ(accel.last, truth.accelTicks.back() / 1000.0);
  EXPECT_EQ(r.report.outOfOrder + r.report.tailBytes, 0u);
  EXPECT_TRUE(r.report.settingsRecords.empty());
  EXPECT_TRUE(qualityJson(r.report).ends_with("\"saturated\":0}},\"outOfOrder\":0,\"tailBytes\":0,\"settingsRecords\":[]}"));
  // 30 Hz on a 1000 Hz clock: whole rows cannot keep its time, which the full report tells.
  EXPECT_EQ(stream(r.report, "baro").ticksPerSample, 1000.0 / 30);
  EXPECT_EQ(accel.ticksPerSample, 0.0);
  QualityReport told = r.report;
  ASSERT_STREQ(told.streams[2].name, "baro");
  told.streams[2].rowsPerSample = 33;
  EXPECT_EQ(qualityJson(told).find("ticksPerSample"), std::string::npos) << "the summary stays as it was";
  EXPECT_NE(qualityJson(told, QualityDetail::full).find("\"ticksPerSample\":33.333333333333336,\"rowsPerSample\":33}"),
            std::string::npos);
}

TEST(Quality, SettingsRecordsThatCouldNotBeUsedAreListed) {
  gen::RecordingRecipe recipe;
  recipe.seconds = 1;
  recipe.extraRecords = {gen::settingsRecord(3, 5, {1, 2}), gen::settingsRecord(3, 2, std::vector<uint8_t>(29, 0))};
  std::vector<uint8_t> bytes = gen::buildRecording(recipe);
  // A record cut by the end of the block, after the last one.
  size_t end = 0;
  while (!(bytes[end] == 'Q' && bytes[end + 1] == '7')) ++end;
  while (bytes[end] == 'Q' && bytes[end + 1] == '7') end += bytes[end + 4] + 7u;
  ASSERT_LT(end, 490u);
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(end), bytes.begin() + 512, 0);
  bytes[505] = 'Q', bytes[506] = '7', bytes[507] = 1, bytes[508] = 1, bytes[509] = 6;
  const size_t unknownAt = end - 36 - 9;
  // Only the cut record's magic is kept past the last whole record; the walk stops at the zeros.
  const Inspected r = inspectBytes(bytes);
  ASSERT_EQ(r.report.settingsRecords.size(), 2u);
  EXPECT_EQ(r.report.settingsRecords[0].offset, unknownAt);
  EXPECT_STREQ(r.report.settingsRecords[0].problem, "unknown");
  EXPECT_EQ(r.report.settingsRecords[0].subtype, 5);
  EXPECT_STREQ(r.report.settingsRecords[1].problem, "malformed");
  EXPECT_EQ(r.report.settingsRecords[1].length, 29);
  EXPECT_TRUE(r.settings.malformed);

  // Records up to the block's end: the last one runs past it.
  std::vector<uint8_t> full = bytes;
  size_t at = end;
  while (at + 7 + 4 <= 505) {
    const auto pad = gen::settingsRecord(4, 0, {0, 0, 0, 0});
    std::copy(pad.begin(), pad.end(), full.begin() + static_cast<std::ptrdiff_t>(at));
    at += pad.size();
  }
  full[at] = 'Q', full[at + 1] = '7', full[at + 2] = 1, full[at + 3] = 1, full[at + 4] = 6;
  const Inspected cut = inspectBytes(full);
  EXPECT_STREQ(cut.report.settingsRecords.back().problem, "truncated");
  EXPECT_EQ(cut.report.settingsRecords.back().offset, at);
}
