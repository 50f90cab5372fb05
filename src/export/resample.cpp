#include "export/resample.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/paths.h"
#include "model/streams.h"

#include "orientation/orientation.h"

namespace kinovar {

namespace {

constexpr double kPi = 3.14159265358979323846;

// Second-order Butterworth low-pass (bilinear transform), a sample at a time.
struct Biquad {
  static Biquad lowPass(double cutoff, double rate) {
    const double k = std::tan(kPi * cutoff / rate);
    const double norm = 1.0 / (1.0 + std::sqrt(2.0) * k + k * k);
    Biquad f;
    f.b0 = k * k * norm, f.b1 = 2 * f.b0, f.b2 = f.b0;
    f.a1 = 2 * (k * k - 1) * norm, f.a2 = (1 - std::sqrt(2.0) * k + k * k) * norm;
    return f;
  }
  double b0 = 0, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  void start(double v) { x1 = x2 = y1 = y2 = v; }
  double step(double v) {
    const double out = b0 * v + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1, x1 = v, y2 = y1, y1 = out;
    return out;
  }
};

// How far each end of a stretch is extended for the filter to settle: a few
// time constants.
uint64_t settlingSamples(double cutoff, double rate) { return static_cast<uint64_t>(std::ceil(3.0 * rate / cutoff)); }

// More than two of a stream's periods between neighbouring samples is a gap.
double gapLimit(double rate) { return 2.0 / rate * (1 + 1e-9); }

// The low-pass forwards then backwards over x. Both ends are first extended
// by their point reflection, so that the filter starts settled on a level or
// a slope instead of ringing at a gap's edge.
void zeroPhaseLowPass(double* x, size_t n, double cutoff, double rate) {
  if (n < 3) return;
  const Biquad design = Biquad::lowPass(cutoff, rate);
  const size_t pad = std::min(n - 1, static_cast<size_t>(settlingSamples(cutoff, rate)));
  std::vector<double> y(n + 2 * pad);
  for (size_t i = 0; i < pad; ++i) y[i] = 2 * x[0] - x[pad - i];
  std::copy(x, x + n, y.begin() + static_cast<std::ptrdiff_t>(pad));
  for (size_t i = 0; i < pad; ++i) y[pad + n + i] = 2 * x[n - 1] - x[n - 2 - i];
  const auto pass = [&](auto at) {
    Biquad filter = design;
    filter.start(at(0));
    for (size_t i = 0; i < y.size(); ++i) at(i) = filter.step(at(i));
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

// The grid points k, at origin + k / hz, from `first` to `last`.
struct GridSpan {
  int64_t from, to;
};
GridSpan gridSpan(double first, double last, double origin, double hz) {
  return {static_cast<int64_t>(std::ceil((first - origin) * hz - 1e-9)),
          static_cast<int64_t>(std::floor((last - origin) * hz + 1e-9))};
}

// Grid point g between its neighbouring samples, a at t0 and b at t1, into
// v: linearly interpolated, quaternions by slerp. False where it takes no
// point: outside the two, inside a gap (unless on a), or a quaternion with
// no estimate at either end.
bool pointBetween(double g, double t0, double t1, double limit, const double* a, const double* b, uint64_t channels,
                  bool quaternion, double* v) {
  if (g < t0 - 1e-12 || g > t1 + 1e-12) return false;  // outside the samples
  const bool onSample = std::fabs(g - t0) <= 1e-12;    // also the last sample before a gap
  if (t1 - t0 > limit && !onSample) return false;      // inside a gap
  const double w = onSample ? 0.0 : std::clamp((g - t0) / (t1 - t0), 0.0, 1.0);
  if (quaternion) {
    if (noEstimate(a[0], a[1], a[2], a[3]) || noEstimate(b[0], b[1], b[2], b[3]) || a[0] != a[0] || b[0] != b[0])
      return false;
    slerp(a, b, w, v);
  } else {
    for (uint64_t c = 0; c < channels; ++c) v[c] = a[c] + w * (b[c] - a[c]);
  }
  return true;
}

SampleStream resampled(const SampleStream& source, int32_t rate, double hz, double origin, bool quaternion) {
  const uint64_t n = source.count, channels = source.channels;
  if (n < 2 || rate <= 0) return source;
  const double limit = gapLimit(rate);
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
  const GridSpan span = gridSpan(source.times.front(), source.times[n - 1], origin, hz);
  std::vector<double> times;
  std::vector<std::vector<double>> columns(channels);
  const size_t points = span.to >= span.from ? static_cast<size_t>(span.to - span.from + 1) : 0;
  times.reserve(points);
  for (auto& column : columns) column.reserve(points);
  uint64_t i = 0;
  for (int64_t k = span.from; k <= span.to; ++k) {
    const double g = origin + static_cast<double>(k) / hz;
    while (i + 2 < n && source.times[i + 1] <= g) ++i;
    double a[4], b[4], v[4];
    for (uint64_t c = 0; c < channels; ++c) a[c] = values[c * n + i], b[c] = values[c * n + i + 1];
    if (!pointBetween(g, source.times[i], source.times[i + 1], limit, a, b, channels, quaternion, v)) continue;
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

std::array<ResampledSource, 4> resampledSources(const DeviceSettings& settings) {
  return {{{kAccelKey, rateOf(settings, kAccelKey)},
           {kGyroKey, rateOf(settings, kGyroKey)},
           {kBaroKey, rateOf(settings, kBaroKey)},
           {kQuaternionKey, rateOf(settings, kQuaternionKey)}}};
}

void resampleStreams(const DeviceSettings& settings, StreamMap& streams, double hz, double origin) {
  if (!(hz > 0)) return;
  for (const ResampledSource& source : resampledSources(settings)) {
    const auto found = streams.find(source.key);
    if (found == streams.end()) continue;
    found->second = resampled(found->second, source.rate, hz, origin, source.key == kQuaternionKey);
  }
}

}  // namespace kinovar

namespace kinovar {

namespace {

// Doubles kept beside the process while a stream is filtered: an unnamed
// temporary file, or memory where there is none.
class DoubleStore {
 public:
  DoubleStore() : file_(std::tmpfile()) {}
  void write(uint64_t at, const double* values, size_t n) {
    if (!file_) {
      if (memory_.size() < at + n) memory_.resize(at + n);
      std::copy_n(values, n, memory_.begin() + static_cast<std::ptrdiff_t>(at));
      return;
    }
    if (!seek(at) || std::fwrite(values, sizeof(double), n, file_.get()) != n)
      throw std::runtime_error(std::string("could not write the temporary file of a resampled stream (") +
                               std::strerror(errno) + "): free space in the system's temporary folder and try again");
  }
  void read(uint64_t at, double* values, size_t n) {
    if (!file_) {
      std::copy_n(memory_.begin() + static_cast<std::ptrdiff_t>(at), n, values);
      return;
    }
    if (!seek(at) || std::fread(values, sizeof(double), n, file_.get()) != n)
      throw std::runtime_error(std::string("could not read back the temporary file of a resampled stream (") +
                               std::strerror(errno) + ")");
  }

 private:
  bool seek(uint64_t at) {
#ifdef _WIN32
    return _fseeki64(file_.get(), static_cast<int64_t>(at * sizeof(double)), SEEK_SET) == 0;
#else
    return fseeko(file_.get(), static_cast<off_t>(at * sizeof(double)), SEEK_SET) == 0;
#endif
  }
  FilePtr file_;
  std::vector<double> memory_;
};

// The second-order Butterworth of zeroPhaseLowPass over one channel, one pass.
// zeroPhaseLowPass over every gap-free stretch of a stream of any length,
// the same numbers: the forward pass goes to a temporary file as the
// samples come, the backward pass runs over it from the stretch's end.
class LowPassed {
 public:
  LowPassed(StreamCursor& input, uint64_t channels, double cutoff, double rate, uint64_t piece)
      : channels_(channels),
        cutoff_(cutoff),
        rate_(rate),
        filter_(Biquad::lowPass(cutoff, rate)),
        longest_(settlingSamples(cutoff, rate)) {
    const double limit = gapLimit(rate);
    SampleStream read;
    bool any = false;
    double previous = 0;
    while (input.read(read, piece) > 0) {
      for (uint64_t i = 0; i < read.count; ++i) {
        if (any && !(read.times[i] - previous <= limit)) endStretch();
        any = true;
        previous = read.times[i];
        double v[4];
        for (uint64_t c = 0; c < channels_; ++c) v[c] = read.value(c, i);
        add(v);
      }
    }
    endStretch();
  }
  // Samples first .. first + n - 1, filtered, their channels side by side.
  void read(uint64_t first, uint64_t n, double* out) {
    if (n) store_.read(first * channels_, out, n * channels_);
  }

 private:
  // A stretch stays in memory until it is longer than the longest padding
  // (the padding is min(n - 1, longest) for a stretch of n).
  void add(const double* v) {
    if (!streaming_) {
      head_.insert(head_.end(), v, v + channels_);
      if (head_.size() / channels_ > longest_) startStreaming();
      return;
    }
    forward(v);
  }
  void startStreaming() {
    streaming_ = true;
    const uint64_t pad = longest_;
    filters_.assign(channels_, filter_);
    const auto x = [&](uint64_t i, uint64_t c) { return head_[i * channels_ + c]; };
    // The point reflection before the stretch: forward only, its outputs unused.
    for (uint64_t c = 0; c < channels_; ++c) filters_[c].start(2 * x(0, c) - x(pad, c));
    for (uint64_t i = 0; i < pad; ++i)
      for (uint64_t c = 0; c < channels_; ++c) filters_[c].step(2 * x(0, c) - x(pad - i, c));
    std::vector<double> held = std::move(head_);
    head_.clear();
    for (size_t i = 0; i < held.size(); i += channels_) forward(held.data() + i);
  }
  void forward(const double* v) {
    for (uint64_t c = 0; c < channels_; ++c) pending_.push_back(filters_[c].step(v[c]));
    tail_.insert(tail_.end(), v, v + channels_);
    if (tail_.size() > 2 * (longest_ + 1) * channels_)
      tail_.erase(tail_.begin(), tail_.end() - static_cast<std::ptrdiff_t>((longest_ + 1) * channels_));
    if (pending_.size() >= (1 << 16)) flush();
    ++length_;
  }
  void flush() {
    store_.write(written_, pending_.data(), pending_.size());
    written_ += pending_.size();
    pending_.clear();
  }
  void endStretch() {
    if (!streaming_) {  // a short stretch: in memory, as over the whole stream
      const uint64_t n = head_.size() / channels_;
      std::vector<double> x(n);
      for (uint64_t c = 0; c < channels_; ++c) {
        for (uint64_t i = 0; i < n; ++i) x[i] = head_[i * channels_ + c];
        zeroPhaseLowPass(x.data(), n, cutoff_, rate_);
        for (uint64_t i = 0; i < n; ++i) head_[i * channels_ + c] = x[i];
      }
      store_.write(written_, head_.data(), head_.size());
      written_ += head_.size();
      head_.clear();
      return;
    }
    flush();
    const uint64_t pad = longest_, n = length_;
    const uint64_t start = written_ - n * channels_;
    // The point reflection after the stretch, forward; then the backward
    // pass from its end, over the stretch in blocks from the file.
    const auto x = [&](uint64_t fromEnd, uint64_t c) { return tail_[tail_.size() - (fromEnd + 1) * channels_ + c]; };
    std::vector<double> trail(pad * channels_);
    for (uint64_t i = 0; i < pad; ++i)
      for (uint64_t c = 0; c < channels_; ++c) trail[i * channels_ + c] = filters_[c].step(2 * x(0, c) - x(1 + i, c));
    std::vector<Biquad> back(channels_, filter_);
    for (uint64_t c = 0; c < channels_; ++c) back[c].start(trail[(pad - 1) * channels_ + c]);
    for (uint64_t i = pad; i-- > 0;)
      for (uint64_t c = 0; c < channels_; ++c) back[c].step(trail[i * channels_ + c]);
    std::vector<double> block;
    for (uint64_t end = n; end > 0;) {
      const uint64_t from = end > 4096 ? end - 4096 : 0;
      block.resize((end - from) * channels_);
      store_.read(start + from * channels_, block.data(), block.size());
      for (uint64_t i = end - from; i-- > 0;)
        for (uint64_t c = 0; c < channels_; ++c) block[i * channels_ + c] = back[c].step(block[i * channels_ + c]);
      store_.write(start + from * channels_, block.data(), block.size());
      end = from;
    }
    streaming_ = false;
    length_ = 0;
    tail_.clear();
  }

  uint64_t channels_;
  double cutoff_, rate_;
  Biquad filter_;
  std::vector<Biquad> filters_;
  uint64_t longest_ = 0;
  bool streaming_ = false;
  std::vector<double> head_, tail_, pending_;
  uint64_t length_ = 0, written_ = 0;
  DoubleStore store_;
};

// The grid points of `resampled` as the stream is read.
class ResampledCursor : public StreamCursor {
 public:
  ResampledCursor(const std::function<std::unique_ptr<StreamCursor>()>& open, const ResampledStream& stream)
      : input_(open()), s_(stream), limit_(gapLimit(stream.rate)) {
    if (!s_.quaternion && s_.hz < s_.rate) {
      const std::unique_ptr<StreamCursor> values = open();
      lowPassed_ = std::make_unique<LowPassed>(*values, s_.channels, 0.4 * s_.hz, s_.rate, s_.piece);
    }
    const GridSpan span = gridSpan(s_.first, s_.last, s_.origin, s_.hz);
    k_ = span.from, last_ = span.to;
  }

  uint64_t read(SampleStream& out, uint64_t max) override {
    const uint64_t channels = s_.channels, n = s_.count;
    std::vector<double> times;
    std::vector<double> values;  // side by side
    while (times.size() < max && k_ <= last_) {
      const int64_t k = k_++;
      const double g = s_.origin + static_cast<double>(k) / s_.hz;
      while (i_ + 2 < n && time(i_ + 1) <= g) ++i_;
      const double t0 = time(i_), t1 = time(i_ + 1);
      const double* a = at(i_);
      const double* b = at(i_ + 1);
      double v[4];
      if (!pointBetween(g, t0, t1, limit_, a, b, channels, s_.quaternion, v)) continue;
      times.push_back(g);
      values.insert(values.end(), v, v + channels);
    }
    const uint64_t m = times.size();
    out.channels = channels;
    out.count = m;
    out.times = std::move(times);
    out.values.resize(channels * m);
    for (uint64_t i = 0; i < m; ++i)
      for (uint64_t c = 0; c < channels; ++c) out.values[c * m + i] = values[i * channels + c];
    return m;
  }

 private:
  // Sample i of the input, read on as far as it.
  void reach(uint64_t i) {
    while (i >= base_ + times_.size()) {
      if (base_ + times_.size() > 0 && i_ > base_ + 4096) {  // the samples behind are done with
        const uint64_t drop = i_ - base_;
        times_.erase(times_.begin(), times_.begin() + static_cast<std::ptrdiff_t>(drop));
        values_.erase(values_.begin(), values_.begin() + static_cast<std::ptrdiff_t>(drop * s_.channels));
        base_ += drop;
      }
      const uint64_t from = base_ + times_.size();
      const uint64_t m = input_->read(piece_, s_.piece);
      if (m == 0) throw std::runtime_error("a stream ended before its samples were counted");
      times_.insert(times_.end(), piece_.times.begin(), piece_.times.end());
      const size_t at = values_.size();
      values_.resize(at + m * s_.channels);
      if (lowPassed_) {
        lowPassed_->read(from, m, values_.data() + at);
      } else {
        for (uint64_t j = 0; j < m; ++j)
          for (uint64_t c = 0; c < s_.channels; ++c) values_[at + j * s_.channels + c] = piece_.value(c, j);
      }
    }
  }
  double time(uint64_t i) {
    reach(i);
    return times_[i - base_];
  }
  const double* at(uint64_t i) {
    reach(i);
    return values_.data() + (i - base_) * s_.channels;
  }

  std::unique_ptr<StreamCursor> input_;
  ResampledStream s_;
  double limit_;
  std::unique_ptr<LowPassed> lowPassed_;
  int64_t k_ = 0, last_ = -1;
  uint64_t i_ = 0, base_ = 0;
  std::vector<double> times_, values_;
  SampleStream piece_;
};

// A cursor whose first piece was read already.
class PeekedCursor : public StreamCursor {
 public:
  PeekedCursor(SampleStream first, std::unique_ptr<StreamCursor> rest)
      : first_(std::move(first)), head_(memoryCursor(first_)), rest_(std::move(rest)) {}
  uint64_t read(SampleStream& out, uint64_t max) override {
    const uint64_t n = head_->read(out, max);
    return n || !max ? n : rest_->read(out, max);
  }

 private:
  SampleStream first_;
  std::unique_ptr<StreamCursor> head_, rest_;
};

}  // namespace

std::unique_ptr<StreamCursor> resampledCursor(const std::function<std::unique_ptr<StreamCursor>()>& open,
                                              const ResampledStream& stream) {
  if (stream.count < 2 || stream.rate <= 0) return open();  // as it was taken
  return std::make_unique<ResampledCursor>(open, stream);
}

uint64_t ResampledTable::add(uint32_t key, const ResampledStream& stream) {
  streams_[key] = stream;
  std::unique_ptr<StreamCursor> cursor = resampledCursor([this, key] { return open_(key); }, stream);
  SampleStream first;
  if (cursor->read(first, stream.piece) == 0) return 0;
  const uint64_t points = std::max<uint64_t>(first.count, static_cast<uint64_t>((stream.last - stream.first) * stream.hz));
  peeked_[key] = std::make_unique<PeekedCursor>(std::move(first), std::move(cursor));
  return points;
}

std::unique_ptr<StreamCursor> ResampledTable::cursor(uint32_t key) {
  if (auto peeked = peeked_.find(key); peeked != peeked_.end() && peeked->second) return std::move(peeked->second);
  if (auto stream = streams_.find(key); stream != streams_.end())
    return resampledCursor([this, key] { return open_(key); }, stream->second);
  return open_(key);
}

}  // namespace kinovar
