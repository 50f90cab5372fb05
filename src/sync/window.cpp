#include "sync/window.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

namespace kinovar {

namespace {

// Samples a working stream has, and the time of sample j.
uint64_t samplesOf(const WorkingStream& w) { return w.stream ? w.stream->count : w.count; }
uint64_t timedOf(const WorkingStream& w) {
  return w.stream ? std::min<uint64_t>(w.stream->count, w.stream->times.size()) : w.count;
}
double timeOf(const WorkingStream& w, uint64_t j) { return w.stream ? w.stream->times[j] : w.time(j); }

// The sample nearest to `target`; ties keep the earlier one. Times rise, so
// it is one of the two either side of where the target would go.
uint64_t nearestSample(const WorkingStream& w, double target) {
  const uint64_t n = timedOf(w);
  uint64_t low = 0, high = n;
  while (low < high) {
    const uint64_t mid = low + (high - low) / 2;
    if (timeOf(w, mid) < target) low = mid + 1;
    else high = mid;
  }
  if (low == n) return n ? n - 1 : 0;
  if (low > 0 && !(std::fabs(timeOf(w, low) - target) < std::fabs(timeOf(w, low - 1) - target))) return low - 1;
  return low;
}

// In place: every channel's window moves down to its new place, which never
// lies past what is still to be read, so memmove in channel order is safe.
void cutStream(SampleStream& stream, uint64_t start, uint64_t count) {
  const uint64_t oldCount = stream.count;
  if (count > 0 && (start != 0 || count != oldCount)) {
    for (uint64_t c = 0; c < stream.channels; ++c)
      std::memmove(stream.values.data() + c * count, stream.values.data() + c * oldCount + start, count * sizeof(double));
    std::memmove(stream.times.data(), stream.times.data() + start, count * sizeof(double));
  }
  stream.values.resize(stream.channels * count);
  stream.times.resize(count);
  stream.count = count;
}

// Row r of a grid takes the sample nearest its instant, when near enough;
// both advance, so one walk over the times finds them all. A clock half a
// sample off the grid would flip between its two samples on the last bits
// of each sum: within a millionth of a period, the earlier one stays. A
// row that holds no sample holds NaN.
void gridStream(SampleStream& stream, const WindowPlan& plan, size_t i, size_t k, uint64_t rows, SyncStreamCount& slips) {
  SampleStream out(stream.channels, rows);
  const uint64_t n = std::min<uint64_t>(stream.count, stream.times.size());
  const double tie = 1e-6 * plan.gridPeriod(k);
  GridTake take(plan.gridReach[i][k], slips);
  uint64_t j = 0;
  for (uint64_t r = 0; r < rows; ++r) {
    const double t = plan.gridTime(k, r);
    while (j + 1 < n && std::fabs(stream.times[j + 1] - t) < std::fabs(stream.times[j] - t) - tie) ++j;
    out.times[r] = t;
    const bool held = take.take(j, n > 0 ? std::fabs(stream.times[j] - t) : GridTake::kNoSample);
    for (uint64_t c = 0; c < stream.channels; ++c)
      out.values[c * rows + r] = held ? stream.values[c * stream.count + j] : std::numeric_limits<double>::quiet_NaN();
  }
  stream = std::move(out);
}

// The rows are the accelerometer's, gyroscope's and orientation's; a
// barometer's first kept sample can precede theirs by one of its periods and
// must not move the events. Only a set aligned on the barometer alone counts it.
bool definesRows(const StreamMap& streams, uint32_t key) {
  if (key == kEventKey || key == kSecondEventKey) return false;
  if (key != kBaroKey) return true;
  for (const auto& [other, stream] : streams)
    if (other != kBaroKey && other != kEventKey && other != kSecondEventKey && stream.count > 0) return false;
  return true;
}

// Keeps the events within [start, end] that also fall from the first kept
// sample of the streams that define the rows to the last (`spans`: those
// that kept any), in place; none left removes the stream. The events were
// shifted by the same sums as the samples, so an event on a sample's tick
// compares equal to it.
void cutEventStream(StreamMap& streams, const std::vector<std::pair<uint32_t, std::pair<double, double>>>& spans,
                    double start, double end) {
  const auto found = streams.find(kEventKey);
  if (found == streams.end()) return;
  double first = std::numeric_limits<double>::infinity(), last = -first;
  for (const auto& [key, span] : spans) {
    if (!definesRows(streams, key)) continue;
    first = std::min(first, span.first);
    last = std::max(last, span.second);
  }
  start = std::max(start, first);
  end = std::min(end, last);
  SampleStream& events = found->second;
  const int64_t m = static_cast<int64_t>(std::min<uint64_t>(events.count, events.times.size()));
  int64_t a = 0;
  while (a < m && !(events.times[static_cast<size_t>(a)] >= start)) ++a;
  int64_t b = m - 1;
  while (b >= 0 && !(events.times[static_cast<size_t>(b)] <= end)) --b;
  if (b < a) {
    streams.erase(found);
    return;
  }
  cutStream(events, static_cast<uint64_t>(a), static_cast<uint64_t>(b - a + 1));
}

// How many streams every recording of the set has (the first that many
// are the same streams in each).
size_t sharedStreams(const std::vector<std::vector<WorkingStream>>& working) {
  if (working.empty()) return 0;
  size_t keys = working[0].size();
  for (const auto& streams : working) keys = std::min(keys, streams.size());
  return keys;
}

// The latest first sample of stream k in the set, whatever its sign: a set
// that lies wholly before time 0 (a master clock past 2^31 ticks) still has
// its overlap. -infinity where no recording has a timed sample of it.
double latestFirstSample(const std::vector<std::vector<WorkingStream>>& working, size_t k) {
  double latest = -std::numeric_limits<double>::infinity();
  for (const auto& streams : working)
    if (samplesOf(streams[k]) > 0 && timedOf(streams[k]) > 0) latest = std::max(latest, timeOf(streams[k], 0));
  return latest;
}

}  // namespace

// floor(f * window) in single precision, as hosts have always seen it (a
// 100 Hz stream with 53 samples left keeps 52). Above 2^24 samples the float
// can round past what is left, so the count is bounded by the samples left.
uint64_t windowSampleCount(int32_t frequency, float window, uint64_t left) {
  const float product = std::floor(static_cast<float>(frequency) * window);
  if (!(product > 0.0f)) return 0;  // also NaN
  if (product >= 18446744073709551616.0f) return left;
  return std::min(static_cast<uint64_t>(product), left);
}

WindowPlan planCommonWindow(const std::vector<std::vector<WorkingStream>>& working) {
  WindowPlan plan;
  const size_t keys = sharedStreams(working);
  if (keys == 0) return plan;

  std::vector<double> commonStart(keys);
  for (size_t k = 0; k < keys; ++k) {
    const double latest = latestFirstSample(working, k);
    commonStart[k] = std::isinf(latest) ? 0.0 : latest;
  }

  plan.start.assign(working.size(), std::vector<uint64_t>(keys, 0));
  std::vector<float> remaining;
  std::vector<double> exact;  // the same in double precision, for the report
  remaining.reserve(working.size() * 4);
  for (size_t i = 0; i < working.size(); ++i)
    for (size_t k = 0; k < keys; ++k) {
      const WorkingStream& w = working[i][k];
      const uint64_t s = nearestSample(w, commonStart[k]);
      plan.start[i][k] = s;
      const float left = static_cast<float>(samplesOf(w) - s);
      remaining.push_back(left / static_cast<float>(w.frequency));
      exact.push_back(static_cast<double>(samplesOf(w) - s) / static_cast<double>(w.frequency));
    }
  const auto shortest = std::min_element(remaining.begin(), remaining.end());
  const float window = *shortest;

  plan.count.assign(working.size(), std::vector<uint64_t>(keys, 0));
  for (size_t i = 0; i < working.size(); ++i)
    for (size_t k = 0; k < keys; ++k) {
      const uint64_t s = plan.start[i][k];
      plan.count[i][k] = windowSampleCount(working[i][k].frequency, window, samplesOf(working[i][k]) - s);
    }
  for (size_t k = 0; k < keys; ++k) plan.keys.push_back(working[0][k].key);
  plan.eventStart = *std::min_element(commonStart.begin(), commonStart.end());
  plan.eventEnd = plan.eventStart + static_cast<double>(window);
  plan.reportEnd = plan.eventStart + exact[static_cast<size_t>(shortest - remaining.begin())];
  return plan;
}

WindowPlan planGridWindow(const std::vector<std::vector<WorkingStream>>& working, int32_t clock) {
  WindowPlan plan;
  const size_t keys = sharedStreams(working);
  if (keys == 0) return plan;
  const std::vector<WorkingStream>& first = working[0];

  // The lattice: the least rate that the clock's and every stream's divide
  // (far past any clock, the fastest stream's, its periods then rounded).
  uint64_t lattice = clock > 0 ? static_cast<uint64_t>(clock) : 1;
  int32_t fastest = 1;
  for (size_t k = 0; k < keys; ++k)
    if (first[k].frequency > 0) {
      lattice = std::lcm(lattice, static_cast<uint64_t>(first[k].frequency));
      fastest = std::max(fastest, first[k].frequency);
    }
  if (lattice > (uint64_t{1} << 32)) lattice = static_cast<uint64_t>(std::max(fastest, clock));
  plan.gridLattice = static_cast<double>(lattice);

  // Each key's first row: the first recording's sample nearest the latest first sample.
  bool usable = true;
  std::vector<double> start(keys, 0.0);
  for (size_t k = 0; k < keys; ++k) {
    const double latest = latestFirstSample(working, k);
    if (std::isinf(latest) || timedOf(first[k]) == 0 || first[k].frequency <= 0) {
      usable = false;
      continue;
    }
    start[k] = timeOf(first[k], nearestSample(first[k], latest));
  }
  // The rows start at the first row of the streams that define them (the
  // barometer only when it is alone); a barometer's first row is the first
  // of its rows from there on.
  const auto definesRowsOfSet = [&](size_t k) {
    if (first[k].key != kBaroKey) return true;
    for (size_t o = 0; o < keys; ++o)
      if (first[o].key != kBaroKey) return false;
    return true;
  };
  double origin = std::numeric_limits<double>::infinity();
  for (size_t k = 0; k < keys; ++k)
    if (definesRowsOfSet(k)) origin = std::min(origin, start[k]);
  if (!usable || std::isinf(origin)) origin = 0.0;
  plan.gridOrigin = origin;
  plan.gridFirst.assign(keys, 0);
  plan.gridStep.assign(keys, 1);
  // The window's end, a lattice step: where the first of the streams runs
  // out, each row of a stream covering a period from its instant.
  int64_t end = std::numeric_limits<int64_t>::max();
  for (size_t k = 0; k < keys && usable; ++k) {
    const auto f = static_cast<uint64_t>(first[k].frequency);
    const int64_t step = std::max<int64_t>(1, static_cast<int64_t>(lattice % f == 0 ? lattice / f : (lattice + f / 2) / f));
    int64_t at = std::llround((start[k] - origin) * plan.gridLattice);
    if (at < 0) at += (-at + step - 1) / step * step;
    plan.gridFirst[k] = at, plan.gridStep[k] = step;
    // A hair of tolerance for the sum's last bits.
    for (const auto& streams : working) {
      const uint64_t n = timedOf(streams[k]);
      const double steps = n ? (timeOf(streams[k], n - 1) - origin) * plan.gridLattice + 1e-6 * static_cast<double>(step) : -1.0;
      const int64_t last = steps < static_cast<double>(at) ? at - step : static_cast<int64_t>(std::floor(steps));
      end = std::min(end, at + ((last - at) / step + 1) * step);
    }
  }
  if (!usable) end = 0;
  plan.start.assign(working.size(), std::vector<uint64_t>(keys, 0));
  plan.count.assign(working.size(), std::vector<uint64_t>(keys, 0));
  for (size_t k = 0; k < keys; ++k) {
    const int64_t at = plan.gridFirst[k], step = plan.gridStep[k];
    const uint64_t rows = end > at ? static_cast<uint64_t>((end - at + step - 1) / step) : 0;
    for (size_t i = 0; i < working.size(); ++i) plan.count[i][k] = rows;
    plan.keys.push_back(first[k].key);
  }
  plan.eventStart = origin;
  plan.eventEnd = plan.reportEnd = origin + static_cast<double>(std::max<int64_t>(end, 0)) / plan.gridLattice;
  return plan;
}

bool GridTake::take(uint64_t j, double distance) {
  if (!(distance <= reach_)) {
    ++slips_.empty;
    previous_ = false;
    return false;
  }
  if (any_ && j == last_ && previous_) ++slips_.repeated;
  if (any_ && j > last_) slips_.skipped += j - last_ - 1;
  last_ = j, any_ = previous_ = true;
  return true;
}

void eventsOnGrid(const WindowPlan& plan, StreamMap& streams) {
  const auto events = streams.find(kEventKey);
  if (!plan.grid() || events == streams.end()) return;
  // Events a step apart or more keep their order; two on one step (a clock
  // faster than the lattice) would share an instant, so the later moves on.
  int64_t previous = std::numeric_limits<int64_t>::min();
  for (double& t : events->second.times) {
    int64_t at = std::llround((t - plan.gridOrigin) * plan.gridLattice);
    if (at <= previous) at = previous + 1;
    previous = at;
    t = plan.gridOrigin + static_cast<double>(at) / plan.gridLattice;
  }
}

void applyCommonWindow(const WindowPlan& plan, size_t i, StreamMap& streams, std::vector<SyncStreamCount>* slips) {
  if (slips) slips->assign(plan.keys.size(), SyncStreamCount{});
  for (size_t k = 0; k < plan.keys.size(); ++k) {
    SampleStream& stream = streams.at(plan.keys[k]);
    SyncStreamCount local;
    SyncStreamCount& slip = slips ? (*slips)[k] : local;
    slip.key = plan.keys[k];
    if (!plan.grid())
      cutStream(stream, plan.start[i][k], plan.count[i][k]);
    else
      gridStream(stream, plan, i, k, plan.count[i][k], slip);
    slip.samples = stream.count;
  }
  std::vector<std::pair<uint32_t, std::pair<double, double>>> spans;
  for (const uint32_t key : plan.keys) {
    const SampleStream& kept = streams.at(key);
    if (kept.count > 0) spans.push_back({key, {kept.times.front(), kept.times[kept.count - 1]}});
  }
  cutEvents(plan, streams, spans);
}

void cutEvents(const WindowPlan& plan, StreamMap& streams, const std::vector<std::pair<uint32_t, std::pair<double, double>>>& spans) {
  if (plan.keys.empty())
    streams.erase(kEventKey);
  else
    cutEventStream(streams, spans, plan.eventStart, plan.eventEnd);
  eventsOnGrid(plan, streams);
}

void eventsOnRowClock(StreamMap& synced, int32_t clock) {
  double origin = std::numeric_limits<double>::infinity();
  for (const auto& [key, stream] : synced)
    if (definesRows(synced, key) && stream.count > 0 && !stream.times.empty()) origin = std::min(origin, stream.times[0]);
  eventsOnRowClock(synced, clock, origin);
}

double firstRowTime(const StreamMap& streams, const std::vector<std::pair<uint32_t, std::pair<double, double>>>& spans) {
  double origin = std::numeric_limits<double>::infinity();
  for (const auto& [key, span] : spans)
    if (definesRows(streams, key)) origin = std::min(origin, span.first);
  return origin;
}

void eventsOnRowClock(StreamMap& synced, int32_t clock, double origin) {
  const auto events = synced.find(kEventKey);
  if (events == synced.end() || clock <= 0 || std::isinf(origin)) return;
  // Ticks are whole: rounding takes out what the shift added in the last
  // bits. Half a tick on, the running row time reaches the event exactly on
  // row k, whichever way its sum rounds.
  for (double& t : events->second.times)
    t = (static_cast<double>(std::llround((t - origin) * clock)) + 0.5) / clock;
}

}  // namespace kinovar
