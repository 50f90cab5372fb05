#include "gen/drift_check.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "io/read_file.h"
#include "reader/parser.h"
#include "sync/sync.h"

namespace kinovar::gen {

namespace {

// A generated tick as the sensor counted it, unwrapped from its first.
int64_t ownTick(const RecordingRecipe& recipe, int32_t tick) {
  return static_cast<int64_t>(recipe.startTick) +
         static_cast<int64_t>(static_cast<uint32_t>(static_cast<uint32_t>(tick) - recipe.startTick));
}

}  // namespace

DriftCheck checkDriftSet(const SyncSetRecipe& recipe, const SyncSet& written) {
  DriftCheck check;
  const size_t n = written.paths.size();
  std::vector<Recording> set(n);
  for (size_t i = 0; i < n; ++i) {
    std::vector<uint8_t> bytes;
    if (!readFile(written.paths[i].c_str(), bytes) || !parseRecording(set[i].settings, set[i].streams, bytes)) {
      check.error = written.paths[i] + " does not parse";
      return check;
    }
  }
  WindowPlan plan;
  SyncReport report;
  if (!alignRecordings(set, plan, &report, ClockAlignment::Drift) || !report.drift) {
    check.error = "the set was not aligned by drift";
    return check;
  }
  // Each sample and event carries its own index through the cut.
  for (Recording& r : set)
    for (const uint32_t key : {kAccelKey, kEventKey}) {
      const auto found = r.streams.find(key);
      if (found == r.streams.end()) continue;
      for (uint64_t j = 0; j < found->second.count; ++j) found->second.value(0, j) = static_cast<double>(j);
    }
  for (size_t i = 0; i < n; ++i) cutToWindow(plan, i, set[i], &report);

  const double clock = recipe.base.clock, wrap = 4294967296.0 / clock;
  // Time marks count from the earliest instant at which a sensor's signed
  // counter read 0: after as many turns of it as its first sample had made.
  double earliest = std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < n; ++i) {
    const SyncSensor& s = recipe.sensors[i];
    const double turns = std::round(written.recipes[i].startTick / 4294967296.0);
    earliest = std::min(earliest, s.clockZero + turns * 4294967296.0 / (clock * (1.0 + s.ppm * 1e-6)));
  }
  const SyncSensor& master = recipe.sensors[0];
  const bool marks = recipe.method == SyncMethod::TimeMarks;
  // The common base: the reference (true time) from that instant, or the
  // master's own clock (whole counter turns apart).
  const auto common = [&](size_t i, int64_t tick) {
    const SyncSensor& s = recipe.sensors[i];
    const double t = s.clockZero + static_cast<double>(tick) / (clock * (1.0 + s.ppm * 1e-6));
    return marks ? t - earliest : (t - master.clockZero) * (1.0 + master.ppm * 1e-6);
  };
  const double rowRate = recipe.base.accelHz;
  check.halfRow = 0.5 / rowRate;
  check.aligned = true;

  const SampleStream& grid = set[0].streams.at(kAccelKey);
  for (size_t i = 0; i < n; ++i) {
    const SampleStream& accel = set[i].streams.at(kAccelKey);
    const RecordingRecipe& made = written.recipes[i];
    const GeneratedSamples& truth = written.samples[i];
    if (accel.count != grid.count) check.error = "recordings differ in rows";
    for (uint64_t r = 0; r < accel.count; ++r) {
      const auto j = static_cast<size_t>(accel.value(0, r));
      if (accel.times[r] != grid.times[r]) check.error = "a row stands at two instants";
      const double off = std::remainder(common(i, ownTick(made, truth.accelTicks[j])) - accel.times[r], wrap);
      check.worstRow = std::max(check.worstRow, std::fabs(off));
    }
    check.rows += accel.count;
    for (const SyncStreamCount& kept : report.samples[i])
      if (kept.key == kAccelKey) check.slipped += kept.skipped + kept.repeated;

    const SyncSensor& s = recipe.sensors[i];
    const double rate = (marks ? 1.0 : 1.0 + master.ppm * 1e-6) / (1.0 + s.ppm * 1e-6);
    check.worstPpm = std::max(check.worstPpm, std::fabs(report.clocks[i].ppm() - (rate - 1.0) * 1e6));

    // Events on the classic rows: row k stands k ticks after the first row.
    StreamMap rows = set[i].streams;
    if (rows.find(kEventKey) == rows.end() || accel.count == 0) continue;
    const double origin = std::min(accel.times[0], set[i].streams.at(kGyroKey).times[0]);
    eventsOnRowClock(rows, static_cast<int32_t>(clock));
    const SampleStream& events = rows.at(kEventKey);
    for (uint64_t e = 0; e < events.count; ++e) {
      const auto j = static_cast<size_t>(events.value(0, e));
      const double row = std::floor(events.times[e] * clock);
      const double at = std::remainder(common(i, ownTick(made, truth.eventTicks[j])) - origin, wrap) * clock;
      check.worstEventTicks = std::max(check.worstEventTicks, std::fabs(row - at));
    }
    check.events += events.count;
  }
  return check;
}

}  // namespace kinovar::gen
