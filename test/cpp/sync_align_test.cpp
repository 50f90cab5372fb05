#include <gtest/gtest.h>

#include "sync/sync.h"
#include "sync_streams.h"

using namespace kinovar;
using kinovar::test::firstOriginal;
using kinovar::test::rampStream;
using kinovar::test::stampStream;

namespace {

DeviceSettings device(int32_t accelHz = 100, int32_t gyroHz = 100) {
  DeviceSettings s;
  s.frequency = 1000;
  s.accel.frequency = accelHz;
  s.gyro.frequency = gyroHz;
  s.baro.frequency = 25;
  return s;
}

// Keys 1, 2 and 10 as the orientation stage leaves them.
StreamMap motion(double t0, uint64_t count = 1000, double period = 0.01) {
  StreamMap m;
  m[kAccelKey] = rampStream(3, count, t0, period);
  m[kGyroKey] = rampStream(3, count, t0, period);
  m[kQuaternionKey] = rampStream(4, count, t0, period);
  return m;
}

struct Outcome {
  bool ok;
  std::string err;
  std::vector<StreamMap> out;
};

Outcome sync(const std::vector<DeviceSettings>& settings, const std::vector<StreamMap>& streams) {
  Outcome o;
  testing::internal::CaptureStderr();
  o.ok = syncRecordings(o.out, settings, streams);
  o.err = testing::internal::GetCapturedStderr();
  return o;
}

bool sameStreams(const StreamMap& a, const StreamMap& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, s] : a) {
    auto it = b.find(key);
    if (it == b.end() || it->second.channels != s.channels || it->second.count != s.count ||
        it->second.values != s.values || it->second.times != s.times)
      return false;
  }
  return true;
}

const std::string kRoleMessage = "Possibly no master or more than one used (%). Different radio channels are used.\n";
std::string roleMessage(int masters) {
  std::string m = kRoleMessage;
  return m.replace(m.find('%'), 1, std::to_string(masters));
}

}  // namespace

TEST(SyncAlign, SetChecksAndRadioRoles) {
  Outcome one = sync({device()}, {motion(0)});
  EXPECT_FALSE(one.ok);
  EXPECT_EQ(one.err, "Wrong number of sensors.\n");
  EXPECT_EQ(sync({device(), device()}, {motion(0)}).err, "Wrong number of sensors.\n");

  // No time marks and no radio records: radioMode 0 everywhere, two masters.
  Outcome none = sync({device(), device()}, {motion(0), motion(0)});
  EXPECT_FALSE(none.ok);
  EXPECT_EQ(none.err, roleMessage(2));

  std::vector<DeviceSettings> four(4, device());
  for (int i = 1; i < 4; ++i) four[i].radioMode = 1;
  for (auto& s : four) s.radioChannel = 7;
  four[3].radioChannel = -1;  // no channel of its own: not compared
  std::vector<StreamMap> maps(4, motion(0));
  Outcome passed = sync(four, maps);
  EXPECT_TRUE(passed.ok);
  EXPECT_EQ(passed.err, "");
  EXPECT_EQ(passed.out.size(), 4u);

  four[2].radioChannel = 8;
  EXPECT_EQ(sync(four, maps).err, roleMessage(1));
}

