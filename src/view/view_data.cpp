#include "view/view_data.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <tuple>
#include <utility>

#include "io/json_writer.h"
#include "model/streams.h"
#include "orientation/orientation.h"

namespace kinovar {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr uint16_t kTop = 65535;

struct Plot {
  const char* id;
  const char* title;
  std::vector<const char*> channels;
  std::vector<const char*> units;  // per channel
  bool euler = false;  // roll, pitch and yaw of a quaternion stream
  uint32_t key = 0;
  uint64_t count = 0;
  double first = 0, last = 0;
  double binSeconds = 0;
  uint64_t bins = 0;
  std::vector<std::vector<double>> lows{}, highs{};  // per channel, per finest bin
};

// Roll, pitch and yaw (Z-Y-X, degrees) of sample i of a W, X, Y, Z stream;
// none (NaN) for a row of zeros, which means "no estimate", not level.
double eulerDegrees(const SampleStream& q, uint64_t channel, uint64_t i) {
  const double w = q.value(0, i), x = q.value(1, i), y = q.value(2, i), z = q.value(3, i);
  if (noEstimate(w, x, y, z)) return std::numeric_limits<double>::quiet_NaN();
  double angle;
  if (channel == 0) angle = std::atan2(2 * (w * x + y * z), 1 - 2 * (x * x + y * y));
  else if (channel == 1) angle = std::asin(std::clamp(2 * (w * y - z * x), -1.0, 1.0));
  else angle = std::atan2(2 * (w * z + x * y), 1 - 2 * (y * y + z * z));
  return angle * 180 / kPi;
}

// Roll and yaw wrap at ±180°: a bin's extremes are then the shortest arc
// that holds its samples, from low in [-180, 180) up to high (to 540 when
// the arc crosses +180, [-180, 180] for a full turn), so that a bin where
// the angle crosses ±180° keeps the few degrees it covers instead of the
// whole circle.
bool wraps(const Plot& p, uint64_t channel) { return p.euler && channel != 1; }

// The shortest arc holding arcs [la, ha] and [lb, hb] (both as above),
// into the first. One starts where the other ends, seen from one side or
// the other: b shifted a turn down, not, or up, whichever spans least.
void joinArcs(double& la, double& ha, double lb, double hb) {
  if (lb > hb) return;  // b empty
  double low = lb, high = hb;
  if (la <= ha) {
    high = std::numeric_limits<double>::infinity();
    for (const double shift : {-360.0, 0.0, 360.0}) {
      const double l = std::min(la, lb + shift), h = std::max(ha, hb + shift);
      if (h - l < high - low) low = l, high = h;
    }
  }
  if (high - low >= 360) low = -180, high = 180;
  else if (low < -180) low += 360, high += 360;
  else if (low >= 180) low -= 360, high -= 360;
  la = low, ha = high;
}

// Bins of every level down to a few hundred.
std::vector<uint64_t> levelSizes(uint64_t bins) {
  std::vector<uint64_t> sizes{bins};
  while (sizes.back() > 256) sizes.push_back((sizes.back() + 1) / 2);
  return sizes;
}

uint64_t pyramidBytes(uint64_t bins, size_t channels) {
  uint64_t total = 0;
  for (uint64_t n : levelSizes(bins)) total += n;
  return total * channels * 4;
}

std::vector<Plot> plotsOf(const ViewSource& source) {
  std::vector<Plot> plots;
  auto add = [&](uint32_t key, Plot plot) {
    const SampleStream* stream = findStream(*source.shapes, key);
    if (!stream || stream->count == 0) return;
    plot.key = key;
    plot.count = stream->count;
    std::tie(plot.first, plot.last) = source.span(key);
    plots.push_back(std::move(plot));
  };
  const auto units = [](uint32_t key, size_t n) {
    std::vector<const char*> list;
    for (size_t c = 0; c < n; ++c) list.push_back(unitOf(key, c));
    return list;
  };
  add(kAccelKey, {streamName(kAccelKey), "Accelerometer", {"X", "Y", "Z"}, units(kAccelKey, 3)});
  add(kGyroKey, {streamName(kGyroKey), "Gyroscope", {"X", "Y", "Z"}, units(kGyroKey, 3)});
  add(kBaroKey, {streamName(kBaroKey), "Pressure and temperature", {"Pressure", "Temperature"}, units(kBaroKey, 2)});
  // The page shows the orientation as angles, and as the quaternion it is.
  add(kQuaternionKey, {streamName(kQuaternionKey), "Orientation", {"Roll", "Pitch", "Yaw"}, {"deg", "deg", "deg"}, true});
  add(kQuaternionKey, {"quaternion", "Orientation (quaternion)", {"W", "X", "Y", "Z"}, units(kQuaternionKey, 4)});
  return plots;
}

// The finest bin: the smallest power of two of seconds whose pyramids fit
// the budget. A stream sampled more slowly gets bins no finer than its
// sampling period, so that its bins are not mostly empty.
void chooseBins(std::vector<Plot>& plots, double span, uint64_t budgetBytes) {
  for (int k = -14;; ++k) {
    const double bin = std::ldexp(1.0, k);
    uint64_t bytes = 0;
    for (Plot& p : plots) {
      const double period = p.count > 1 ? span / static_cast<double>(p.count - 1) : span;
      p.binSeconds = bin;
      while (p.binSeconds < period && p.binSeconds < span) p.binSeconds *= 2;
      p.bins = static_cast<uint64_t>(span / p.binSeconds) + 1;
      bytes += pyramidBytes(p.bins, p.channels.size());
    }
    if (bytes <= budgetBytes || k > 40) break;
  }
}

// Extremes of every finest bin, all channels, a piece of samples at a time.
void startExtremes(Plot& p) {
  const size_t channels = p.channels.size();
  p.lows.assign(channels, std::vector<double>(p.bins, std::numeric_limits<double>::infinity()));
  p.highs.assign(channels, std::vector<double>(p.bins, -std::numeric_limits<double>::infinity()));
}

void addExtremes(Plot& p, const SampleStream& piece, double start) {
  const uint64_t n = piece.count, channels = p.channels.size();
  const double perSecond = 1.0 / p.binSeconds;
  for (uint64_t i = 0; i < n; ++i) {
    // A hand-edited CSV may hold a time before the first row's: its sample
    // goes to the first bin (a negative one has no integer to convert to).
    const double at = (piece.times[i] - start) * perSecond;
    const uint64_t b = at < 0 ? 0 : at < static_cast<double>(p.bins - 1) ? static_cast<uint64_t>(at) : p.bins - 1;
    double v[4];
    if (p.euler) {
      for (uint64_t c = 0; c < channels; ++c) v[c] = eulerDegrees(piece, c, i);
    } else {
      for (uint64_t c = 0; c < channels; ++c) v[c] = piece.value(c, i);
      // A quaternion without an estimate is no value, as its angles are.
      if (channels == 4 && noEstimate(v[0], v[1], v[2], v[3])) continue;
    }
    for (uint64_t c = 0; c < channels; ++c) {
      if (std::isnan(v[c])) continue;
      if (wraps(p, c)) {
        joinArcs(p.lows[c][b], p.highs[c][b], v[c], v[c]);
        continue;
      }
      p.lows[c][b] = std::min(p.lows[c][b], v[c]);
      p.highs[c][b] = std::max(p.highs[c][b], v[c]);
    }
  }
}

// One channel: its range in the header, and every level of its pyramid as
// 16-bit codes in the data.
void appendChannel(JsonSink& header, std::vector<uint8_t>& data, const char* name, const char* unit, bool wrap,
                   const std::vector<uint64_t>& sizes, std::vector<double>& low, std::vector<double>& high) {
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (uint64_t b = 0; b < sizes[0]; ++b)
    if (low[b] <= high[b]) lo = std::min(lo, low[b]), hi = std::max(hi, high[b]);
  if (!(lo <= hi)) lo = hi = 0;
  // Minima round down and maxima up, so the drawn band always holds the
  // samples; the extremes of the recording code exactly 0 and 65535.
  const double scale = hi > lo ? kTop / (hi - lo) : 0;
  auto code = [&](double v, bool up) -> uint16_t {
    const double x = (v - lo) * scale;
    return static_cast<uint16_t>(std::clamp(up ? std::ceil(x) : std::floor(x), 0.0, double(kTop)));
  };
  header.beginObject().member("name", name).member("unit", unit).member("low", lo).member("high", hi);
  if (wrap) header.member("wraps", 360);
  header.key("offsets").beginArray();
  for (size_t l = 0; l < sizes.size(); ++l) {
    if (l) {  // halve: each bin the extremes of the two below
      for (uint64_t b = 0; b < sizes[l]; ++b) {
        const uint64_t right = std::min(2 * b + 1, sizes[l - 1] - 1);
        if (wrap) {
          double lo2 = low[2 * b], hi2 = high[2 * b];
          joinArcs(lo2, hi2, low[right], high[right]);
          low[b] = lo2, high[b] = hi2;
          continue;
        }
        low[b] = std::min(low[2 * b], low[right]);
        high[b] = std::max(high[2 * b], high[right]);
      }
    }
    header.value(static_cast<uint64_t>(data.size()));
    // An empty bin (no sample, or a gap) has its minimum above its maximum.
    for (uint64_t b = 0; b < sizes[l]; ++b) {
      const uint16_t v = low[b] <= high[b] ? code(low[b], false) : kTop;
      data.push_back(static_cast<uint8_t>(v)), data.push_back(static_cast<uint8_t>(v >> 8));
    }
    for (uint64_t b = 0; b < sizes[l]; ++b) {
      const uint16_t v = low[b] <= high[b] ? code(high[b], true) : 0;
      data.push_back(static_cast<uint8_t>(v)), data.push_back(static_cast<uint8_t>(v >> 8));
    }
  }
  header.endArray().endObject();
}

void appendPlot(JsonSink& header, std::vector<uint8_t>& data, Plot& p) {
  const std::vector<uint64_t> sizes = levelSizes(p.bins);
  header.beginObject().member("id", p.id).member("title", p.title).member("samples", p.count);
  header.member("binSeconds", p.binSeconds);
  header.key("levels").beginArray();
  for (const uint64_t size : sizes) header.value(size);
  header.endArray().key("channels").beginArray();
  for (size_t c = 0; c < p.channels.size(); ++c)
    appendChannel(header, data, p.channels[c], p.units[c], wraps(p, c), sizes, p.lows[c], p.highs[c]);
  header.endArray().endObject();
}

void appendEvents(JsonSink& header, const ViewSource& source) {
  header.key("events").beginArray();
  const SampleStream* events = findStream(*source.shapes, kSecondEventKey);
  uint32_t key = kSecondEventKey;
  if (!events || events->count == 0) events = findStream(*source.shapes, kEventKey), key = kEventKey;
  if (events && events->count > 0) {
    std::unique_ptr<StreamCursor> cursor = source.cursor(key);
    SampleStream piece;
    while (cursor->read(piece, source.piece) > 0)
      for (uint64_t i = 0; i < piece.count; ++i) header.beginArray().value(piece.times[i]).value(piece.values[i]).endArray();
  }
  header.endArray();
}

}  // namespace

