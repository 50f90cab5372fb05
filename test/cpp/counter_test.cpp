#include <gtest/gtest.h>

#include <cstdint>

#include "gen/generator.h"
#include "reader/quality.h"
#include "reader/stream_reader.h"
#include "test_files.h"

using namespace kinovar;

namespace {

struct Read {
  StreamMap streams;
  QualityReport quality;
  ParseStats stats;
};

Read readAs(const std::string& path, TickReading ticks, uint64_t chunk = 0) {
  RecordingReader reader(chunk, {}, ticks);
  EXPECT_TRUE(reader.open(fileSource(path.c_str())));
  Read r;
  reader.readAll(r.streams);
  r.quality = qualityReport(reader);
  r.stats = reader.stats();
  return r;
}

const StreamQuality& stream(const QualityReport& report, const std::string& name) {
  for (const auto& q : report.streams)
    if (name == q.name) return q;
  throw std::runtime_error("no stream " + name);
}

gen::RecordingRecipe recipeAt(uint16_t clock, uint32_t startTick) {
  gen::RecordingRecipe recipe;
  recipe.clock = clock;
  recipe.seconds = 6;
  recipe.eventHz = 2;
  recipe.startTick = startTick;
  return recipe;
}

}  // namespace

// A counter passing 2^31 or 2^32 in the middle runs on: every sample at its
// true tick (the first tick plus the generator's own count), no gap, no
// block out of order. The signed reading keeps the classic jump of 2^31.
TEST(Counter, PassingTwoToThe31Or32IsSeamless) {
  TempDir dir;
  for (const uint16_t clock : {uint16_t{1000}, uint16_t{32768}}) {
    for (const uint64_t crossing : {uint64_t{1} << 31, uint64_t{1} << 32}) {
      SCOPED_TRACE(std::to_string(clock) + " Hz, crossing " + std::to_string(crossing));
      // Three seconds before the crossing.
      const auto start = static_cast<uint32_t>(crossing - 3u * clock);
      const gen::RecordingRecipe recipe = recipeAt(clock, start);
      gen::GeneratedSamples truth;
      ASSERT_TRUE(gen::writeRecording(dir.path("r.bin"), recipe, &truth));
      for (const uint64_t chunk : {uint64_t{7}, uint64_t{0}}) {
        const Read r = readAs(dir.path("r.bin"), TickReading::Unwrapped, chunk);
        const int64_t first = static_cast<int32_t>(start);
        const auto check = [&](uint32_t key, const std::vector<int32_t>& ticks) {
          const SampleStream& s = r.streams.at(key);
          ASSERT_EQ(s.count, ticks.size());
          for (size_t i = 0; i < ticks.size(); ++i) {
            const int64_t own = first + static_cast<uint32_t>(static_cast<uint32_t>(ticks[i]) - start);
            ASSERT_EQ(s.times[i], static_cast<double>(own) / clock) << key << " sample " << i;
          }
        };
        check(kAccelKey, truth.accelTicks);
        check(kGyroKey, truth.gyroTicks);
        check(kBaroKey, truth.baroTicks);
        check(kEventKey, truth.eventTicks);
        for (const StreamQuality& q : r.quality.streams) EXPECT_EQ(q.gapCount, 0u) << q.name;
        EXPECT_EQ(r.quality.outOfOrder, 0u);
        EXPECT_EQ(r.quality.corruptBlocks, 0u);
        // Only 2^31 moves the classic table's ticks; it is told where, from the first sample.
        if (crossing == uint64_t{1} << 31) EXPECT_NEAR(r.quality.signedWrapAt, 3.0, 1.0 / clock);
        else EXPECT_EQ(r.quality.signedWrapAt, -1.0);
      }
      // Signed, as the five functions read it: the jump at 2^31 stays.
      const Read classic = readAs(dir.path("r.bin"), TickReading::Signed);
      EXPECT_EQ(stream(classic.quality, "accel").gapCount, crossing == uint64_t{1} << 31 ? 1u : 0u);
    }
  }
}

// One flipped bit in one block's base tick, a third of the way in or in
// the first or last data block: that block is corrupt and left out (its
// samples make at most one short gap), not read as a gap of days. The
// signed reading keeps it, and counts it all the same.
TEST(Counter, FlippedBaseTickBitIsOneCorruptBlock) {
  TempDir dir;
  for (const uint16_t clock : {uint16_t{1000}, uint16_t{32768}}) {
    for (const int bit : {12, 20, 31}) {
      SCOPED_TRACE(std::to_string(clock) + " Hz, bit " + std::to_string(bit));
      gen::RecordingRecipe recipe = recipeAt(clock, 5000);
      recipe.tricky.flipBit = bit;
      gen::GeneratedSamples truth;
      std::vector<uint8_t> bytes = gen::buildRecording(recipe, &truth);
      const size_t last = bytes.size() / 512 - 1;
      for (const size_t end : {size_t{0}, size_t{1}, last}) {
        if (end) bytes[end * 512 + 7 - bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        writeBytes(dir.path("r.bin"), bytes);
        const Read r = readAs(dir.path("r.bin"), TickReading::Unwrapped, 5);
        EXPECT_EQ(r.quality.corruptBlocks, end ? 2u : 1u);
        EXPECT_EQ(r.quality.outOfOrder, 0u);
        const StreamQuality& accel = stream(r.quality, "accel");
        EXPECT_EQ(accel.gapCount, 1u);
        EXPECT_LT(accel.longestGap, 0.5);
        EXPECT_LT(accel.last - accel.first, recipe.seconds);
        if (end) {
          if (end != last) bytes[end * 512 + 7 - bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
          continue;
        }
        EXPECT_EQ(accel.samples, truth.accelTicks.size() - truth.accelFaults.inFlippedBlock);
        EXPECT_EQ(accel.missing, truth.accelFaults.inFlippedBlock);
        EXPECT_EQ(accel.first, 5000.0 / clock);
        const Read classic = readAs(dir.path("r.bin"), TickReading::Signed);
        EXPECT_EQ(classic.stats.corruptBlocks, 1u);
        EXPECT_EQ(stream(classic.quality, "accel").samples, truth.accelTicks.size());
      }
    }
  }
}