TEST(SyncAlign, CommonKeysOnlyEachAtItsOwnRate) {
  std::vector<DeviceSettings> settings = {device(100, 50), device(100, 50)};
  settings[1].radioMode = 1;
  std::vector<StreamMap> maps = {motion(0), motion(0)};
  maps[0][kGyroKey] = rampStream(3, 500, 0.0, 0.02);
  maps[1][kGyroKey] = rampStream(3, 500, 0.0, 0.02);
  maps[1][kBaroKey] = rampStream(2, 250, 0.0, 0.04);
  maps[0][kChannel10Key] = rampStream(3, 10, 0.0, 0.1);
  maps[1][kChannel10Key] = rampStream(3, 10, 0.0, 0.1);
  maps[1][kRadioTimeKey] = stampStream({0.5});

  Outcome o = sync(settings, maps);
  ASSERT_TRUE(o.ok);
  for (const StreamMap& out : o.out) {
    EXPECT_EQ(out.size(), 3u);
    EXPECT_EQ(out.count(kBaroKey), 0u);
    EXPECT_EQ(out.at(kAccelKey).count, 1000u);
    EXPECT_EQ(out.at(kGyroKey).count, 500u);
    // The quaternion follows the gyroscope's rate: 50 Hz over 10 s.
    EXPECT_EQ(out.at(kQuaternionKey).count, 500u);
  }
}

TEST(SyncAlign, EmptyOrRatelessCommonStreamIsLeftOut) {
  std::vector<DeviceSettings> settings = {device(), device()};
  settings[1].radioMode = 1;
  std::vector<StreamMap> maps = {motion(0.0), motion(0.503)};
  maps[0][kBaroKey] = SampleStream(2, 0);  // declared, never written
  maps[1][kBaroKey] = rampStream(2, 250, 0.0, 0.04);
  Outcome empty = sync(settings, maps);
  ASSERT_TRUE(empty.ok);
  EXPECT_EQ(empty.out[0].count(kBaroKey), 0u);
  EXPECT_EQ(empty.out[0].at(kAccelKey).count, 950u);

  maps[0][kBaroKey] = rampStream(2, 250, 0.0, 0.04);
  settings[0].baro.frequency = 0;
  Outcome rateless = sync(settings, maps);
  ASSERT_TRUE(rateless.ok);
  EXPECT_EQ(rateless.out[1].count(kBaroKey), 0u);
  EXPECT_EQ(rateless.out[1].at(kGyroKey).count, 950u);
}

TEST(SyncAlign, TimeMarksShiftTheLaterStartingClock) {
  std::vector<DeviceSettings> settings = {device(), device()};
  settings[0].timeMarks.present = true;  // only the first recording's flag counts
  settings[0].timeMarks.value4 = 12;
  settings[0].timeMarks.value5 = 500;
  settings[0].timeMarks.value9 = 12;
  settings[0].timeMarks.value10 = 500;
  // 13 s on the reference clock at tick 1000: tick 0 was at 12.0.
  settings[1].timeMarks.value4 = 13;
  settings[1].timeMarks.value6 = 1000;
  settings[1].timeMarks.value9 = 12;
  settings[1].timeMarks.value10 = 0;
  const std::vector<StreamMap> maps = {motion(0), motion(0)};
  const std::vector<StreamMap> before = maps;

  Outcome o = sync(settings, maps);
  ASSERT_TRUE(o.ok);
  const SampleStream& first = o.out[0].at(kGyroKey);
  const SampleStream& second = o.out[1].at(kGyroKey);
  EXPECT_EQ(firstOriginal(first), 0u);
  EXPECT_DOUBLE_EQ(first.times[0], 0.5);
  EXPECT_EQ(firstOriginal(second), 50u);
  EXPECT_DOUBLE_EQ(second.times[0], 0.5);
  EXPECT_EQ(first.count, 950u);
  EXPECT_TRUE(sameStreams(maps[0], before[0]) && sameStreams(maps[1], before[1]));

  settings[1].frequency = 0;
  Outcome noClock = sync(settings, maps);
  EXPECT_FALSE(noClock.ok);
  EXPECT_EQ(noClock.err, "Clock frequency of 0 in the set.\n");
}

