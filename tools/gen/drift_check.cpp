#include "gen/drift_check.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

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
  // Each sample and event carries its own index through the cut; the
  // samples' own ticks find them in the recipe's truth.
  std::vector<std::map<uint32_t, std::vector<int32_t>>> ticks(n);
  for (size_t i = 0; i < n; ++i)
    for (const uint32_t key : {kAccelKey, kGyroKey, kBaroKey, kEventKey}) {
      const auto found = set[i].streams.find(key);
      if (found == set[i].streams.end()) continue;
      for (uint64_t j = 0; j < found->second.count; ++j) found->second.value(0, j) = static_cast<double>(j);
    }
  for (size_t i = 0; i < n; ++i) {
    std::vector<uint8_t> bytes;
    Recording own;
    if (!readFile(written.paths[i].c_str(), bytes) || !parseRecording(own.settings, own.streams, bytes)) return check;
    for (const uint32_t key : {kAccelKey, kGyroKey, kBaroKey}) {
      const SampleStream* stream = findStream(own.streams, key);
      if (!stream) continue;
      for (const double t : stream->times)
        ticks[i][key].push_back(static_cast<int32_t>(static_cast<uint32_t>(std::llround(t * recipe.base.clock))));
    }
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
  check.nearestBesideEmpty = std::numeric_limits<double>::infinity();

  const SampleStream& grid = set[0].streams.at(kAccelKey);
  for (size_t i = 0; i < n; ++i) {
    const SampleStream& accel = set[i].streams.at(kAccelKey);
    const RecordingRecipe& made = written.recipes[i];
    const GeneratedSamples& truth = written.samples[i];
    if (accel.count != grid.count) check.error = "recordings differ in rows";
    for (uint64_t r = 0; r < accel.count; ++r) {
      if (accel.times[r] != grid.times[r]) check.error = "a row stands at two instants";
      // An empty row has no sample to place; the loop below checks it.
      const double index = accel.value(0, r);
      if (index != index) continue;
      const auto j = static_cast<size_t>(index);
      const double off = std::remainder(common(i, ownTick(made, truth.accelTicks[j])) - accel.times[r], wrap);
      check.worstRow = std::max(check.worstRow, std::fabs(off));
    }
    check.rows += accel.count;
    uint64_t reportedEmpty = 0;
    for (const SyncStreamCount& kept : report.samples[i]) {
      if (kept.key == kAccelKey) check.slipped += kept.skipped + kept.repeated;
      if (kept.key != kQuaternionKey) reportedEmpty += kept.empty;
    }

    // Every row of every stream: its sample within half a period of the
    // row's true instant, or empty where no sample of the file stood that near.
    check.emptyRows.push_back(0);
    std::vector<double> instants;
    for (const auto& [key, own] : ticks[i]) {
      const SampleStream* rows = findStream(set[i].streams, key);
      if (!rows || rows->count == 0) continue;
      const double half = 0.5 / (key == kBaroKey ? made.baroHz : key == kGyroKey ? made.gyroHz : made.accelHz);
      std::vector<double> truth;
      for (const int32_t tick : own) truth.push_back(common(i, ownTick(made, tick)));
      // The rows on the truth's stretch of time (radio clocks past 2^31 stand whole turns apart).
      const double turn = wrap * std::round((truth.front() - rows->times[0]) / wrap);
      size_t near = 0;
      for (uint64_t r = 0; r < rows->count; ++r) {
        const double t = rows->times[r] + turn;
        instants.push_back(rows->times[r]);
        while (near + 1 < truth.size() && std::fabs(truth[near + 1] - t) <= std::fabs(truth[near] - t)) ++near;
        const double v = rows->value(0, r);
        if (v != v) {
          ++check.emptyRows.back();
          check.nearestBesideEmpty = std::min(check.nearestBesideEmpty, std::fabs(truth[near] - t) - half);
          continue;
        }
        const double off = std::fabs(truth[static_cast<size_t>(v)] - t);
        check.worstBeyondHalf = std::max(check.worstBeyondHalf, off - half);
      }
    }
    if (check.emptyRows.back() != reportedEmpty) check.error = "the report counts other empty rows";
    if (const SampleStream* events = findStream(set[i].streams, kEventKey))
      instants.insert(instants.end(), events->times.begin(), events->times.end());
    std::sort(instants.begin(), instants.end());
    for (size_t a = 1; a < instants.size(); ++a)
      if (instants[a] != instants[a - 1] && instants[a] - instants[a - 1] < 1e-6) ++check.sharedInstants;

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
