// The common time window of a set of aligned recordings.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include "model/recording.h"
#include "sync/report.h"

namespace kinovar {

// One aligned stream of a recording, seen while the window is planned: in
// memory, or (stream null) `count` samples whose times `time` gives, in order.
struct WorkingStream {
  WorkingStream(uint32_t k, const SampleStream* s, int32_t f) : key(k), stream(s), frequency(f) {}
  WorkingStream(uint32_t k, int32_t f, uint64_t n, std::function<double(uint64_t)> t)
      : key(k), frequency(f), count(n), time(std::move(t)) {}
  uint32_t key = 0;
  const SampleStream* stream = nullptr;
  int32_t frequency = 0;  // samples per second of this stream
  uint64_t count = 0;
  std::function<double(uint64_t)> time;
};

// Where every recording's aligned streams start in the window and how many
// samples they keep (start[i][k], count[i][k] for keys[k]), and the window
// on the time base that events are cut to.
struct WindowPlan {
  std::vector<uint32_t> keys;  // empty: nothing to cut
  std::vector<std::vector<uint64_t>> start, count;
  double eventStart = 0, eventEnd = 0;
  // The window's end as reported: the shortest stream's samples over its
  // rate in double precision, where eventEnd keeps the single-precision
  // window that the cut has always used.
  double reportEnd = 0;
  // A grid (aligned by drift): one lattice of instants gridOrigin + n /
  // gridLattice (n whole) for the set, whose rate every stream's divides.
  // Key k's row m stands at lattice step gridFirst[k] + m * gridStep[k],
  // m < count[i][k], alike in every recording; start is unused. Each time
  // is made from its whole step once, so samples of two streams at one
  // instant share a row to the bit.
  double gridOrigin = 0, gridLattice = 0;  // lattice 0: no grid
  std::vector<int64_t> gridFirst, gridStep;
  // gridReach[i][k]: how far from its row's instant a sample of recording
  // i's stream k may stand and still hold the row (seconds). A row with no
  // sample that near is empty.
  std::vector<std::vector<double>> gridReach;
  bool grid() const { return gridLattice > 0; }
  double gridTime(size_t k, uint64_t m) const {
    return gridOrigin + static_cast<double>(gridFirst[k] + static_cast<int64_t>(m) * gridStep[k]) / gridLattice;
  }
  double gridPeriod(size_t k) const { return static_cast<double>(gridStep[k]) / gridLattice; }
};

// working[i] lists recording i's aligned streams, the same keys in the same
// order for every recording. Each stream's window starts at its sample
// nearest to the latest first sample of its key and lasts as long as the
// shortest of them all. Empty streams and rates of 0 are the caller's to keep
// out; given them anyway, nothing is read out of bounds.
WindowPlan planCommonWindow(const std::vector<std::vector<WorkingStream>>& working);

// The same window on a grid: each key's rows at the first recording's rate,
// from its sample nearest to the latest first sample (not before the first
// row of the streams that define the rows), as long as every recording has
// samples up to the row. `clock`: the first recording's ticks per second,
// which the lattice also divides, so that events on distinct ticks keep
// distinct instants.
WindowPlan planGridWindow(const std::vector<std::vector<WorkingStream>>& working, int32_t clock);

// A grid plan's events onto the lattice instant nearest each, so that an
// event at a sample's instant shares its row in the tables with a time column.
void eventsOnGrid(const WindowPlan& plan, StreamMap& streams);

// What a grid's row takes of a recording's stream, counted as the rows are
// made: row after row, the sample nearest its instant and how far off it is.
class GridTake {
 public:
  static constexpr double kNoSample = std::numeric_limits<double>::infinity();
  GridTake(double reach, SyncStreamCount& slips) : reach_(reach), slips_(slips) {}
  // True when the row holds sample j (kNoSample: the stream has none).
  bool take(uint64_t j, double distance);

 private:
  double reach_;
  SyncStreamCount& slips_;
  uint64_t last_ = 0;
  bool any_ = false, previous_ = false;
};

// Cuts recording i's aligned streams in place, and its event stream (key 6,
// on the same time base) to the events in the window that fall from the
// first kept accelerometer, gyroscope or orientation sample to the last; an
// event stream left empty is removed. On a grid, each row takes the sample
// nearest to its instant; `slips` (when given) receives per key what slipped.
void applyCommonWindow(const WindowPlan& plan, size_t i, StreamMap& streams,
                       std::vector<SyncStreamCount>* slips = nullptr);

// The events alone, for streams that are not in memory: `spans` gives the
// first and last kept time of each key of the plan that kept samples. On a
// grid, the events kept move onto the lattice (eventsOnGrid).
void cutEvents(const WindowPlan& plan, StreamMap& streams, const std::vector<std::pair<uint32_t, std::pair<double, double>>>& spans);

// The CSV's rows are the ticks of the recording's clock from the first kept
// accelerometer, gyroscope or orientation sample on (the barometer's may
// come earlier), and an event stands on the first row whose running time
// reaches its own. Events of a synchronised map are on the common time base;
// this gives an event measured k ticks after that sample a time that row k,
// and no earlier one, reaches.
void eventsOnRowClock(StreamMap& synced, int32_t clock);
// The same from a first row at `origin` on the events' time base: for
// streams not in memory, the earliest of `spans` (as for cutEvents) that
// defines the rows.
void eventsOnRowClock(StreamMap& synced, int32_t clock, double origin);
double firstRowTime(const StreamMap& streams, const std::vector<std::pair<uint32_t, std::pair<double, double>>>& spans);

// Samples a stream of `frequency` keeps in a window of `window` seconds,
// never more than the `left` it has from its start index on.
uint64_t windowSampleCount(int32_t frequency, float window, uint64_t left);

}  // namespace kinovar
