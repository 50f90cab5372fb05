#include <gtest/gtest.h>

#include "sync/sync.h"
#include "sync/window.h"

using namespace kinovar;

namespace {

// Channel c of sample i holds c * 100000 + i, so a cut shows where it began.
SampleStream ramp(uint64_t channels, uint64_t count, double t0, double period) {
  SampleStream s(channels, count);
  for (uint64_t i = 0; i < count; ++i) {
    s.times[i] = t0 + static_cast<double>(i) * period;
    for (uint64_t c = 0; c < channels; ++c) s.value(c, i) = static_cast<double>(c * 100000 + i);
  }
  return s;
}
SampleStream stamps(const std::vector<double>& times) {
  SampleStream s(1, times.size());
  s.times = times;
  return s;
}
uint64_t origin(const SampleStream& s) { return static_cast<uint64_t>(s.values.at(0)); }

struct Cut {
  std::vector<StreamMap> maps;
  std::vector<std::vector<std::pair<uint32_t, int32_t>>> keys;
  explicit Cut(size_t n) : maps(n), keys(n) {}
  void add(size_t i, uint32_t key, SampleStream s, int32_t hz) {
    maps[i].emplace(key, std::move(s));
    keys[i].emplace_back(key, hz);
  }
  const SampleStream& operator()(size_t i, uint32_t key) {
    if (!done) {
      std::vector<std::vector<WorkingStream>> working(maps.size());
      for (size_t r = 0; r < maps.size(); ++r)
        for (const auto& [k, hz] : keys[r]) working[r].push_back({k, &maps[r].at(k), hz});
      const WindowPlan plan = planCommonWindow(working);
      for (size_t r = 0; r < maps.size(); ++r) applyCommonWindow(plan, r, maps[r]);
      done = true;
    }
    return maps[i].at(key);
  }
  bool done = false;
};

DeviceSettings device(int32_t gyroHz = 100) {
  DeviceSettings s;
  s.frequency = 1000;
  s.accel.frequency = 100;
  s.gyro.frequency = gyroHz;
  s.baro.frequency = 25;
  return s;
}
StreamMap motion(double t0, double period = 0.01) {
  return {{kAccelKey, ramp(3, 1000, t0, period)}, {kGyroKey, ramp(3, 1000, t0, period)},
          {kQuaternionKey, ramp(4, 1000, t0, period)}};
}
struct Synced {
  bool ok;
  std::string err;
  std::vector<StreamMap> out;
};
bool same(const StreamMap& a, const StreamMap& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, s] : a)
    if (!b.count(key) || b.at(key).count != s.count || b.at(key).values != s.values || b.at(key).times != s.times)
      return false;
  return true;
}
// On a copy of the set; a refused set must be left as it was.
Synced sync(const std::vector<DeviceSettings>& settings, const std::vector<StreamMap>& streams) {
  std::vector<Recording> set(std::max(settings.size(), streams.size()));
  for (size_t i = 0; i < set.size(); ++i) {
    if (i < settings.size()) set[i].settings = settings[i];
    if (i < streams.size()) set[i].streams = streams[i];
  }
  Synced r;
  SyncReport report;
  r.ok = syncRecordings(set, &report);
  r.err = r.ok ? "" : refusalLine(report);  // what readAndSync2 prints
  for (size_t i = 0; i < set.size(); ++i) {
    if (!r.ok && i < streams.size()) {
      EXPECT_TRUE(same(set[i].streams, streams[i])) << "refused set changed";
    }
    r.out.push_back(std::move(set[i].streams));
  }
  return r;
}

}  // namespace

