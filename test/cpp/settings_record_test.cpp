#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "gen/generator.h"
#include "settings/settings_record.h"

using namespace kinovar;
using Bytes = std::vector<uint8_t>;
using gen::settingsRecord;

namespace {

Bytes be32(int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  return {static_cast<uint8_t>(u >> 24), static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u)};
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A 512-byte block with `content` at `at`, zeros elsewhere.
Bytes block(const Bytes& content, size_t at = 0) {
  Bytes b(kSettingsBlockSize, 0);
  std::copy(content.begin(), content.end(), b.begin() + static_cast<long>(at));
  return b;
}

Bytes sensorPayload3(uint8_t frameId, uint16_t frequency, uint8_t code, int32_t offsetX) {
  return cat({{frameId, static_cast<uint8_t>(frequency >> 8), static_cast<uint8_t>(frequency), code}, be32(offsetX),
              be32(0), be32(0), be32(10000), be32(20000), be32(-5000), {0x01, 0x02}});
}

std::array<int32_t, 3> firmware(const DeviceSettings& s) { return {s.version, s.majorVersion, s.minorVersion}; }

DeviceSettings decode(const Bytes& content) {
  DeviceSettings s;
  EXPECT_TRUE(decodeSettingsBlock(s, block(content).data()));
  return s;
}

}  // namespace

TEST(SettingsRecord, FirstMagicMustStartBy507) {
  DeviceSettings s;
  EXPECT_TRUE(decodeSettingsBlock(s, block({'Q', '7'}, 507).data()));
  EXPECT_FALSE(decodeSettingsBlock(s, block({'Q', '7'}, 508).data()));
  EXPECT_FALSE(decodeSettingsBlock(s, block({'Q', 'x', '7'}, 0).data()));
  EXPECT_EQ(s.deviceId, -1);
  EXPECT_TRUE(decodeSettingsBlock(s, block(settingsRecord(3, 21, {0x00, 0x07}), 40).data()));
  EXPECT_EQ(s.measureId, 7);
}

TEST(SettingsRecord, DeviceAndFirmware) {
  DeviceSettings s = decode(cat({settingsRecord(1, 1, cat({be32(-2), {3, 200}})), settingsRecord(1, 2, be32(123)),
                                 settingsRecord(1, 5, {4, 9})}));
  EXPECT_EQ(s.deviceId, -2);
  EXPECT_EQ(s.bodyLocation, 200);
  EXPECT_EQ(firmware(s), (std::array{1, 2, 3}));  // 123 in one word
  EXPECT_EQ(s.radioChannel, 9);

  s = decode(settingsRecord(1, 2, be32(1000)));
  EXPECT_TRUE(s.hasDeviceInfo);
  EXPECT_EQ(firmware(s), (std::array{0, 0, 0}));  // past 999: no digits to split

  s = decode(settingsRecord(1, 2, {0, 0, 0, 0, 1}));  // only 4 or 6 allowed
  EXPECT_FALSE(s.hasDeviceInfo);
}

TEST(SettingsRecord, SensorGenerations) {
  DeviceSettings s = decode(cat({settingsRecord(3, 2, sensorPayload3(7, 1000, 1, -12345)),
                                 settingsRecord(3, 3, sensorPayload3(8, 500, 4, 0))}));
  EXPECT_EQ(s.accel.frequency, 1000);
  EXPECT_EQ(s.accel.range, 16);
  EXPECT_DOUBLE_EQ(s.accel.offset[0], -1.2345);
  EXPECT_DOUBLE_EQ(s.accel.gain[2], -0.5);
  EXPECT_EQ(s.gyro.range, 125);
  EXPECT_EQ(decode(settingsRecord(3, 2, sensorPayload3(7, 1, 7, 0))).accel.range, 4);
  EXPECT_EQ(decode(settingsRecord(3, 3, sensorPayload3(7, 1, 9, 0))).gyro.range, 1000);

  // The later record wins; legacy values are unscaled.
  Bytes legacy = cat({{19, 100, 16}, be32(-1234), be32(0), be32(0), be32(10000), be32(10000), be32(10000)});
  s = decode(cat({settingsRecord(3, 2, sensorPayload3(7, 1000, 1, 0)), settingsRecord(2, 0, legacy)}));
  EXPECT_EQ(s.accel.frequency, 100);
  EXPECT_DOUBLE_EQ(s.accel.offset[0], -1234.0);
  EXPECT_DOUBLE_EQ(s.accel.gain[2], 10000.0);
}

