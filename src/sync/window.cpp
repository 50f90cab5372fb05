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

void addEventStream(const StreamMap& input, StreamMap& output, double start, double end) {
  const SampleStream* events = findStream(input, kEventKey);
  if (events == nullptr) return;
  const int64_t m = static_cast<int64_t>(std::min<uint64_t>(events->count, events->times.size()));
  int64_t a = 0;
  while (a < m && !(events->times[a] >= start)) ++a;
  int64_t b = m - 1;
  while (b >= 0 && !(events->times[b] <= end)) --b;
  const int64_t count = b - a + 1;
  if (count <= 0) return;
  SampleStream cut(events->channels, static_cast<uint64_t>(count));
  for (uint64_t c = 0; c < events->channels; ++c)
    std::memcpy(cut.values.data() + c * cut.count, events->values.data() + c * events->count + a,
                cut.count * sizeof(double));
  std::memcpy(cut.times.data(), events->times.data() + a, cut.count * sizeof(double));
  output.emplace(kEventKey, std::move(cut));
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

  std::vector<double> commonStart(keys, 0.0);
  for (const auto& streams : working)
    for (size_t k = 0; k < keys; ++k) {
      const SampleStream& stream = *streams[k].stream;
      if (stream.count > 0 && !stream.times.empty() && stream.times[0] > commonStart[k])
        commonStart[k] = stream.times[0];
    }

  plan.start.assign(working.size(), std::vector<uint64_t>(keys, 0));
  std::vector<float> remaining;
  remaining.reserve(working.size() * 4);
  for (size_t i = 0; i < working.size(); ++i)
    for (size_t k = 0; k < keys; ++k) {
      const WorkingStream& w = working[i][k];
      const uint64_t s = nearestSample(*w.stream, commonStart[k]);
      plan.start[i][k] = s;
      const float left = static_cast<float>(w.stream->count - s);
      remaining.push_back(left / static_cast<float>(w.frequency));
    }
  const float window = *std::min_element(remaining.begin(), remaining.end());

  plan.count.assign(working.size(), std::vector<uint64_t>(keys, 0));
  for (size_t i = 0; i < working.size(); ++i)
    for (size_t k = 0; k < keys; ++k) {
      const uint64_t s = plan.start[i][k];
      plan.count[i][k] = windowSampleCount(working[i][k].frequency, window, working[i][k].stream->count - s);
    }
  plan.keys = keys;
  plan.eventStart = *std::min_element(commonStart.begin(), commonStart.end());
  plan.eventEnd = plan.eventStart + static_cast<double>(window);
  return plan;
}

void applyCommonWindow(const WindowPlan& plan, size_t i, std::vector<WorkingStream>& working, const StreamMap* input,
                       StreamMap* output) {
  if (plan.keys == 0) return;
  for (size_t k = 0; k < plan.keys; ++k) cutStream(*working[k].stream, plan.start[i][k], plan.count[i][k]);
  if (input && output) addEventStream(*input, *output, plan.eventStart, plan.eventEnd);
}

void cutToCommonWindow(std::vector<std::vector<WorkingStream>>& working,
                       const std::vector<StreamMap>& inputs, std::vector<StreamMap>& outputs) {
  const WindowPlan plan = planCommonWindow(working);
  if (plan.keys == 0) return;
  // Only the recordings that have both an input and an output get events.
  for (size_t i = 0; i < working.size(); ++i) {
    const bool both = i < inputs.size() && i < outputs.size();
    applyCommonWindow(plan, i, working[i], both ? &inputs[i] : nullptr, both ? &outputs[i] : nullptr);
  }
}

}  // namespace kinovar
