#include <gtest/gtest.h>

#include "ops/operations.h"
#include "export/csv.h"
#include "gen/generator.h"
#include "orientation/orientation.h"
#include "reference/csv_writer.h"
#include "reader/parser.h"
#include "test_files.h"

using namespace kinovar;

// The fast exporter must write exactly what the reference one (every cell
// through printf) writes, and so must read, which formats rows while the
// filter is still running.
TEST(CsvReference, FastExportEqualsStraightforwardExport) {
  struct Case {
    uint16_t clock, accel, gyro, baro, events;
    double noise, seconds;
  };
  // The long case spans more formatting chunks than there are buffers, with
  // events due across their edges.
  const Case cases[] = {{1000, 1000, 1000, 25, 1, 30, 6}, {100, 100, 50, 30, 3, 5, 6}, {200, 100, 100, 0, 0, 0, 6},
                        {50, 100, 100, 25, 2, 10, 6}, {1000, 1000, 500, 25, 7, 3, 230}};
  TempDir dir;
  for (const Case& c : cases) {
    gen::RecordingRecipe recipe;
    recipe.clock = c.clock, recipe.accelHz = c.accel, recipe.gyroHz = c.gyro, recipe.baroHz = c.baro, recipe.eventHz = c.events;
    recipe.seconds = c.seconds;
    recipe.motion.noise = c.noise;
    recipe.motion.stillSeconds = 2;
    const std::vector<uint8_t> bytes = gen::buildRecording(recipe);
    const std::string recording = dir.path("rec.bin");
    writeBytes(recording, bytes);
    Recording r;
    ASSERT_TRUE(parseRecording(r.settings, r.streams, bytes));
    estimateOrientation(r.settings, r.streams);
    // Every case after the first replaces the files of the one before, as a
    // second conversion does.
    const std::string fast = dir.path("fast.csv"), plain = dir.path("plain.csv"), overlapped = dir.path("read.csv");
    ASSERT_TRUE(exportCsv(fast.c_str(), r.settings, r.streams));
    readRecording(recording.c_str(), overlapped.c_str());
    ASSERT_TRUE(reference::exportCsv(plain.c_str(), r.settings, r.streams));
    const std::string expected = readText(plain);
    EXPECT_GT(expected.size(), 1000u);
    EXPECT_TRUE(readText(fast) == expected) << "clock " << c.clock << " accel " << c.accel << " gyro " << c.gyro;
    EXPECT_TRUE(readText(overlapped) == expected) << "read, clock " << c.clock << " gyro " << c.gyro;
  }
}
