#include "epochs/epochs.h"

#include <algorithm>
#include <cmath>

namespace kinovar {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kInf = std::numeric_limits<double>::infinity();
// A sample whose time lies this close below a boundary is on it: times are
// ticks divided by the clock, and the tables write them to the nanosecond.
constexpr double kOnBoundary = 5e-10;

int64_t slot(double t, double origin, double length) {
  return static_cast<int64_t>(std::floor((t - origin + kOnBoundary) / length));
}

// The times that surely fall in slot `index`: a microsecond inside its
// edges, far more than the rounding of slot() on any recording's clock.
struct SlotSpan {
  int64_t index = std::numeric_limits<int64_t>::min();
  double from = kInf, to = -kInf;
  bool holds(double t) const { return t >= from && t < to; }
  void set(int64_t i, double origin, double length) {
    index = i;
    from = origin + static_cast<double>(i) * length - kOnBoundary + 1e-6;
    to = origin + static_cast<double>(i + 1) * length - kOnBoundary - 1e-6;
  }
};

// atan2(z, h) for h >= 0, within two units in the last place of the
// library's at about half its cost: the argument folded into [-0.42, 0.66]
// (pi/2 - atan(h/z) above tan(3pi/8), pi/4 + atan((z-h)/(z+h)) above 0.66),
// then Moshier's rational approximation (Cephes atan.c).
double elevation(double z, double h) {
  constexpr double kHalfPi = 1.57079632679489661923, kQuarterPi = 0.78539816339744830962;
  constexpr double kHalfPiLow = 6.123233995736765886130e-17;  // pi/2 less its double
  const double a = std::fabs(z);
  const bool steep = a > 2.41421356237309504880 * h, middle = a > 0.66 * h;
  const double u = steep ? -h / a : middle ? (a - h) / (a + h) : h > 0 ? a / h : 0.0;
  const double base = steep ? kHalfPi : middle ? kQuarterPi : 0.0;
  const double low = steep ? kHalfPiLow : middle ? 0.5 * kHalfPiLow : 0.0;
  const double s = u * u;
  const double p = (((-8.750608600031904122785e-1 * s - 1.615753718733365076637e1) * s - 7.500855792314704667340e1) * s -
                    1.228866684490136173410e2) * s - 6.485021904942025371773e1;
  const double q = ((((s + 2.485846490142306297962e1) * s + 1.650270098316988542046e2) * s + 4.328810604912902668951e2) * s +
                    4.853903996359136964868e2) * s + 1.945506571482613964425e2;
  return std::copysign(base + (u * s * p / q + low + u), z);
}

}  // namespace

void prepareAccel(const EpochOptions& options, const AccelCorrection& correct, const double* t, double* x, double* y,
                  double* z, double* clipped, double* norm, double* elevation, size_t n) {
  // Clipping is the sensor's own reading, so it is counted before correction.
  const double limit = options.clipLimit;
  for (size_t i = 0; i < n; ++i)
    clipped[i] = std::fabs(x[i]) >= limit || std::fabs(y[i]) >= limit || std::fabs(z[i]) >= limit ? 1.0 : 0.0;
  if (correct) correct(t, x, y, z, n);
  // Plain square roots: hypot's care for overflow costs a third of the pass,
  // and a few g cannot overflow.
  for (size_t i = 0; i < n; ++i) {
    const double level = x[i] * x[i] + y[i] * y[i];
    norm[i] = std::sqrt(level + z[i] * z[i]);
    elevation[i] = kinovar::elevation(z[i], std::sqrt(level));
  }
}

EpochBuilder::EpochBuilder(const EpochOptions& options, double origin)
    : options_(options), origin_(origin), reached_{-kInf, -kInf, -kInf} {}

int64_t EpochBuilder::epochOf(double t) const { return slot(t, origin_, options_.seconds); }

EpochRow& EpochBuilder::row(int64_t index) {
  if (!anyRow_) {
    anyRow_ = true;
    firstRow_ = index;
  }
  // A stream that starts before the others, while nothing has left yet.
  while (index < firstRow_) {
    EpochRow r;
    r.index = --firstRow_;
    rows_.push_front(r);
  }
  while (firstRow_ + static_cast<int64_t>(rows_.size()) <= index) {
    EpochRow r;
    r.index = firstRow_ + static_cast<int64_t>(rows_.size());
    rows_.push_back(r);
  }
  return rows_[static_cast<size_t>(index - firstRow_)];
}

EpochBuilder::Block& EpochBuilder::block(int64_t index) {
  if (!anyBlock_) {
    anyBlock_ = true;
    firstBlock_ = index;
  }
  while (firstBlock_ + static_cast<int64_t>(blocks_.size()) <= index) blocks_.emplace_back();
  return blocks_[static_cast<size_t>(index - firstBlock_)];
}

