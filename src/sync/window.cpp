#include "sync/window.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace kinovar {

namespace {

// The first sample nearest to `target`; ties keep the earlier one.
uint64_t nearestSample(const SampleStream& stream, double target) {
  uint64_t best = 0;
  double bestDistance = std::numeric_limits<double>::max();
  const uint64_t n = std::min<uint64_t>(stream.count, stream.times.size());
  for (uint64_t i = 0; i < n; ++i) {
    const double distance = std::fabs(stream.times[i] - target);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = i;
    }
  }
  return best;
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
// sample of the streams that define the rows to the last, in place; none
// left removes the stream. The events were shifted by the same sums as the
// samples, so an event on a sample's tick compares equal to it.
void cutEventStream(StreamMap& streams, const std::vector<uint32_t>& keys, double start, double end) {
  const auto found = streams.find(kEventKey);
  if (found == streams.end()) return;
  double first = std::numeric_limits<double>::infinity(), last = -first;
  for (const uint32_t key : keys) {
    const SampleStream& kept = streams.at(key);
    if (kept.count == 0 || !definesRows(streams, key)) continue;
    first = std::min(first, kept.times.front());
    last = std::max(last, kept.times[kept.count - 1]);
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
  if (working.empty()) return plan;
  size_t keys = working[0].size();
  for (const auto& streams : working) keys = std::min(keys, streams.size());
  if (keys == 0) return plan;

  // The latest first sample, whatever its sign: a set that lies wholly
  // before time 0 (a master clock past 2^31 ticks) still has its overlap.
  std::vector<double> commonStart(keys, -std::numeric_limits<double>::infinity());
  for (const auto& streams : working)
    for (size_t k = 0; k < keys; ++k) {
      const SampleStream& stream = *streams[k].stream;
      if (stream.count > 0 && !stream.times.empty() && stream.times[0] > commonStart[k])
        commonStart[k] = stream.times[0];
    }
  for (double& start : commonStart)
    if (std::isinf(start)) start = 0.0;

  plan.start.assign(working.size(), std::vector<uint64_t>(keys, 0));
  std::vector<float> remaining;
  std::vector<double> exact;  // the same in double precision, for the report
  remaining.reserve(working.size() * 4);
  for (size_t i = 0; i < working.size(); ++i)
    for (size_t k = 0; k < keys; ++k) {
      const WorkingStream& w = working[i][k];
      const uint64_t s = nearestSample(*w.stream, commonStart[k]);
      plan.start[i][k] = s;
      const float left = static_cast<float>(w.stream->count - s);
      remaining.push_back(left / static_cast<float>(w.frequency));
      exact.push_back(static_cast<double>(w.stream->count - s) / static_cast<double>(w.frequency));
    }
  const auto shortest = std::min_element(remaining.begin(), remaining.end());
  const float window = *shortest;

  plan.count.assign(working.size(), std::vector<uint64_t>(keys, 0));
  for (size_t i = 0; i < working.size(); ++i)
    for (size_t k = 0; k < keys; ++k) {
      const uint64_t s = plan.start[i][k];
      plan.count[i][k] = windowSampleCount(working[i][k].frequency, window, working[i][k].stream->count - s);
    }
  for (size_t k = 0; k < keys; ++k) plan.keys.push_back(working[0][k].key);
  plan.eventStart = *std::min_element(commonStart.begin(), commonStart.end());
  plan.eventEnd = plan.eventStart + static_cast<double>(window);
  plan.reportEnd = plan.eventStart + exact[static_cast<size_t>(shortest - remaining.begin())];
  return plan;
}

WindowPlan planGridWindow(const std::vector<std::vector<WorkingStream>>& working) {
  WindowPlan plan;
  if (working.empty()) return plan;
  size_t keys = working[0].size();
  for (const auto& streams : working) keys = std::min(keys, streams.size());
  if (keys == 0) return plan;

  plan.gridStart.assign(keys, 0.0);
  plan.gridRate.assign(keys, 0.0);
  double window = std::numeric_limits<double>::infinity();
  for (size_t k = 0; k < keys; ++k) {
    double latest = -std::numeric_limits<double>::infinity();
    for (const auto& streams : working) {
      const SampleStream& stream = *streams[k].stream;
      if (stream.count > 0 && !stream.times.empty()) latest = std::max(latest, stream.times[0]);
    }
    const SampleStream& first = *working[0][k].stream;
    const double rate = working[0][k].frequency;
    if (std::isinf(latest) || first.times.empty() || !(rate > 0)) {
      window = 0.0;
      continue;
    }
    plan.gridStart[k] = first.times[nearestSample(first, latest)];
    plan.gridRate[k] = rate;
    // Rows up to every recording's last sample; a hair of tolerance for the sum's last bits.
    for (const auto& streams : working) {
      const SampleStream& stream = *streams[k].stream;
      const uint64_t n = std::min<uint64_t>(stream.count, stream.times.size());
      const double span = n ? (stream.times[n - 1] - plan.gridStart[k]) * rate : -1.0;
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
  if (plan.keys.empty())
    streams.erase(kEventKey);
  else
    cutEventStream(streams, plan.keys, plan.eventStart, plan.eventEnd);
}

void eventsOnRowClock(StreamMap& synced, int32_t clock) {
  const auto events = synced.find(kEventKey);
  if (events == synced.end() || clock <= 0) return;
  double origin = std::numeric_limits<double>::infinity();
  for (const auto& [key, stream] : synced)
    if (definesRows(synced, key) && stream.count > 0 && !stream.times.empty()) origin = std::min(origin, stream.times[0]);
  if (std::isinf(origin)) return;
  // Ticks are whole: rounding takes out what the shift added in the last
  // bits. Half a tick on, the running row time reaches the event exactly on
  // row k, whichever way its sum rounds.
  for (double& t : events->second.times)
    t = (static_cast<double>(std::llround((t - origin) * clock)) + 0.5) / clock;
}

}  // namespace kinovar
