#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gen/generator.h"
#include "ops/operations.h"
#include "settings/settings_record.h"

using namespace kinovar;
using Bytes = std::vector<uint8_t>;
using gen::settingsRecord;

namespace {

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A type-3 accelerometer (1000 Hz, 8 g, gain X 0.9995), a 4-byte firmware
// number, an 8-byte GPS record (a 200 ms period) and an unknown record.
Bytes deviceFile() {
  return cat({settingsRecord(1, 2, {0, 0, 0, 123}),
              settingsRecord(3, 2, {19, 0x03, 0xE8, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x27, 0x0B, 0, 0,
                                    0x27, 0x10, 0, 0, 0x27, 0x10, 0xAB, 0xCD}),
              settingsRecord(3, 5, {9, 8, 7}), settingsRecord(3, 7, {7, 0, 0, 0, 200, 5, 0, 0})});
}

SettingsWrite write(const Bytes& source, const std::string& json) { return settingsToWrite(source, json); }

DeviceSettings decode(const Bytes& bytes) {
  DeviceSettings s;
  EXPECT_TRUE(decodeSettingsFile(s, bytes));
  return s;
}

size_t bytesChanged(const Bytes& a, const Bytes& b) {
  size_t n = 0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) n += a[i] != b[i];
  return n + std::max(a.size(), b.size()) - std::min(a.size(), b.size());
}

}  // namespace

TEST(SettingsEdit, EachFieldChangesInItsOwnRecordAndForm) {
  const Bytes file = deviceFile();
  const SettingsWrite made =
      write(file, R"({"accel":{"gainX":1.0001,"range":16},"minorVersion":4,"gps":{"frequency":250},"deviceId":-1})");
  ASSERT_EQ(made.problem.kind, SettingsRefusal::None) << made.problem.message;
  ASSERT_TRUE(made.edit);
  const DeviceSettings s = decode(made.bytes);
  EXPECT_DOUBLE_EQ(s.accel.gain[0], 1.0001);
  EXPECT_EQ(s.accel.range, 16);
  EXPECT_EQ(s.accel.tailWord, 0xABCD);
  EXPECT_EQ(s.minorVersion, 4);
  EXPECT_EQ(s.version, 1);
  EXPECT_EQ(s.gps.frequency, 250);
  // deviceId equals what the file reads as (no device record: -1), so it is no edit.
  EXPECT_EQ(made.bytes.size(), file.size());
  EXPECT_EQ(s.unknownRecords, settingsRecord(3, 5, {9, 8, 7}));
  // A byte each: the gain's low one, the range code, the firmware number's and the GPS period's low one.
  EXPECT_EQ(bytesChanged(file, made.bytes), 4u);
}

TEST(SettingsEdit, RefusalsNameTheFieldAndWhatItMayBe) {
  const Bytes file = deviceFile();
  const auto refusal = [&](const std::string& json) {
    const SettingsWrite made = write(file, json);
    EXPECT_EQ(made.problem.kind, SettingsRefusal::Value) << json;
    return made.problem.message;
  };
  EXPECT_EQ(refusal(R"({"accel":{"range":3}})"), "accel.range must be one of 2, 4, 8, 16 (g), not 3");
  EXPECT_EQ(refusal(R"({"accel":{"gainX":"x"}})"),
            "accel.gainX must be a multiple of 0.0001 from -214748.3648 to 214748.3647 (this file stores the "
            "accelerometer settings in the newer form: rate in two bytes, calibration in steps of 0.0001), not \"x\"");
  EXPECT_EQ(refusal(R"({"version":10})"), "version must be an integer from 0 to 9 (this file stores the three as one "
                                          "number up to 999, a digit each), not 10");
  EXPECT_EQ(refusal(R"({"gps":{"frequency":999}})"),
            "gps.frequency must be a rate that a whole period in milliseconds gives (1000, 500, 333, 250, 200, ...), not 999");
  EXPECT_EQ(refusal(R"({"deviceType":NaN})"),
            "deviceType must be an integer from 0 to 255 (kinovar adds it in the one-byte form of its settings "
            "files), not null");
  EXPECT_EQ(refusal(R"({"createdAt":"2017-02-29 00:00:00"})").rfind("createdAt cannot be set in this file", 0), 0u);
  EXPECT_EQ(write(file, R"({"unknownFrames":""})").problem.kind, SettingsRefusal::Range);

  const Bytes dated = settingsRecord(3, 0, {0, 0, 0, 1, 1, 0x07, 0xE4});
  EXPECT_EQ(write(dated, R"({"createdAt":"2017-02-29 00:00:00"})").problem.message,
            "createdAt must be a real date and time: day 29 is not 1 to 28 in 2017-02, not \"2017-02-29 00:00:00\"");
  EXPECT_EQ(write(dated, R"({"createdAt":true})").problem.message,
            "createdAt must be a date \"YYYY-MM-DD hh:mm:ss\" (year up to 65535, the others up to 255), not true");
}