void EpochBuilder::accel(const double* t, const double* x, const double* y, const double* z, const double* clipped,
                         const double* norm, const double* elevation, size_t n) {
  if (n == 0) return;
  SlotSpan epoch, minute;  // most samples fall in the epoch and minute of the one before
  Block* k = nullptr;
  for (size_t i = 0; i < n; ++i) {
    if (!epoch.holds(t[i])) {
      const int64_t e = epochOf(t[i]);
      epoch.set(e, origin_, options_.seconds);
      if (e != accelEpoch_) {
        closeAccelEpoch();
        accelEpoch_ = e;
        row(e);
      }
    }
    ex_.push_back(x[i]), ey_.push_back(y[i]), ez_.push_back(z[i]);
    norm_.push_back(norm[i]), elevation_.push_back(elevation[i]);
    clippedNow_ += clipped[i] != 0.0;
    if (!options_.nonwear.on) continue;
    if (!minute.holds(t[i])) {
      const int64_t b = slot(t[i], origin_, 60.0);
      minute.set(b, origin_, 60.0);
      k = &block(b);
      lastBlock_ = std::max(lastBlock_, b);
    }
    const double v[3] = {x[i], y[i], z[i]};
    // Sums about the minute's first sample: exact enough, and no division per sample.
    if (k->n++ == 0)
      for (int a = 0; a < 3; ++a) k->shift[a] = k->low[a] = k->high[a] = v[a];
    for (int a = 0; a < 3; ++a) {
      const double d = v[a] - k->shift[a];
      k->sum[a] += d, k->squares[a] += d * d;
      k->low[a] = std::min(k->low[a], v[a]), k->high[a] = std::max(k->high[a], v[a]);
    }
  }
  reached_[0] = t[n - 1];
  judgeWindows(false);
}

void EpochBuilder::closeAccelEpoch() {
  const size_t n = ex_.size();
  if (n == 0) return;
  EpochRow& r = row(accelEpoch_);
  const double count = static_cast<double>(n);
  // Every sum runs in sample order as before; summing several in one loop
  // only lets them run side by side.
  double sum[3] = {0.0, 0.0, 0.0};
  for (size_t i = 0; i < n; ++i) sum[0] += ex_[i], sum[1] += ey_[i], sum[2] += ez_[i];
  const double mean[3] = {sum[0] / count, sum[1] / count, sum[2] / count};
  double squares[3] = {0.0, 0.0, 0.0}, enmo = 0.0, norms = 0.0, angle = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double dx = ex_[i] - mean[0], dy = ey_[i] - mean[1], dz = ez_[i] - mean[2];
    squares[0] += dx * dx, squares[1] += dy * dy, squares[2] += dz * dz;
    norms += norm_[i];
    enmo += std::max(0.0, norm_[i] - 1.0);
    angle += elevation_[i];
  }
  for (int a = 0; a < 3; ++a) {
    r.mean[a] = mean[a];
    r.sd[a] = n > 1 ? std::sqrt(squares[a] / (count - 1)) : 0.0;
  }
  const double meanNorm = norms / count;
  double deviation = 0.0;
  for (size_t i = 0; i < n; ++i) deviation += std::fabs(norm_[i] - meanNorm);
  r.samples = n;
  r.enmo = enmo / count;
  r.mad = deviation / count;
  r.anglez = angle / count * 180.0 / kPi;
  r.clipped = clippedNow_;
  ex_.clear(), ey_.clear(), ez_.clear(), norm_.clear(), elevation_.clear();
  clippedNow_ = 0;
}

void EpochBuilder::gyro(const double* t, const double* x, const double* y, const double* z, size_t n) {
  SlotSpan epoch;
  EpochRow* r = nullptr;  // rows only come and go between pieces
  for (size_t i = 0; i < n; ++i) {
    if (!epoch.holds(t[i])) {
      const int64_t e = epochOf(t[i]);
      epoch.set(e, origin_, options_.seconds);
      r = &row(e);
    }
    ++r->gyroSamples;
    r->gyro += std::sqrt(x[i] * x[i] + y[i] * y[i] + z[i] * z[i]);  // a sum until the row leaves
  }
  if (n) reached_[1] = t[n - 1];
}

void EpochBuilder::baro(const double* t, const double* pressure, const double* temperature, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    EpochRow& r = row(epochOf(t[i]));
    ++r.baroSamples;
    r.pressure += pressure[i], r.temperature += temperature[i];
  }
  if (n) reached_[2] = t[n - 1];
}

void EpochBuilder::endAccel() {
  closeAccelEpoch();
  accelEpoch_ = std::numeric_limits<int64_t>::max();
  reached_[0] = kInf;
  judgeWindows(true);
}

void EpochBuilder::endGyro() { reached_[1] = kInf; }
void EpochBuilder::endBaro() { reached_[2] = kInf; }