TEST(SyncAlign, RadioWordsAreSlaveTicksToMaster) {
  // The master need not come first.
  std::vector<DeviceSettings> settings = {device(), device()};
  settings[0].frequency = 1024;
  settings[0].radioMode = 1;
  settings[0].radioWordA = -256;  // 0xFFFFFF00, just before the counter wraps
  settings[0].radioWordB = 256;
  settings[1].radioWordA = 99999;  // a master's words are not read
  const std::vector<StreamMap> maps = {motion(0, 1000, 0.0625), motion(0, 1000, 0.0625)};

  Outcome o = sync(settings, maps);
  ASSERT_TRUE(o.ok);
  EXPECT_EQ(o.out[0].at(kAccelKey).times[0], 0.5);  // 512 ticks at 1024 Hz
  EXPECT_EQ(firstOriginal(o.out[0].at(kAccelKey)), 0u);
  EXPECT_EQ(firstOriginal(o.out[1].at(kAccelKey)), 8u);

  settings[0].radioWordA = 3000;
  settings[0].radioWordB = 1976;
  Outcome behind = sync(settings, maps);
  ASSERT_TRUE(behind.ok);
  EXPECT_EQ(behind.out[0].at(kAccelKey).times[0], 0.0);
  EXPECT_EQ(firstOriginal(behind.out[0].at(kAccelKey)), 16u);  // -1.0 s

  settings[0].frequency = 0;
  EXPECT_EQ(sync(settings, maps).err, "Clock frequency of 0 in the set.\n");
  settings[0].frequency = 1024;
  settings[1].frequency = 0;  // the master's clock is not divided by
  EXPECT_TRUE(sync(settings, maps).ok);
}

TEST(SyncAlign, RadioStreamMapsSlaveOntoMasterTimesAndEventsStayUnshifted) {
  std::vector<DeviceSettings> settings = {device(), device(), device()};
  settings[0].radioTime.role = 0;
  settings[1].radioTime.role = 1;
  settings[2].radioTime.role = 1;
  settings[0].radioMode = 1;  // ignored once the first recording has a radio-time role
  std::vector<StreamMap> maps = {motion(100.0), motion(0.0), motion(0.0)};
  SampleStream radio = stampStream({0.25, 0.35});
  radio.values = {100.25, 100.35};
  maps[1][kRadioTimeKey] = radio;
  radio.values = {100.5, 100.6};
  maps[2][kRadioTimeKey] = radio;
  maps[1][kEventKey] = stampStream({0.5, 105.0});
  const std::vector<StreamMap> before = maps;

  Outcome o = sync(settings, maps);
  ASSERT_TRUE(o.ok);
  EXPECT_DOUBLE_EQ(o.out[0].at(kGyroKey).times[0], 100.25);
  EXPECT_EQ(firstOriginal(o.out[0].at(kGyroKey)), 25u);
  // 100.25 at 0.25: +100.0 s; the third slave (+100.25 s) starts last.
  EXPECT_EQ(firstOriginal(o.out[1].at(kGyroKey)), 25u);
  EXPECT_DOUBLE_EQ(o.out[1].at(kGyroKey).times[0], 100.25);
  EXPECT_EQ(o.out[1].at(kGyroKey).count, 975u);
  EXPECT_EQ(firstOriginal(o.out[2].at(kGyroKey)), 0u);
  // The window [100.25, 110.0] is compared with the event times as parsed.
  ASSERT_EQ(o.out[1].count(kEventKey), 1u);
  EXPECT_EQ(o.out[1].at(kEventKey).times[0], 105.0);
  EXPECT_EQ(o.out[1].count(kRadioTimeKey), 0u);
  for (size_t i = 0; i < maps.size(); ++i) EXPECT_TRUE(sameStreams(maps[i], before[i]));

  maps[2][kRadioTimeKey] = SampleStream(1, 0);
  Outcome noRadio = sync(settings, maps);
  EXPECT_FALSE(noRadio.ok);
  EXPECT_EQ(noRadio.err, "No radio data.\n");
  maps[2].erase(kRadioTimeKey);
  EXPECT_EQ(sync(settings, maps).err, "No radio data.\n");
  for (size_t i = 0; i < 2; ++i) EXPECT_TRUE(sameStreams(maps[i], before[i]));
}