TEST(SettingsRecord, GpsPeriodAndRadioTrailer) {
  DeviceSettings s = decode(settingsRecord(3, 7, cat({{5}, be32(10), {6, 0x12, 0x34}})));
  EXPECT_EQ(s.gps.frequency, 100);
  EXPECT_EQ(decode(settingsRecord(3, 7, cat({{5}, be32(0), {6, 0, 0}}))).gps.frequency, 0);
  s = decode(settingsRecord(3, 7, {5, 0, 25, 0}));
  EXPECT_FALSE(s.gps.present);

  // Length 8: word B ends on the first trailer byte (0xFF).
  s = decode(settingsRecord(3, 9, cat({{1}, be32(-1), {0x00, 0x00, 0x01}})));
  EXPECT_EQ(s.radioWordA, -1);
  EXPECT_EQ(s.radioWordB, 0x000001FF);
  EXPECT_EQ(s.radioChannel, 0);
  EXPECT_EQ(decode(settingsRecord(3, 9, cat({{1}, be32(5), be32(9), {42}}))).radioChannel, 42);
}

TEST(SettingsRecord, UnknownMalformedAndCutRecords) {
  const Bytes r35 = settingsRecord(3, 5, {1, 2, 3}), r323 = settingsRecord(3, 23, {}), r4 = settingsRecord(4, 0, {9});
  DeviceSettings s = decode(cat({r35, settingsRecord(3, 2, Bytes(29, 0)), r323, settingsRecord(3, 8, {0x03, 0xE8}), r4}));
  EXPECT_EQ(s.unknownRecords, cat({r35, r323, r4}));
  EXPECT_FALSE(s.accel.present);
  EXPECT_EQ(s.frequency, 1000);

  // 262 + 231 + 13 bytes of records, then a clock record that needs 9 bytes
  // where only 6 remain: neither it nor a cut unknown record is read.
  const Bytes pad1 = settingsRecord(4, 0, Bytes(255, 0xAA)), pad2 = settingsRecord(4, 1, Bytes(224, 0xBB));
  s = decode(cat({pad1, pad2, settingsRecord(1, 1, cat({be32(77), {1, 2}})), {'Q', '7', 3, 8, 2, 0x03}}));
  EXPECT_EQ(s.deviceId, 77);
  EXPECT_EQ(s.frequency, 0);
  EXPECT_EQ(s.unknownRecords, cat({pad1, pad2}));
  EXPECT_EQ(decode(cat({pad1, pad2, {'Q', '7', 4, 0, 20}})).unknownRecords.size(), pad1.size() + pad2.size());

  // A record that ends exactly on byte 511 is read.
  s = decode(cat({pad1, pad2, settingsRecord(3, 21, {0, 5}), settingsRecord(1, 5, Bytes(3, 1))}));
  EXPECT_EQ(s.measureId, 5);
  EXPECT_EQ(s.radioChannel, 1);

  bool recognised = true;
  const Bytes clock = settingsRecord(3, 8, {0, 1});
  EXPECT_EQ(decodeSettingsRecord(s, recognised, clock.data(), clock.size()), 9);
  EXPECT_EQ(decodeSettingsRecord(s, recognised, clock.data(), clock.size() - 1), -1);
  EXPECT_EQ(decodeSettingsRecord(s, recognised, clock.data(), 4), -1);
}

TEST(SettingsRecord, WalkFindsEachWholeRecordAndItsEnd) {
  const Bytes known = settingsRecord(3, 21, {0, 5}), unknown = settingsRecord(3, 5, {1, 2, 3});
  const Bytes b = block(cat({known, unknown}), 3);
  DeviceSettings s;
  std::vector<SettingsRecordSpan> seen;
  const int end = walkSettingsBlock(s, b.data(), [&](const SettingsRecordSpan& r) { seen.push_back(r); });
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].start, 3u);
  EXPECT_EQ(seen[0].length, 2);
  EXPECT_TRUE(seen[0].recognised);
  EXPECT_EQ(seen[1].start, 3 + known.size());
  EXPECT_EQ(seen[1].subtype, 5);
  EXPECT_FALSE(seen[1].recognised);
  EXPECT_EQ(end, static_cast<int>(3 + known.size() + unknown.size()));
  EXPECT_EQ(s.measureId, 5);
  EXPECT_EQ(walkSettingsBlock(s, Bytes(kSettingsBlockSize, 0).data(), [](const SettingsRecordSpan&) {}), -1);
}
