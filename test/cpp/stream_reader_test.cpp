#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "export/resample.h"
#include "gen/generator.h"
#include "reader/parser.h"
#include "reader/stream_reader.h"
#include "test_files.h"

using namespace kinovar;

namespace {

// The file with its first data block moved to the end: the earliest ticks
// of every stream come last, the most disorder a file can hold.
std::vector<uint8_t> firstBlockLast(std::vector<uint8_t> bytes) {
  std::vector<uint8_t> block(bytes.begin() + 512, bytes.begin() + 1024);
  bytes.erase(bytes.begin() + 512, bytes.begin() + 1024);
  bytes.insert(bytes.begin() + static_cast<long>(bytes.size() - bytes.size() % 512), block.begin(), block.end());
  return bytes;
}

}  // namespace

// Read in pieces of any size, from a file, every stream holds exactly what
// the whole-file parse gives, across blocks out of order, repeated ticks, a
// clock wrap, lost blocks and a cut-off tail; from any sample on too.
TEST(StreamReader, PiecesOfAnySizeGiveTheWholeParse) {
  gen::RecordingRecipe recipe;
  recipe.seconds = 4;
  recipe.eventHz = 3;
  recipe.startTick = 0xFFFFFE00u;
  recipe.tricky = {true, true, true, 300, 2};
  const std::vector<uint8_t> tricky = gen::buildRecording(recipe);
  recipe.tricky = {};
  const std::vector<uint8_t> shuffled = firstBlockLast(gen::buildRecording(recipe));
  TempDir dir;
  for (const auto* bytes : {&tricky, &shuffled}) {
    DeviceSettings settings;
    StreamMap whole;
    ParseStats stats;
    ASSERT_TRUE(parseRecording(settings, whole, *bytes, &stats));
    writeBytes(dir.path("r.bin"), *bytes);
    for (uint64_t chunk : {1, 2, 7, 63, 0}) {
      SCOPED_TRACE(chunk);
      RecordingReader reader(chunk);
      ASSERT_TRUE(reader.open(fileSource(dir.path("r.bin"))));
      EXPECT_EQ(reader.stats().blocks, stats.blocks);
      EXPECT_EQ(reader.stats().tailBytes, stats.tailBytes);
      EXPECT_EQ(reader.stats().blocksBackwards, stats.blocksBackwards);
      ASSERT_EQ(reader.keys().size(), whole.size());
      for (const auto& [key, stream] : whole) {
        const StreamParseStats& a = reader.stats().streams.at(key);
        const StreamParseStats& b = stats.streams.at(key);
        EXPECT_EQ(std::tie(a.frames, a.duplicates, a.backwards), std::tie(b.frames, b.duplicates, b.backwards)) << key;
        ASSERT_EQ(reader.count(key), stream.count) << key;
        std::vector<double> times, values;
        std::unique_ptr<StreamCursor> cursor = reader.cursor(key);
        SampleStream piece;
        uint64_t read = 0;
        while (cursor->read(piece, reader.chunkSamples()) > 0) {
          ASSERT_LE(piece.count, reader.chunkSamples());
          for (uint64_t i = 0; i < piece.count; ++i, ++read) {
            ASSERT_EQ(piece.times[i], stream.times[read]) << key << " sample " << read;
            for (uint64_t c = 0; c < stream.channels; ++c) ASSERT_EQ(piece.value(c, i), stream.value(c, read));
          }
        }
        EXPECT_EQ(read, stream.count);
        // A cursor started anywhere reads on from there.
        const uint64_t c = reader.chunkSamples();
        for (uint64_t first : {uint64_t{1}, c - 1, c, c + 1, 3 * c + 2, stream.count / 2, stream.count - 1}) {
          if (first >= stream.count) continue;
          ASSERT_GT(reader.cursor(key, first)->read(piece, 2), 0u);
          EXPECT_EQ(piece.times[0], stream.times[first]) << key << " from " << first;
          EXPECT_EQ(piece.value(stream.channels - 1, 0), stream.value(stream.channels - 1, first));
        }
      }
    }
  }
}

// A stream resampled as it is read gives the points of the whole-stream
// resampling, down (low-passed stretch by stretch, stretches longer and
// shorter than the filter's padding) and up, quaternions too.
TEST(StreamReader, ResampledInPiecesAsWhole) {
  SampleStream sensor(3, 3000), quaternion(4, 3000);
  std::mt19937 random(7);
  std::uniform_real_distribution<double> noise(-1.0, 1.0);
  double t = 0.25;
  for (uint64_t i = 0; i < sensor.count; ++i) {
    // 1000 Hz, with a gap after 1200 samples and a short stretch of 40 after it.
    t += i == 1200 || i == 1240 ? 0.05 : 0.001;
    sensor.times[i] = quaternion.times[i] = t;
    for (uint64_t c = 0; c < 3; ++c) sensor.value(c, i) = std::sin(t * (c + 3)) + 0.1 * noise(random);
    const double half = 0.5 * std::sin(t);
    quaternion.value(0, i) = std::cos(half), quaternion.value(3, i) = std::sin(half);
  }
  quaternion.value(0, 10) = quaternion.value(3, 10) = 0;  // no estimate there
  DeviceSettings settings;
  settings.accel.frequency = settings.gyro.frequency = 1000;
  for (double hz : {100.0, 30.0, 2500.0}) {
    StreamMap whole{{kAccelKey, sensor}, {kQuaternionKey, quaternion}};
    resampleStreams(settings, whole, hz, 0.2);
    for (uint32_t key : {kAccelKey, kQuaternionKey}) {
      const SampleStream& own = key == kAccelKey ? sensor : quaternion;
      ResampledStream stream{own.channels, own.count, own.times.front(), own.times.back(), 1000, hz, 0.2,
                             key == kQuaternionKey, 7};
      std::unique_ptr<StreamCursor> cursor = resampledCursor([&] { return memoryCursor(own); }, stream);
      const SampleStream& expected = whole.at(key);
      SampleStream piece;
      uint64_t at = 0;
      while (cursor->read(piece, 5) > 0)
        for (uint64_t i = 0; i < piece.count; ++i, ++at) {
          ASSERT_LT(at, expected.count) << hz;
          ASSERT_EQ(piece.times[i], expected.times[at]) << hz << " point " << at;
          for (uint64_t c = 0; c < own.channels; ++c) ASSERT_EQ(piece.value(c, i), expected.value(c, at)) << hz << " " << at;
        }
      EXPECT_EQ(at, expected.count) << hz;
    }
  }
}