TEST(SettingsEdit, MissingGroupsGetNewRecordsBeforeTheFiller) {
  Bytes padded = deviceFile();
  const size_t end = padded.size();
  padded.resize(kSettingsBlockSize, 0xEE);
  const SettingsWrite made = write(padded, R"({"deviceId":42,"gyro":{"range":2000},"baro":{"frequency":25}})");
  ASSERT_EQ(made.problem.kind, SettingsRefusal::None) << made.problem.message;
  ASSERT_EQ(made.bytes.size(), kSettingsBlockSize);
  EXPECT_TRUE(std::equal(padded.begin(), padded.begin() + static_cast<long>(end), made.bytes.begin()));
  // The device record, a type-3 gyroscope (2000 deg/s is beyond one byte) and a one-byte barometer.
  EXPECT_EQ(made.bytes[end + 2], 1);
  EXPECT_EQ(made.bytes[end + 13 + 2], 3);
  EXPECT_EQ(made.bytes[end + 13 + 37 + 2], 2);
  EXPECT_EQ(made.bytes[end + 13 + 37 + 9], 0xEE);
  const DeviceSettings s = decode(made.bytes);
  EXPECT_EQ(s.deviceId, 42);
  EXPECT_EQ(s.gyro.range, 2000);
  EXPECT_DOUBLE_EQ(s.gyro.gain[2], 1.0);
  EXPECT_EQ(s.baro.frequency, 25);

  Bytes full = deviceFile();
  while (full.size() + 13 <= kSettingsBlockSize) full = cat({full, settingsRecord(3, 5, {1, 2, 3, 4, 5, 6})});
  EXPECT_EQ(write(full, R"({"deviceId":42})").problem.message, "the settings no longer fit in one 512-byte block (515 bytes)");
}

TEST(SettingsEdit, AFileCutInItsRecordsGrowsOnlyAsFarAsAnEditReaches) {
  const Bytes cut = {'Q', '7', 1, 5, 2, 1};  // radio mode 1, its channel and trailer missing
  const SettingsWrite mode = write(cut, R"({"radioMode":3})");
  EXPECT_EQ(mode.bytes, (Bytes{'Q', '7', 1, 5, 2, 3}));
  EXPECT_EQ(write(cut, R"({"radioChannel":9})").bytes, (Bytes{'Q', '7', 1, 5, 2, 1, 9}));
}

TEST(SettingsEdit, NewFileTextTakesTheNewerFormOnlyWhereNeeded) {
  const auto text = [](const std::string& json) {
    const SettingsWrite made = write({}, json);
    EXPECT_FALSE(made.edit);
    return made.problem.kind == SettingsRefusal::None ? made.text : made.problem.message;
  };
  EXPECT_EQ(text(R"({"baro":{"frequency":25},"deviceId":7,"deviceType":2,"bodyLocation":1})"),
            "baro,25:device,7,2,1");
  EXPECT_EQ(text(R"({"deviceId":-1,"deviceType":-1,"bodyLocation":-1})"), "firmware,0,0,0");
  EXPECT_EQ(text("{}"), "radio,0,0");
  EXPECT_EQ(text(R"({"baro":{"frequency":1000}})"), "unknownFrames,UTcDBAUVA+gAAP/+");
  EXPECT_EQ(text(R"({"deviceType":NaN})"), "settingsText: deviceType must be an integer from 0 to 255, not NaN");
  EXPECT_EQ(write({}, R"({"unknownFrames":"a,b"})").problem.kind, SettingsRefusal::Type);
  EXPECT_EQ(write({}, "5").problem.kind, SettingsRefusal::Type);
}
