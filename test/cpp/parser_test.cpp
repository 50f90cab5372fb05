#include <gtest/gtest.h>

#include "gen/generator.h"
#include "reader/parser.h"

using namespace kinovar;
using gen::settingsRecord;

namespace {

struct Parsed {
  bool ok = false;
  DeviceSettings settings;
  StreamMap streams;
  ParseStats stats;
};

Parsed parseBytes(const std::vector<uint8_t>& bytes) {
  Parsed parsed;
  parsed.ok = parseRecording(parsed.settings, parsed.streams, bytes, &parsed.stats);
  return parsed;
}

// Block 0 holding the given records, padded to 512 bytes.
std::vector<uint8_t> headBlock(const std::vector<std::vector<uint8_t>>& records) {
  std::vector<uint8_t> block;
  for (const auto& r : records) block.insert(block.end(), r.begin(), r.end());
  block.resize(512, 0);
  return block;
}

std::vector<uint8_t> dataBlock(uint32_t base, const std::vector<std::vector<uint8_t>>& frames) {
  std::vector<uint8_t> block(512, 0);
  block[4] = base >> 24, block[5] = base >> 16 & 0xFF, block[6] = base >> 8 & 0xFF, block[7] = base & 0xFF;
  for (size_t k = 0; k < frames.size(); ++k) std::copy(frames[k].begin(), frames[k].end(), block.begin() + 8 + 8 * k);
  return block;
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<uint8_t> kClock100 = settingsRecord(3, 8, {0, 100});
// Legacy accel record: frameId, rate, range 16, zero offsets, gains of 1.
std::vector<uint8_t> legacySensor(uint8_t subtype, uint8_t frameId) {
  std::vector<uint8_t> p(27, 0);
  p[0] = frameId, p[1] = 100, p[2] = 16;
  p[18] = p[22] = p[26] = 1;
  return settingsRecord(2, subtype, p);
}

}  // namespace

TEST(Parser, GeneratedRecordingWithTrickyLayout) {
  gen::RecordingRecipe recipe;
  recipe.seconds = 3;
  recipe.eventHz = 4;
  recipe.startTick = 0xFFFFFF00u;  // ticks wrap past 2^32 a quarter second in
  recipe.motion.noise = 20;
  recipe.tricky = {true, true, true, 300};
  gen::GeneratedSamples truth;
  const Parsed p = parseBytes(gen::buildRecording(recipe, &truth));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.settings.frequency, 1000);
  EXPECT_EQ(p.streams.size(), 4u);  // accel, gyro, baro, events

  const SampleStream& accel = p.streams.at(kAccelKey);
  ASSERT_EQ(accel.count, truth.accelTicks.size());
  for (uint64_t i = 0; i < accel.count; ++i) {
    // Signed ticks: the ones before the wrap are negative and come first.
    EXPECT_EQ(accel.times[i], static_cast<double>(truth.accelTicks[i]) / 1000.0);
    for (int a = 0; a < 3; ++a) ASSERT_EQ(accel.value(a, i), truth.accel[3 * i + a] * 16 * 0x1p-15) << i;
  }
  EXPECT_LT(accel.times.front(), 0.0);
  EXPECT_GT(accel.times.back(), 0.0);
  const SampleStream& baro = p.streams.at(kBaroKey);
  ASSERT_EQ(baro.count, truth.pressure.size());
  EXPECT_EQ(baro.value(0, 1), truth.pressure[1] / 4096.0);
  EXPECT_EQ(baro.value(1, 1), truth.temperature[1] / 100.0);
  const SampleStream& events = p.streams.at(kEventKey);
  ASSERT_EQ(events.count, truth.events.size());
  EXPECT_EQ(events.value(0, 2), truth.events[2]);
}

