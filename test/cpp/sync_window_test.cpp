#include <gtest/gtest.h>

#include "sync/window.h"
#include "sync_streams.h"

using namespace kinovar;
using kinovar::test::firstOriginal;
using kinovar::test::rampStream;
using kinovar::test::stampStream;

namespace {

// n recordings, each holding the given streams; cuts them and returns the outputs.
struct Set {
  std::vector<StreamMap> inputs, outputs;
  std::vector<std::vector<WorkingStream>> working;

  explicit Set(size_t n) : inputs(n), outputs(n), working(n) {}
  void add(size_t i, uint32_t key, SampleStream s, int32_t frequency) {
    SampleStream& copy = outputs[i].emplace(key, std::move(s)).first->second;
    working[i].push_back({key, &copy, frequency});
  }
  const SampleStream& out(size_t i, uint32_t key) { return outputs[i].at(key); }
  void cut() { cutToCommonWindow(working, inputs, outputs); }
};

}  // namespace

TEST(SyncWindow, LatestStartNearestSampleAndShortestWindow) {
  Set set(2);
  set.add(0, kAccelKey, rampStream(3, 1000, 0.0, 0.01), 100);
  set.add(0, kBaroKey, rampStream(2, 300, 0.0, 0.04), 25);
  set.add(1, kAccelKey, rampStream(3, 1000, 0.503, 0.01), 100);
  set.add(1, kBaroKey, rampStream(2, 300, 0.503, 0.04), 25);
  set.inputs[0][kEventKey] = stampStream({0.2, 1.0, 20.0});
  set.inputs[1][kEventKey] = stampStream({0.1, 10.01, 15.0});
  set.cut();

  // 0.50 is nearer to 0.503 than 0.51; 9.5 s are left there, 10 s in the other.
  const SampleStream& a0 = set.out(0, kAccelKey);
  EXPECT_EQ(a0.count, 950u);
  EXPECT_EQ(firstOriginal(a0), 50u);
  EXPECT_DOUBLE_EQ(a0.times.front(), 0.50);
  EXPECT_EQ(a0.values.size(), 3u * 950);
  EXPECT_EQ(a0.value(2, 949), 200000.0 + 999);  // channel-major for the new count
  EXPECT_EQ(set.out(1, kAccelKey).count, 950u);
  EXPECT_EQ(firstOriginal(set.out(1, kAccelKey)), 0u);

  // The slower stream keeps floor(25 * 9.5) from its own nearest sample (0.52).
  EXPECT_EQ(set.out(0, kBaroKey).count, 237u);
  EXPECT_EQ(firstOriginal(set.out(0, kBaroKey)), 13u);
  EXPECT_EQ(set.out(0, kBaroKey).value(1, 236), 100000.0 + 13 + 236);

  // Events are cut to [0.503, 10.003]; all outside leaves no key 6.
  const SampleStream& events = set.out(0, kEventKey);
  ASSERT_EQ(events.count, 1u);
  EXPECT_EQ(events.times[0], 1.0);
  EXPECT_EQ(events.values[0], 1.0);
  EXPECT_EQ(set.outputs[1].count(kEventKey), 0u);
  EXPECT_EQ(set.outputs[0].size(), 3u);
}

TEST(SyncWindow, HalfwayTieKeepsEarlierAndNegativeStartsMeetAtZero) {
  Set tie(2);
  tie.add(0, kGyroKey, rampStream(1, 40, 0.0, 0.25), 4);
  tie.add(1, kGyroKey, rampStream(1, 40, 0.125, 0.25), 4);
  tie.cut();
  EXPECT_EQ(firstOriginal(tie.out(0, kGyroKey)), 0u);

  Set negative(2);
  negative.add(0, kGyroKey, rampStream(1, 40, -1.0, 0.25), 4);
  negative.add(1, kGyroKey, rampStream(1, 40, -0.5, 0.25), 4);
  negative.cut();
  EXPECT_EQ(firstOriginal(negative.out(0, kGyroKey)), 4u);
  EXPECT_EQ(firstOriginal(negative.out(1, kGyroKey)), 2u);
  EXPECT_EQ(negative.out(0, kGyroKey).count, 36u);
  EXPECT_EQ(negative.out(1, kGyroKey).count, 36u);
}

TEST(SyncWindow, SinglePrecisionFloorLosesASampleExceptAtPowersOfTwo) {
  Set hundred(2);
  hundred.add(0, kAccelKey, rampStream(1, 153, 0.0, 0.01), 100);
  hundred.add(1, kAccelKey, rampStream(1, 53, 1.0, 0.01), 100);
  hundred.cut();
  EXPECT_EQ(firstOriginal(hundred.out(0, kAccelKey)), 100u);
  EXPECT_EQ(hundred.out(0, kAccelKey).count, 52u);
  EXPECT_EQ(hundred.out(1, kAccelKey).count, 52u);

  Set binary(2);
  binary.add(0, kAccelKey, rampStream(1, 117, 0.0, 1.0 / 64), 64);
  binary.add(1, kAccelKey, rampStream(1, 53, 1.0, 1.0 / 64), 64);
  binary.cut();
  EXPECT_EQ(binary.out(0, kAccelKey).count, 53u);
}

TEST(SyncWindow, DisjointRecordingsKeepOneSample) {
  Set set(2);
  set.add(0, kAccelKey, rampStream(3, 100, 0.0, 0.01), 100);
  set.add(1, kAccelKey, rampStream(3, 100, 5.0, 0.01), 100);
  set.inputs[1][kEventKey] = stampStream({5.0, 5.005, 5.02});
  set.cut();
  EXPECT_EQ(firstOriginal(set.out(0, kAccelKey)), 99u);
  EXPECT_EQ(set.out(0, kAccelKey).count, 1u);
  EXPECT_EQ(set.out(1, kAccelKey).count, 1u);
  // Event window runs from the start for one sample period.
  EXPECT_EQ(set.out(1, kEventKey).count, 2u);
}

TEST(SyncWindow, EmptyStreamIsNotReadAndCutsToNothing) {
  Set set(2);
  set.add(0, kBaroKey, SampleStream(2, 0), 25);
  set.add(1, kBaroKey, rampStream(2, 10, 1.0, 0.04), 25);
  set.cut();
  EXPECT_EQ(set.out(0, kBaroKey).count, 0u);
  EXPECT_EQ(set.out(1, kBaroKey).count, 0u);
  EXPECT_TRUE(set.out(1, kBaroKey).values.empty());
}

TEST(SyncWindow, CountNeverExceedsSamplesLeftPastTwoToThe24) {
  // 16777219 samples round up to 16777220.0f; the float window can say so.
  EXPECT_EQ(windowSampleCount(1, 16777220.0f, 16777219), 16777219u);
  EXPECT_EQ(windowSampleCount(1, 16777216.0f, 16777217), 16777216u);
  EXPECT_EQ(windowSampleCount(100, 0.53f, 53), 52u);
  EXPECT_EQ(windowSampleCount(0, 1.0f / 0.0f, 10), 0u);
  EXPECT_EQ(windowSampleCount(-5, 2.0f, 10), 0u);
}