std::vector<uint8_t> buildViewData(const StreamMap& streams, const std::string& created, const ViewOptions& options) {
  ViewSource source;
  source.shapes = &streams;
  source.cursor = [&streams](uint32_t key) { return memoryCursor(streams.at(key)); };
  source.span = [&streams](uint32_t key) {
    const SampleStream& stream = streams.at(key);
    return std::pair{stream.times.front(), stream.times.back()};
  };
  return buildViewData(source, created, options);
}

std::vector<uint8_t> buildViewData(const ViewSource& source, const std::string& created, const ViewOptions& options) {
  std::vector<Plot> plots = plotsOf(source);
  // One time axis: from the earliest sample of any plot to the latest.
  double start = std::numeric_limits<double>::infinity(), end = -start;
  for (const Plot& p : plots) {
    start = std::min(start, p.first);
    end = std::max(end, p.last);
  }
  if (plots.empty()) start = end = 0;
  chooseBins(plots, std::max(end - start, 1e-9), options.budgetBytes);
  // Each stream read once, for every plot drawn from it.
  for (size_t i = 0; i < plots.size(); ++i) {
    if (i > 0 && plots[i - 1].key == plots[i].key) continue;
    std::vector<Plot*> readers;
    for (size_t j = i; j < plots.size() && plots[j].key == plots[i].key; ++j) startExtremes(plots[j]), readers.push_back(&plots[j]);
    std::unique_ptr<StreamCursor> cursor = source.cursor(plots[i].key);
    SampleStream piece;
    while (cursor->read(piece, source.piece) > 0)
      for (Plot* p : readers) addExtremes(*p, piece, start);
  }

  JsonWriter json;
  json.beginObject().member("version", 1).member("created", created).member("start", start).member("end", end);
  json.key("plots").beginArray();
  std::vector<uint8_t> data;
  for (Plot& plot : plots) appendPlot(json, data, plot);
  json.endArray();
  appendEvents(json, source);
  if (!options.activityJson.empty()) {
    json.key("activity");
    json.document(options.activityJson);
  }
  if (!options.qualityJson.empty()) {
    json.key("quality");
    json.document(options.qualityJson);
  }
  if (!options.calibrationJson.empty()) {
    json.key("calibration");
    json.document(options.calibrationJson);
  }
  json.endObject();
  const std::string header = json.take();

  std::vector<uint8_t> out = {'K', 'V', 'W', '1'};
  const uint32_t length = static_cast<uint32_t>(header.size());
  for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(length >> (8 * b)));
  out.insert(out.end(), header.begin(), header.end());
  if (out.size() % 2) out.push_back(0);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

}  // namespace kinovar
