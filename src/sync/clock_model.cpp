#include "sync/clock_model.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kinovar {

namespace {

// The reference clock's readings are whole milliseconds.
constexpr double kMarkResolution = 1e-3;

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

// A line d = c + m x through pairs [first, end): the median of slopes between
// pairs half the span apart (a few corrupt pairs cannot move it), then least
// squares on the pairs within `keep` of that line. `inlier` marks them.
struct Line {
  double c = 0.0, m = 0.0;
};

Line robustLine(const std::vector<double>& x, const std::vector<double>& d, uint64_t first, uint64_t end,
                double tick, std::vector<char>& inlier) {
  const uint64_t n = end - first, h = std::max<uint64_t>(1, n / 2);
  std::vector<double> slopes;
  for (uint64_t j = first; j + h < end; ++j)
    if (x[j + h] != x[j]) slopes.push_back((d[j + h] - d[j]) / (x[j + h] - x[j]));
  Line line;
  line.m = median(slopes);
  std::vector<double> r;
  for (uint64_t j = first; j < end; ++j) r.push_back(d[j] - line.m * x[j]);
  line.c = median(r);
  for (double& v : r) v = std::fabs(v - line.c);
  // Readings are whole ticks on both clocks: a tick and a half either way is no outlier.
  const double keep = std::max(5 * 1.4826 * median(r), 1.5 * tick);
  double sx = 0, sd = 0, k = 0;
  for (uint64_t j = first; j < end; ++j) {
    inlier[j] = r[j - first] <= keep;
    if (inlier[j]) sx += x[j], sd += d[j], ++k;
  }
  if (k < 2) return line;
  const double mx = sx / k, md = sd / k;
  double sxx = 0, sxd = 0;
  for (uint64_t j = first; j < end; ++j)
    if (inlier[j]) sxx += (x[j] - mx) * (x[j] - mx), sxd += (x[j] - mx) * (d[j] - md);
  if (sxx > 0) line.m = sxd / sxx;
  line.c = md - line.m * mx;
  return line;
}

// Where the pairs' distance from the line steps by more than `jump` and the
// next ones keep the step: the bounds of the pieces, from 0 to the end.
std::vector<uint64_t> stepCuts(const std::vector<double>& off, double jump) {
  constexpr uint64_t kHold = 5;
  const uint64_t n = off.size();
  std::vector<uint64_t> cuts{0};
  double at = off[0];
  for (uint64_t j = 1; j + kHold <= n; ++j) {
    if (std::fabs(off[j] - at) <= jump) {
      at = off[j];
      continue;
    }
    bool holds = true;
    for (uint64_t k = j + 1; k < j + kHold && holds; ++k) holds = std::fabs(off[k] - off[j]) <= jump;
    if (holds) {
      cuts.push_back(j);
      at = off[j];
    }
  }
  cuts.push_back(n);
  return cuts;
}

}  // namespace

ClockModel timeMarksClock(const DeviceSettings& settings) {
  const TimeMarksSettings& m = settings.timeMarks;
  const double clock = settings.frequency;
  ClockModel model;
  model.pairs = 2;
  const double ref1 = m.value4 + m.value5 / 1000.0, ref2 = m.value9 + m.value10 / 1000.0;
  const double own1 = m.value6 / clock;
  // The tick counter wraps at 32 bits, the reference's seconds at one byte:
  // the ticks between the marks say how many turns the seconds made.
  const double ownSpan = static_cast<uint32_t>(static_cast<uint32_t>(m.value11) - static_cast<uint32_t>(m.value6)) / clock;
  const double turns = std::round((ownSpan - (ref2 - ref1)) / 256.0);
  const double refSpan = ref2 - ref1 + 256.0 * turns;
  if (ownSpan > 0 && refSpan > 0) {
    model.rate = refSpan / ownSpan;
    model.rateMeasured = true;
    model.offset = ref1 - model.rate * own1;
    // Each span is the difference of two readings, each whole in its unit
    // (a millisecond of the reference, a tick of the clock): a uniform
    // rounding error of unit^2 / 12 per reading.
    const double variance = 2.0 * (kMarkResolution * kMarkResolution + 1.0 / (clock * clock)) / 12.0;
    model.ppmUncertainty = std::sqrt(variance) / ownSpan * model.rate * 1e6;
  } else {
    // Both marks on one tick: the classic mean of the two.
    model.offset = (ref1 - own1 + ref2 - m.value11 / clock) * 0.5;
  }
  return model;
}

