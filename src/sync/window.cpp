#include "sync/window.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

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

// Row r of a grid takes the sample nearest to start + r / rate; both
// advance, so one walk over the times finds them all. A clock half a sample
// off the grid would flip between its two samples on the last bits of each
// sum: within a millionth of a period, the earlier one stays.
void gridStream(SampleStream& stream, double start, double rate, uint64_t rows, SyncStreamCount& slips) {
  SampleStream out(stream.channels, rows);
  const uint64_t n = std::min<uint64_t>(stream.count, stream.times.size());
  const double tie = 1e-6 / rate;
  uint64_t j = 0;
  for (uint64_t r = 0; r < rows && n > 0; ++r) {
    const double t = start + static_cast<double>(r) / rate;
    const uint64_t before = j;
    while (j + 1 < n && std::fabs(stream.times[j + 1] - t) < std::fabs(stream.times[j] - t) - tie) ++j;
    if (r > 0) {
      if (j == before) ++slips.repeated;
      else slips.skipped += j - before - 1;
    }
    out.times[r] = t;
    for (uint64_t c = 0; c < stream.channels; ++c) out.values[c * rows + r] = stream.values[c * stream.count + j];
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

WindowPlan planGridWindow(const std::vector<std::vector<WorkingStream>>& working) {
  WindowPlan plan;
  const size_t keys = sharedStreams(working);
  if (keys == 0) return plan;

  plan.gridStart.assign(keys, 0.0);
  plan.gridRate.assign(keys, 0.0);
  double window = std::numeric_limits<double>::infinity();
  for (size_t k = 0; k < keys; ++k) {
    const double latest = latestFirstSample(working, k);
    const WorkingStream& first = working[0][k];
    const double rate = first.frequency;
    if (std::isinf(latest) || timedOf(first) == 0 || !(rate > 0)) {
      window = 0.0;
      continue;
    }
    plan.gridStart[k] = timeOf(first, nearestSample(first, latest));
    plan.gridRate[k] = rate;
    // Rows up to every recording's last sample; a hair of tolerance for the sum's last bits.
    for (const auto& streams : working) {
      const uint64_t n = timedOf(streams[k]);
      const double span = n ? (timeOf(streams[k], n - 1) - plan.gridStart[k]) * rate : -1.0;
      const double rows = span < 0 ? 0.0 : std::floor(span + 1e-6) + 1.0;
      window = std::min(window, rows / rate);
    }
  }
  if (std::isinf(window)) window = 0.0;
  plan.start.assign(working.size(), std::vector<uint64_t>(keys, 0));
  plan.count.assign(working.size(), std::vector<uint64_t>(keys, 0));
  for (size_t k = 0; k < keys; ++k) {
    const auto rows = static_cast<uint64_t>(std::floor(window * plan.gridRate[k] + 1e-6));
    for (size_t i = 0; i < working.size(); ++i) plan.count[i][k] = rows;
    plan.keys.push_back(working[0][k].key);
  }
  plan.eventStart = *std::min_element(plan.gridStart.begin(), plan.gridStart.end());
  plan.eventEnd = plan.reportEnd = plan.eventStart + window;
  return plan;
}

void applyCommonWindow(const WindowPlan& plan, size_t i, StreamMap& streams, std::vector<SyncStreamCount>* slips) {
  if (slips) slips->assign(plan.keys.size(), SyncStreamCount{});
  for (size_t k = 0; k < plan.keys.size(); ++k) {
    SampleStream& stream = streams.at(plan.keys[k]);
    SyncStreamCount local;
    SyncStreamCount& slip = slips ? (*slips)[k] : local;
    slip.key = plan.keys[k];
    if (plan.gridStart.empty())
      cutStream(stream, plan.start[i][k], plan.count[i][k]);
    else
      gridStream(stream, plan.gridStart[k], plan.gridRate[k], plan.count[i][k], slip);
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
