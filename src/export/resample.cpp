#include "export/resample.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "orientation/orientation.h"

namespace kinovar {

namespace {

constexpr double kPi = 3.14159265358979323846;

// Second-order Butterworth low-pass (bilinear transform), forwards then
// backwards over x. Both ends are first extended by their point reflection
// over a few time constants, so that the filter starts settled on a level or
// a slope instead of ringing at a gap's edge.
void zeroPhaseLowPass(double* x, size_t n, double cutoff, double rate) {
  if (n < 3) return;
  const double k = std::tan(kPi * cutoff / rate);
  const double norm = 1.0 / (1.0 + std::sqrt(2.0) * k + k * k);
  const double b0 = k * k * norm, b1 = 2 * b0, b2 = b0;
  const double a1 = 2 * (k * k - 1) * norm, a2 = (1 - std::sqrt(2.0) * k + k * k) * norm;
  const size_t pad = std::min(n - 1, static_cast<size_t>(std::ceil(3.0 * rate / cutoff)));
  std::vector<double> y(n + 2 * pad);
  for (size_t i = 0; i < pad; ++i) y[i] = 2 * x[0] - x[pad - i];
  std::copy(x, x + n, y.begin() + static_cast<std::ptrdiff_t>(pad));
  for (size_t i = 0; i < pad; ++i) y[pad + n + i] = 2 * x[n - 1] - x[n - 2 - i];
  const auto pass = [&](auto at) {
    double x1 = at(0), x2 = at(0), y1 = at(0), y2 = at(0);
    for (size_t i = 0; i < y.size(); ++i) {
      double& v = at(i);
      const double out = b0 * v + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
      x2 = x1, x1 = v, y2 = y1, y1 = out;
      v = out;
    }
  };
  pass([&](size_t i) -> double& { return y[i]; });
  pass([&](size_t i) -> double& { return y[y.size() - 1 - i]; });
  std::copy(y.begin() + static_cast<std::ptrdiff_t>(pad), y.begin() + static_cast<std::ptrdiff_t>(pad + n), x);
}

void slerp(const double* a, const double* b, double w, double* out) {
  double dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
  double sign = 1.0;
  if (dot < 0) dot = -dot, sign = -1.0;  // the shorter way round
  double wa = 1 - w, wb = w;
  if (dot < 0.9995) {
    const double angle = std::acos(dot), s = std::sin(angle);
    wa = std::sin((1 - w) * angle) / s, wb = std::sin(w * angle) / s;
  }
  double norm = 0;
  for (int c = 0; c < 4; ++c) {
    out[c] = wa * a[c] + sign * wb * b[c];
    norm += out[c] * out[c];
  }
  norm = std::sqrt(norm);
  for (int c = 0; c < 4; ++c) out[c] /= norm;
}

SampleStream resampled(const SampleStream& source, int32_t rate, double hz, double origin, bool quaternion) {
  const uint64_t n = source.count, channels = source.channels;
  if (n < 2 || rate <= 0) return source;
  const double limit = 2.0 / rate * (1 + 1e-9);
  std::vector<double> values(source.values.begin(), source.values.end());
  if (!quaternion && hz < rate) {
    // Gap by gap, so that no filter runs across a gap.
    for (uint64_t from = 0; from < n;) {
      uint64_t to = from + 1;
      while (to < n && source.times[to] - source.times[to - 1] <= limit) ++to;
      for (uint64_t c = 0; c < channels; ++c) zeroPhaseLowPass(values.data() + c * n + from, to - from, 0.4 * hz, rate);
      from = to;
    }
  }
  const double first = source.times.front(), last = source.times[n - 1];
  const int64_t k0 = static_cast<int64_t>(std::ceil((first - origin) * hz - 1e-9));
  const int64_t k1 = static_cast<int64_t>(std::floor((last - origin) * hz + 1e-9));
  std::vector<double> times;
  std::vector<std::vector<double>> columns(channels);
  const size_t points = k1 >= k0 ? static_cast<size_t>(k1 - k0 + 1) : 0;
  times.reserve(points);
  for (auto& column : columns) column.reserve(points);
  uint64_t i = 0;
  for (int64_t k = k0; k <= k1; ++k) {
    const double g = origin + static_cast<double>(k) / hz;
    while (i + 2 < n && source.times[i + 1] <= g) ++i;
    const double t0 = source.times[i], t1 = source.times[i + 1];
    if (g < t0 - 1e-12 || g > t1 + 1e-12) continue;  // outside the samples
    const bool onSample = std::fabs(g - t0) <= 1e-12;    // also the last sample before a gap
    if (t1 - t0 > limit && !onSample) continue;           // inside a gap
    const double w = onSample ? 0.0 : std::clamp((g - t0) / (t1 - t0), 0.0, 1.0);
    double v[4];
    if (quaternion) {
      double a[4], b[4];
      for (uint64_t c = 0; c < 4; ++c) a[c] = values[c * n + i], b[c] = values[c * n + i + 1];
      if (noEstimate(a[0], a[1], a[2], a[3]) || noEstimate(b[0], b[1], b[2], b[3]) || a[0] != a[0] || b[0] != b[0])
        continue;
      slerp(a, b, w, v);
    } else {
      for (uint64_t c = 0; c < channels; ++c) v[c] = values[c * n + i] + w * (values[c * n + i + 1] - values[c * n + i]);
    }
    times.push_back(g);
    for (uint64_t c = 0; c < channels; ++c) columns[c].push_back(v[c]);
  }
  SampleStream stream(channels, times.size());
  std::copy(times.begin(), times.end(), stream.times.begin());
  for (uint64_t c = 0; c < channels; ++c)
    std::copy(columns[c].begin(), columns[c].end(), stream.values.begin() + static_cast<std::ptrdiff_t>(c * stream.count));
  return stream;
}

}  // namespace

void resampleStreams(const DeviceSettings& settings, StreamMap& streams, double hz, double origin) {
  if (!(hz > 0)) return;
  const struct {
    uint32_t key;
    int32_t rate;
  } sources[] = {{kAccelKey, settings.accel.frequency},
                 {kGyroKey, settings.gyro.frequency},
                 {kBaroKey, settings.baro.frequency},
                 {kQuaternionKey, settings.gyro.frequency}};
  for (const auto& source : sources) {
    const auto found = streams.find(source.key);
    if (found == streams.end()) continue;
    found->second = resampled(found->second, source.rate, hz, origin, source.key == kQuaternionKey);
  }
}

}  // namespace kinovar