ClockModel radioSettingsClock(const DeviceSettings& slave) {
  ClockModel model;
  const auto ticks = static_cast<int32_t>(static_cast<uint32_t>(slave.radioWordB) - static_cast<uint32_t>(slave.radioWordA));
  model.offset = static_cast<double>(ticks) / slave.frequency;
  model.pairs = 1;
  return model;
}

ClockModel radioStreamClock(const SampleStream& radio, int32_t clock) {
  ClockModel model;
  const uint64_t n = std::min<uint64_t>(radio.count, std::min(radio.times.size(), radio.values.size()));
  if (n == 0 || clock <= 0) return model;
  const double tick = 1.0 / clock, wrap = 4294967296.0 / clock;
  // Master time minus own time moves by the drift only, far less than half a
  // counter turn, so each pair is unwrapped onto a level most pairs share.
  std::vector<double> x(radio.times.begin(), radio.times.begin() + static_cast<std::ptrdiff_t>(n)), d(n);
  for (uint64_t j = 0; j < n; ++j) d[j] = radio.values[j] - x[j];
  const auto near = [&](double v, double level) { return v + wrap * std::round((level - v) / wrap); };
  std::vector<double> head;
  for (uint64_t j = 0; j < std::min<uint64_t>(n, 15); ++j) head.push_back(near(d[j], d[0]));
  const double level = median(head);
  for (double& v : d) v = near(v, level);

  // A reset or jump: a step off the line that the pairs after it keep.
  std::vector<char> inlier(n, 0);
  const Line all = robustLine(x, d, 0, n, tick, inlier);
  std::vector<double> off(n);
  for (uint64_t j = 0; j < n; ++j) off[j] = d[j] - all.c - all.m * x[j];
  const std::vector<uint64_t> cuts = stepCuts(off, 20 * tick);

  double sumSq = 0;
  std::vector<double> slopeErrors;  // per piece: the standard error of its slope
  for (size_t p = 0; p + 1 < cuts.size(); ++p) {
    const uint64_t first = cuts[p], end = cuts[p + 1];
    if (end - first < 3) {
      model.outliers += end - first;
      continue;
    }
    const Line line = robustLine(x, d, first, end, tick, inlier);
    model.pieces.push_back({line.c, 1.0 + line.m, first, end});
    double pieceSq = 0, sx = 0, k = 0;
    for (uint64_t j = first; j < end; ++j) {
      if (!inlier[j]) {
        ++model.outliers;
        continue;
      }
      const double r = (d[j] - line.c - line.m * x[j]) * 1000.0;
      sumSq += r * r, pieceSq += r * r, sx += x[j], ++k;
      model.largestMs = std::max(model.largestMs, std::fabs(r));
      ++model.pairs;
    }
    double sxx = 0;
    for (uint64_t j = first; j < end; ++j)
      if (inlier[j]) sxx += (x[j] - sx / k) * (x[j] - sx / k);
    // The pairs are whole ticks: their scatter is at least a tick's rounding.
    const double scatter = std::max(k > 2 ? std::sqrt(pieceSq / (k - 2)) / 1000.0 : 0.0, tick / std::sqrt(12.0));
    slopeErrors.push_back(sxx > 0 ? scatter / std::sqrt(sxx) : std::numeric_limits<double>::infinity());
  }
  if (model.pieces.empty()) {
    // Too few pairs for a line: the first pair's offset, as the alignment takes it.
    model.offset = radio.values[0] - radio.times[0];
    return model;
  }
  // The model stands for the longest piece; the others are in `pieces`.
  const ClockFit& longest = *std::max_element(model.pieces.begin(), model.pieces.end(),
                                              [](const ClockFit& a, const ClockFit& b) { return a.end - a.first < b.end - b.first; });
  model.offset = longest.offset;
  model.rate = longest.rate;
  model.ppmUncertainty = slopeErrors[static_cast<size_t>(&longest - model.pieces.data())] * 1e6;
  model.rateMeasured = model.pairs >= 2;
  model.rmsMs = model.pairs ? std::sqrt(sumSq / static_cast<double>(model.pairs)) : 0.0;
  return model;
}

}  // namespace kinovar