TEST(SyncWindow, LatestStartNearestSampleShortestWindowAndEvents) {
  Cut cut(2);
  cut.add(0, kAccelKey, ramp(3, 1000, 0.0, 0.01), 100);
  cut.add(0, kBaroKey, ramp(2, 300, 0.0, 0.04), 25);
  cut.add(1, kAccelKey, ramp(3, 1000, 0.503, 0.01), 100);
  cut.add(1, kBaroKey, ramp(2, 300, 0.503, 0.04), 25);
  cut.maps[0][kEventKey] = stamps({0.2, 1.0, 20.0});
  cut.maps[1][kEventKey] = stamps({0.1, 10.01});
  // 0.50 is nearer 0.503 than 0.51; 9.5 s are left there, 10 s in the other.
  EXPECT_EQ(origin(cut(0, kAccelKey)), 50u);
  EXPECT_EQ(cut(0, kAccelKey).count, 950u);
  EXPECT_EQ(cut(0, kAccelKey).value(2, 949), 200999.0);
  EXPECT_EQ(origin(cut(1, kAccelKey)), 0u);
  EXPECT_EQ(cut(1, kAccelKey).count, 950u);
  EXPECT_EQ(origin(cut(0, kBaroKey)), 13u);  // 0.52
  EXPECT_EQ(cut(0, kBaroKey).count, 237u);   // floor(25 * 9.5)
  // Events: [0.503, 10.003], none inside gives no key 6.
  EXPECT_EQ(cut(0, kEventKey).times, std::vector<double>{1.0});
  EXPECT_EQ(cut.maps[1].count(kEventKey), 0u);
  // The window is [0, 1], its rows run from the first kept sample to the
  // last (0.99): both ends keep their events, nothing past them.
  Cut ends(2);
  ends.add(0, kAccelKey, ramp(1, 100, 0.0, 0.01), 100);
  ends.add(1, kAccelKey, ramp(1, 200, 0.0, 0.01), 100);
  ends.maps[0][kEventKey] = stamps({0.0, 0.99, 0.9900001, 1.0});
  EXPECT_EQ(ends(0, kEventKey).times, (std::vector<double>{0.0, 0.99}));
}

TEST(SyncWindow, TiesKeepTheEarlierSampleAndNegativeStartsKeepTheirOverlap) {
  Cut tie(2), negative(2);
  tie.add(0, kGyroKey, ramp(1, 40, 0.0, 0.25), 4);
  tie.add(1, kGyroKey, ramp(1, 40, 0.125, 0.25), 4);
  EXPECT_EQ(origin(tie(0, kGyroKey)), 0u);
  negative.add(0, kGyroKey, ramp(1, 40, -1.0, 0.25), 4);
  negative.add(1, kGyroKey, ramp(1, 40, -0.5, 0.25), 4);
  EXPECT_EQ(origin(negative(0, kGyroKey)), 2u);  // from -0.5, not from 0
  EXPECT_EQ(origin(negative(1, kGyroKey)), 0u);
  EXPECT_EQ(negative(1, kGyroKey).count, 38u);
}

TEST(SyncWindow, SinglePrecisionCountsNeverPastTheEnd) {
  Cut hundred(2), binary(2), disjoint(2);
  hundred.add(0, kAccelKey, ramp(1, 153, 0.0, 0.01), 100);
  hundred.add(1, kAccelKey, ramp(1, 53, 1.0, 0.01), 100);
  EXPECT_EQ(hundred(0, kAccelKey).count, 52u);  // 53 / 100 * 100 falls just short of 53
  binary.add(0, kAccelKey, ramp(1, 117, 0.0, 1.0 / 64), 64);
  binary.add(1, kAccelKey, ramp(1, 53, 1.0, 1.0 / 64), 64);
  EXPECT_EQ(binary(0, kAccelKey).count, 53u);
  disjoint.add(0, kAccelKey, ramp(1, 100, 0.0, 0.01), 100);
  disjoint.add(1, kAccelKey, ramp(1, 100, 5.0, 0.01), 100);
  EXPECT_EQ(origin(disjoint(0, kAccelKey)), 99u);
  EXPECT_EQ(disjoint(0, kAccelKey).count, 1u);
  // Past 2^24 a float can round above what is left (16777219 -> 16777220).
  EXPECT_EQ(windowSampleCount(1, 16777220.0f, 16777219), 16777219u);
  EXPECT_EQ(windowSampleCount(1, 16777216.0f, 16777217), 16777216u);
}

// One recording and two masters are refused from JavaScript as -11.
TEST(SyncAlign, SetChecksAndRadioRoles) {
  EXPECT_EQ(sync({device()}, {motion(0)}).err, "Wrong number of sensors.\n");
  std::vector<DeviceSettings> four(4, device());
  for (size_t i = 0; i < 4; ++i) four[i].radioMode = i > 0, four[i].radioChannel = i == 3 ? -1 : 7;
  EXPECT_TRUE(sync(four, std::vector<StreamMap>(4, motion(0))).ok);
  four[2].radioChannel = 8;
  EXPECT_EQ(sync(four, std::vector<StreamMap>(4, motion(0))).err,
            "Possibly no master or more than one used (1). Different radio channels are used.\n");
}