void EpochBuilder::judge(int64_t first, int64_t count) {
  uint64_t n = 0;
  int64_t held = 0;
  double mean[3] = {0, 0, 0}, m2[3] = {0, 0, 0}, low[3] = {kInf, kInf, kInf}, high[3] = {-kInf, -kInf, -kInf};
  for (int64_t b = std::max(first, firstBlock_); b < first + count && b < firstBlock_ + static_cast<int64_t>(blocks_.size()); ++b) {
    const Block& k = blocks_[static_cast<size_t>(b - firstBlock_)];
    if (k.n == 0) continue;
    ++held;
    const double before = static_cast<double>(n), added = static_cast<double>(k.n), total = before + added;
    for (int a = 0; a < 3; ++a) {
      // Chan's combination keeps a long window's variance exact.
      const double blockMean = k.shift[a] + k.sum[a] / added;
      const double blockM2 = std::max(0.0, k.squares[a] - k.sum[a] * k.sum[a] / added);
      const double d = blockMean - mean[a];
      m2[a] += blockM2 + d * d * before * added / total;
      mean[a] += d * added / total;
      low[a] = std::min(low[a], k.low[a]), high[a] = std::max(high[a], k.high[a]);
    }
    n += k.n;
  }
  // A window mostly in a gap says too little to call the sensor off.
  if (n < 2 || 2 * held < options_.nonwear.windowMinutes) return;
  int still = 0;
  for (int a = 0; a < 3; ++a) {
    const double sd = std::sqrt(m2[a] / static_cast<double>(n - 1));
    still += sd < options_.nonwear.sd && high[a] - low[a] < options_.nonwear.range;
  }
  if (still < 2) return;
  for (int64_t b = std::max(first, firstBlock_); b < first + count && b < firstBlock_ + static_cast<int64_t>(blocks_.size()); ++b)
    blocks_[static_cast<size_t>(b - firstBlock_)].nonwear = true;
}

void EpochBuilder::judgeWindows(bool final) {
  if (!options_.nonwear.on) return;
  if (!anyBlock_) {
    tailJudged_ = final;
    return;
  }
  const int64_t step = options_.nonwear.stepMinutes(), width = options_.nonwear.windowMinutes;
  // The minutes before the one the accelerometer has reached are complete.
  const int64_t complete = final ? lastBlock_ + 1 : slot(reached_[0], origin_, 60.0);
  while (nextWindow_ * step + width <= complete) judge(nextWindow_++ * step, width);
  if (final && !tailJudged_) {
    // The recording's last minutes get a window of their own, ending with them.
    tailJudged_ = true;
    const int64_t start = lastBlock_ + 1 - width;
    if (nextWindow_ == 0 || (nextWindow_ - 1) * step != start) judge(start, width);
    nextWindow_ = std::numeric_limits<int64_t>::max() / (2 * step);
  }
}

bool EpochBuilder::settled(const EpochRow& r) const {
  const double end = origin_ + static_cast<double>(r.index + 1) * options_.seconds;
  if (r.index >= accelEpoch_ && reached_[0] != kInf) return false;
  if (reached_[1] < end || reached_[2] < end) return false;
  if (!options_.nonwear.on || tailJudged_) return true;
  // Every window over the minute of its middle has been judged.
  const int64_t middle = slot(origin_ + (static_cast<double>(r.index) + 0.5) * options_.seconds, origin_, 60.0);
  const int64_t step = options_.nonwear.stepMinutes();
  const int64_t lastWindow = middle >= 0 ? middle / step : -((-middle + step - 1) / step);
  return nextWindow_ > lastWindow;
}

bool EpochBuilder::next(EpochRow& out) {
  if (rows_.empty() || !settled(rows_.front())) return false;
  out = rows_.front();
  rows_.pop_front();
  ++firstRow_;
  if (out.gyroSamples) out.gyro /= static_cast<double>(out.gyroSamples);
  if (out.baroSamples) {
    out.pressure /= static_cast<double>(out.baroSamples);
    out.temperature /= static_cast<double>(out.baroSamples);
  }
  if (options_.nonwear.on && out.samples) {
    const int64_t middle = slot(origin_ + (static_cast<double>(out.index) + 0.5) * options_.seconds, origin_, 60.0);
    out.nonwear = middle >= firstBlock_ && middle < firstBlock_ + static_cast<int64_t>(blocks_.size()) &&
                  blocks_[static_cast<size_t>(middle - firstBlock_)].nonwear;
  }
  // Minutes that no row and no window will look at again go.
  if (!anyBlock_) return true;
  int64_t keep = std::min(lastBlock_ + 1 - options_.nonwear.windowMinutes,
                          tailJudged_ ? lastBlock_ + 1 : nextWindow_ * options_.nonwear.stepMinutes());
  if (!rows_.empty())
    keep = std::min(keep, slot(origin_ + static_cast<double>(rows_.front().index) * options_.seconds, origin_, 60.0));
  while (!blocks_.empty() && firstBlock_ < keep) blocks_.pop_front(), ++firstBlock_;
  return true;
}

}  // namespace kinovar
