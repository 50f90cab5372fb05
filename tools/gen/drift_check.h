// How well a generated set was aligned by drift, measured against the clocks
// the generator gave its sensors rather than anything the alignment says.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gen/sync_set.h"

namespace kinovar::gen {

struct DriftCheck {
  bool aligned = false;        // the set was aligned (and by drift)
  uint64_t rows = 0;           // grid rows checked, over every recording and its accelerometer
  double halfRow = 0.0;        // half the grid's period, seconds
  double worstRow = 0.0;       // seconds: farthest an accelerometer sample stands from its row's true instant
  // Over the accelerometer, gyroscope and barometer: the most a sample
  // stands beyond half its stream's period from its row's true instant
  // (negative: within), and how near to its instant a sample stood by a
  // row left empty (infinity: none).
  double worstBeyondHalf = -1.0;
  double nearestBesideEmpty = 0.0;
  std::vector<uint64_t> emptyRows;  // per recording, over those streams, as the check found them
  uint64_t sharedInstants = 0;      // pairs of a recording's rows (any stream, events) less than a microsecond apart
  double worstPpm = 0.0;       // largest error of an estimated clock rate, ppm
  uint64_t events = 0;         // events kept and checked
  double worstEventTicks = 0;  // clock ticks between an event's row and its true instant
  uint64_t slipped = 0;        // samples skipped or repeated, over every recording
  std::string error;           // what went wrong, when it did
};

// Parses the set written by writeSyncSet, aligns it by drift and finds which
// sample and which event each row holds. True instants come from the
// recipe: a sensor's tick k stands at clockZero + k / (clock (1 + ppm/1e6)).
DriftCheck checkDriftSet(const SyncSetRecipe& recipe, const SyncSet& written);

}  // namespace kinovar::gen