TEST(SyncAlign, CommonKeysWithSamplesEachAtItsOwnRate) {
  std::vector<DeviceSettings> settings = {device(50), device(50)};
  settings[1].radioMode = 1;
  std::vector<StreamMap> maps = {motion(0.0), motion(0.503)};
  maps[0][kBaroKey] = SampleStream(2, 0);  // declared, never written
  maps[1][kBaroKey] = ramp(2, 250, 0.0, 0.04);
  maps[0][kChannel10Key] = maps[1][kChannel10Key] = ramp(3, 10, 0.0, 0.1);
  Synced r = sync(settings, maps);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out[1].size(), 3u);  // keys 1, 2, 10
  EXPECT_EQ(r.out[1].at(kAccelKey).count, 950u);
  EXPECT_EQ(r.out[1].at(kGyroKey).count, 475u);  // 50 Hz, quaternion too
  EXPECT_EQ(r.out[1].at(kQuaternionKey).count, 475u);
  maps[0][kBaroKey] = maps[1][kBaroKey];
  settings[0].baro.frequency = 0;
  EXPECT_EQ(sync(settings, maps).out[0].count(kBaroKey), 0u);
}

TEST(SyncAlign, TimeMarksShiftTheLaterStart) {
  std::vector<DeviceSettings> s = {device(), device()};
  s[0].timeMarks = {.present = true};
  s[0].timeMarks.value4 = s[0].timeMarks.value9 = s[1].timeMarks.value9 = 12;
  s[0].timeMarks.value5 = s[0].timeMarks.value10 = 500;  // 12.5 s
  s[1].timeMarks.value4 = 13, s[1].timeMarks.value6 = 1000;  // 13 s at tick 1000: 12.0 s
  const std::vector<StreamMap> maps = {motion(0), motion(0)};
  Synced r = sync(s, maps);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(origin(r.out[0].at(kGyroKey)), 0u);
  EXPECT_DOUBLE_EQ(r.out[0].at(kGyroKey).times[0], 0.5);
  EXPECT_EQ(origin(r.out[1].at(kGyroKey)), 50u);
  s[1].frequency = 0;
  EXPECT_EQ(sync(s, maps).err, "Clock frequency of 0 in the set.\n");
}

TEST(SyncAlign, RadioWordsAreTicksOfTheSlaveClock) {
  std::vector<DeviceSettings> s = {device(), device()};  // the master comes second
  s[0].frequency = 1024, s[0].radioMode = 1;
  s[0].radioWordA = -256, s[0].radioWordB = 256;  // across the counter's wrap
  const std::vector<StreamMap> maps = {motion(0, 0.0625), motion(0, 0.0625)};
  EXPECT_EQ(sync(s, maps).out[0].at(kAccelKey).times[0], 0.5);
  s[0].radioWordA = 3000, s[0].radioWordB = 1976;  // -1 s
  EXPECT_EQ(origin(sync(s, maps).out[0].at(kAccelKey)), 16u);
  s[1].frequency = 0;  // the master's clock is never divided by
  EXPECT_TRUE(sync(s, maps).ok);
  s[0].frequency = 0;
  EXPECT_EQ(sync(s, maps).err, "Clock frequency of 0 in the set.\n");
}

TEST(SyncAlign, RadioStreamOffsetsShiftTheEventsToo) {
  std::vector<DeviceSettings> s(3, device());
  s[0].radioTime.role = 0, s[1].radioTime.role = s[2].radioTime.role = 1;
  std::vector<StreamMap> maps = {motion(100.0), motion(0.0), motion(0.0)};
  maps[1][kRadioTimeKey] = stamps({0.25});
  maps[1][kRadioTimeKey].values = {100.25};  // +100.0 s
  maps[2][kRadioTimeKey] = stamps({0.25});
  maps[2][kRadioTimeKey].values = {100.5};  // +100.25 s: the latest start
  maps[1][kEventKey] = stamps({0.5, 105.0});
  Synced r = sync(s, maps);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(origin(r.out[1].at(kGyroKey)), 25u);
  EXPECT_DOUBLE_EQ(r.out[1].at(kGyroKey).times[0], 100.25);
  EXPECT_EQ(r.out[1].at(kEventKey).times, std::vector<double>{100.5});  // window [100.25, 110]
  maps[2][kRadioTimeKey] = SampleStream(1, 0);
  EXPECT_EQ(sync(s, maps).err, "No radio data.\n");
}