TEST(Parser, BlockCountComesFromFileSize) {
  const std::vector<uint8_t> head = headBlock({kClock100, legacySensor(0, 0x13), legacySensor(1, 0x14)});
  Parsed exact = parseBytes(head);
  EXPECT_TRUE(exact.ok);
  EXPECT_EQ(exact.streams.at(kAccelKey).count, 0u);
  EXPECT_EQ(exact.streams.at(kGyroKey).channels, 3u);

  // The trailing 488 bytes of a 1000-byte file are never read as a block.
  std::vector<uint8_t> partial = head + dataBlock(0, {{0x13, 1, 0x08, 0, 0, 0, 0, 0}});
  partial.resize(1000);
  const Parsed cut = parseBytes(partial);
  EXPECT_EQ(cut.streams.at(kAccelKey).count, 0u);
  EXPECT_EQ(cut.stats.blocks, 1u);
  EXPECT_EQ(cut.stats.tailBytes, 488u);
}

TEST(Parser, FrameRulesAndConversions) {
  std::vector<uint8_t> baroRecord = settingsRecord(3, 4, {0x15, 0, 25, 0, 0});
  // Block 0 is scanned for frames too: this order keeps its frame slots free of 0x13.
  const std::vector<uint8_t> head = headBlock({legacySensor(0, 0x13), legacySensor(1, 0x13), baroRecord, kClock100});
  const auto bytes = head +
                     dataBlock(0xFFFFFFFFu, {{0x13, 2, 0x08, 0x00, 0xF8, 0x00, 0x00, 0x00},   // tick 1
                                             {0x13, 3, 0x00, 0x01, 0, 0, 0, 0},              // tick 2
                                             {0x13, 2, 0x7F, 0xFF, 0, 0, 0, 0},              // tick 1 again
                                             {0x15, 1, 0x00, 0x10, 0x00, 0x2C, 0x01, 0x99},  // tick 0
                                             {0x42, 0, 1, 2, 3, 4, 5, 6}}) +                 // unknown kind
                     dataBlock(0x80000000u, {{0x13, 0, 0, 0, 0, 0, 0, 0}});                   // most negative tick
  const Parsed p = parseBytes(bytes);
  ASSERT_TRUE(p.ok);
  const SampleStream& accel = p.streams.at(kAccelKey);
  ASSERT_EQ(accel.count, 3u);
  EXPECT_EQ(accel.times[0], -21474836.48);
  EXPECT_EQ(accel.times[1], 0.01);
  EXPECT_EQ(accel.value(0, 1), 1.0);   // 2048 counts at 16 g
  EXPECT_EQ(accel.value(1, 1), -1.0);  // first frame of tick 1 stayed
  EXPECT_EQ(accel.value(0, 2), 1.0 / 2048);
  EXPECT_EQ(p.streams.at(kGyroKey).count, 0u);  // same identifier as the accelerometer
  const SampleStream& baro = p.streams.at(kBaroKey);
  ASSERT_EQ(baro.count, 1u);
  EXPECT_EQ(baro.value(0, 0), 1.0);
  EXPECT_EQ(baro.value(1, 0), 3.0);
  // Two ticks ran backwards and one came twice; the second block starts below the first.
  EXPECT_EQ(p.stats.streams.at(kAccelKey).frames, 4u);
  EXPECT_EQ(p.stats.streams.at(kAccelKey).backwards, 2u);
  EXPECT_EQ(p.stats.streams.at(kAccelKey).duplicates, 1u);
  EXPECT_EQ(p.stats.blocks, 3u);
  EXPECT_EQ(p.stats.blocksBackwards, 1u);

  // Rising ticks with one repeated: only the repeat is dropped, and nothing ran backwards.
  const Parsed repeated = parseBytes(head + dataBlock(10, {{0x13, 1, 0x08, 0, 0, 0, 0, 0},
                                                           {0x13, 2, 0x08, 0, 0, 0, 0, 0},
                                                           {0x13, 2, 0x7F, 0xFF, 0, 0, 0, 0},
                                                           {0x13, 3, 0x08, 0, 0, 0, 0, 0}}));
  ASSERT_EQ(repeated.streams.at(kAccelKey).count, 3u);
  EXPECT_EQ(repeated.streams.at(kAccelKey).value(0, 1), 1.0);
  EXPECT_EQ(repeated.stats.streams.at(kAccelKey).duplicates, 1u);
  EXPECT_EQ(repeated.stats.streams.at(kAccelKey).backwards, 0u);
}
