// Sets of recordings made together by several sensors: the same motion seen
// through clocks with known offsets, carrying what the synchronisation needs.
#pragma once

#include <string>
#include <vector>

#include "gen/generator.h"

namespace kinovar::gen {

enum class SyncMethod { TimeMarks, RadioSettings, RadioStream };

struct SyncSensor {
  double clockZero = 0.0;    // true time (s) at which this sensor's clock read tick 0
  double firstSample = 0.0;  // true time (s) of its first sample, at or after clockZero
  std::string name;          // file stem; "sensor<i>" when empty
  double ppm = 0.0;          // the clock's rate error: it counts (1 + ppm/1e6) ticks per true tick
  int cutBlocks = 0;         // data blocks this recording alone loses in its middle (a gap)
};

struct SyncSetRecipe {
  SyncMethod method = SyncMethod::TimeMarks;
  RecordingRecipe base;        // rates, clock, length and motion shared by all
  double motionStart = 2.0;  // true time (s) at which the rotation begins
  uint8_t radioChannel = 3;
  uint16_t radioHz = 10;  // radio-stream frames per second of each slave; 0: none
  double radioCorrupt = 0.0;  // fraction of radio-stream frames whose master time is noise
  double markSpan = 30.0;     // true seconds between the two time marks (the seconds field turns over at 256)
  std::vector<SyncSensor> sensors;  // the first one is the radio master
};

struct SyncSet {
  std::vector<std::string> paths;
  std::vector<RecordingRecipe> recipes;
  std::vector<GeneratedSamples> samples;
};

// The recording recipe of sensor i; exposed so tests can vary one of them.
RecordingRecipe syncSensorRecipe(const SyncSetRecipe& set, size_t i);

// Writes <folder>/<name>.bin per sensor. After synchronisation every time is
// true time minus the earliest clockZero (time marks) or minus the master's
// clockZero (radio methods).
bool writeSyncSet(const std::string& folder, const SyncSetRecipe& set, SyncSet* written = nullptr);

}  // namespace kinovar::gen
