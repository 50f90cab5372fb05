#include "reader/quality.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <iterator>
#include <memory>

#include "model/streams.h"
#include "reader/calendar.h"
#include "settings/settings_record.h"

namespace kinovar {

namespace {

// The value a raw count becomes, as the parser converts it.
double sensorValue(const SensorSettings& sensor, int axis, double raw) {
  return ((raw * sensor.range) * 0x1p-15 - sensor.offset[axis]) / sensor.gain[axis];
}

// What one stream's samples show, taken a piece at a time in order.
struct StreamScan {
  StreamQuality& q;
  int32_t clock;
  double low[3] = {}, high[3] = {};
  bool saturation = false;
  bool gaps = false;
  bool any = false;
  double previous = 0.0;
  std::vector<double> gapBefore;  // the time of the sample before each gap, absolute

  StreamScan(StreamQuality& quality, int32_t clockRate) : q(quality), clock(clockRate) {}

  void piece(const SampleStream& stream) {
    const uint64_t n = stream.count;
    if (n == 0) return;
    const double* t = stream.times.data();
    if (!any) q.first = t[0];
    q.last = t[n - 1];
    if (gaps) {
      // Gaps by the declared rate: consecutive samples further apart than one
      // and a half periods have round(distance / period) - 1 samples missing between them.
      const double period = 1.0 / q.rate;
      const double threshold = 1.5 * period;
      for (uint64_t i = 0; i < n; ++i) {
        const double before = i ? t[i - 1] : previous;
        if (i == 0 && !any) continue;
        const double step = t[i] - before;
        if (!(step > threshold)) continue;
        q.missing += static_cast<uint64_t>(std::llround(step / period)) - 1;
        q.gapCount += 1;
        const double seconds = exact(step);
        if (seconds > q.longestGap) q.longestGap = seconds;
        gapBefore.push_back(before);
        q.gapList.push_back({0.0, seconds});
      }
    }
    if (saturation) {
      // Samples with any axis at a raw full scale, -32768 or 32767.
      const double* v = stream.values.data();
      for (uint64_t i = 0; i < n; ++i) {
        bool at = false;
        for (uint64_t a = 0; a < 3; ++a) at |= v[a * n + i] == low[a] || v[a * n + i] == high[a];
        q.saturated += at;
      }
    }
    previous = t[n - 1];
    any = true;
  }
  // Gap starts count from the recording's first sample, once it is known.
  void finish(double origin) {
    for (size_t g = 0; g < gapBefore.size(); ++g) q.gapList[g].start = exact(gapBefore[g] - origin);
  }
  // Times are whole ticks over the clock: gaps are given in ticks' exact seconds.
  double exact(double seconds) const { return static_cast<double>(std::llround(seconds * clock)) / clock; }
};

void sensorRange(const SensorSettings& sensor, double (&low)[3], double (&high)[3]) {
  for (int a = 0; a < 3; ++a) low[a] = sensorValue(sensor, a, -32768.0), high[a] = sensorValue(sensor, a, 32767.0);
}

// Walks block 0 as the settings decoder does, noting every record it could
// not use.
std::vector<SettingsRecordProblem> settingsProblems(const std::array<uint8_t, 512>& block) {
  std::vector<SettingsRecordProblem> problems;
  size_t at = 0;
  while (at + 1 < kSettingsBlockSize && !(block[at] == 'Q' && block[at + 1] == '7')) ++at;
  if (at > kSettingsBlockSize - 5) return problems;
  DeviceSettings scratch;
  while (at + 1 < kSettingsBlockSize && block[at] == 'Q' && block[at + 1] == '7') {
    SettingsRecordProblem p;
    p.offset = static_cast<uint32_t>(at);
    if (at + 5 <= kSettingsBlockSize) p.type = block[at + 2], p.subtype = block[at + 3], p.length = block[at + 4];
    bool recognised = true;
    scratch.malformed = false;
    const int length = decodeSettingsRecord(scratch, recognised, block.data() + at, kSettingsBlockSize - at);
    if (length < 0) {
      p.problem = "truncated";  // runs past the block: the walk ends here
      problems.push_back(p);
      break;
    }
    if (!recognised) p.problem = "unknown";
    else if (scratch.malformed) p.problem = "malformed";
    if (*p.problem) problems.push_back(p);
    at += static_cast<size_t>(length);
  }
  return problems;
}

struct Source {
  uint32_t key;
  bool gaps;  // events come when they come: no rate to miss
};

// Seconds from a date to a later one, or 0 when either is no real date.
double secondsBetween(const DateTimeFields& from, const DateTimeFields& to) {
  const auto valid = [](const DateTimeFields& d) {
    return dateProblem(d.year, d.month, d.day, d.hour, d.minute, d.second).empty();
  };
  if (!valid(from) || !valid(to)) return 0.0;
  const auto at = [](const DateTimeFields& d) {
    return static_cast<double>(daysFromCivil(d.year, d.month, d.day) * 86400 + d.hour * 3600 + d.minute * 60 + d.second);
  };
  return std::max(0.0, at(to) - at(from));
}

}  // namespace

// Dates hold whole seconds and the last sample stands a period before the
// end: a recording this much short of its end date was cut.
constexpr double kShortBySeconds = 2.0;

bool QualityReport::shorterThanSettings() const {
  return settingsSeconds > 0 && dataSeconds + kShortBySeconds < settingsSeconds;
}

double ticksOffClock(int32_t clock, int32_t rate) {
  return clock > 0 && rate > 0 && clock % rate != 0 ? static_cast<double>(clock) / rate : 0.0;
}

QualityReport qualityReport(const DeviceSettings& settings, const StreamMap& streams, const ParseStats& scan,
                            const std::function<std::unique_ptr<StreamCursor>(uint32_t key)>& cursor,
                            uint64_t piece) {
  QualityReport report;
  const Source sources[] = {
      {kAccelKey, true}, {kGyroKey, true}, {kBaroKey, true}, {kChannel10Key, true},
      {kEventKey, false}, {kRadioTimeKey, true}, {kSecondEventKey, false},
  };
  std::vector<StreamScan> scans;
  report.streams.reserve(std::size(sources));
  // Gap times count from the recording's first sample, whichever stream has it.
  double origin = 0.0;
  bool any = false;
  for (const Source& source : sources) {
    const SampleStream* stream = findStream(streams, source.key);
    if (!stream) continue;
    StreamQuality& q = report.streams.emplace_back();
    q.name = streamName(source.key);
    q.rate = rateOf(settings, source.key);
    q.samples = stream->count;
    StreamScan& walk = scans.emplace_back(q, settings.frequency);
    walk.gaps = source.gaps && q.rate > 0 && settings.frequency > 0 && stream->count >= 2;
    walk.saturation = source.key == kAccelKey || source.key == kGyroKey || source.key == kChannel10Key;
    if (source.key == kAccelKey) sensorRange(settings.accel, walk.low, walk.high);
    if (source.key == kGyroKey) sensorRange(settings.gyro, walk.low, walk.high);
    if (source.key == kChannel10Key) std::fill_n(walk.low, 3, -32768.0), std::fill_n(walk.high, 3, 32767.0);
    if (stream->count > 0) {
      std::unique_ptr<StreamCursor> samples = cursor(source.key);
      SampleStream read;
      while (samples->read(read, piece) > 0) walk.piece(read);
      origin = any ? std::min(origin, q.first) : q.first;
      any = true;
    }
    if (stream->count > 1 && q.last > q.first && settings.frequency > 0) {
      // From whole ticks, one rounding: a steady 100 Hz reads 100, not 100.00000000000001.
      const double f = settings.frequency;
      const double ticks = std::round((q.last - q.first) * f);
      q.rateSeen = static_cast<double>(stream->count - 1) * f / ticks;
    }
    if (const auto found = scan.streams.find(source.key); found != scan.streams.end()) q.duplicates = found->second.duplicates;
    // The sensors the tables place on clock rows by a whole divisor.
    const bool tabled = source.key == kAccelKey || source.key == kGyroKey || source.key == kBaroKey;
    if (tabled) q.ticksPerSample = ticksOffClock(settings.frequency, q.rate);
  }
  for (StreamScan& walk : scans) walk.finish(origin);
  report.outOfOrder = scan.blocksBackwards;
  report.tailBytes = scan.tailBytes;
  report.corruptBlocks = scan.corruptBlocks;
  if (scan.framesPastSigned > 0 && settings.frequency > 0)
    report.signedWrapAt = std::max(0.0, static_cast<double>(scan.firstPastSigned) / settings.frequency - origin);
  report.settingsSeconds = secondsBetween(settings.createdAt, settings.endDate);
  if (report.settingsSeconds > 0 && any) {
    double last = origin;
    for (const StreamQuality& q : report.streams)
      if (q.samples > 0) last = std::max(last, q.last);
    report.dataSeconds = last - origin;
  }
  report.settingsRecords = settingsProblems(scan.settingsBlock);
  return report;
}

QualityReport qualityReport(const DeviceSettings& settings, const StreamMap& streams, const ParseStats& scan) {
  return qualityReport(settings, streams, scan, [&](uint32_t key) { return memoryCursor(streams.at(key)); },
                       kDefaultChunkSamples);
}

QualityReport qualityReport(const RecordingReader& reader) {
  const StreamMap shapes = reader.shapes();
  return qualityReport(reader.settings(), shapes, reader.stats(), [&](uint32_t key) { return reader.rawCursor(key); },
                       reader.chunkSamples());
}

void writeQuality(JsonSink& json, const QualityReport& report, QualityDetail detail,
                  const std::function<void(JsonSink&)>& more) {
  const bool full = detail == QualityDetail::full;
  json.beginObject().key("streams").beginObject();
  for (const StreamQuality& q : report.streams) {
    json.key(q.name).beginObject();
    json.member("samples", q.samples);
    json.member("rate", q.rate);
    json.member("rateSeen", q.rateSeen);
    if (q.samples > 0) {
      json.member("first", q.first);
      json.member("last", q.last);
    } else {
      json.key("first").null();
      json.key("last").null();
    }
    json.member("duplicates", q.duplicates);
    json.key("gaps").beginObject();
    json.member("missing", q.missing);
    json.member("count", q.gapCount);
    json.member("longest", q.longestGap);
    if (full && !q.gapList.empty()) {
      json.key("list").beginArray();
      for (const Gap& gap : q.gapList) json.beginObject().member("start", gap.start).member("length", gap.length).endObject();
      json.endArray();
    }
    json.endObject();
    json.member("saturated", q.saturated);
    if (full && q.ticksPerSample > 0 && q.rowsPerSample > 0) {
      json.member("ticksPerSample", q.ticksPerSample);
      json.member("rowsPerSample", q.rowsPerSample);
    }
    json.endObject();
  }
  json.endObject();
  json.member("outOfOrder", report.outOfOrder);
  json.member("tailBytes", report.tailBytes);
  // Told only where they happened, as most recordings never meet them.
  if (report.corruptBlocks > 0) json.member("corruptBlocks", report.corruptBlocks);
  if (report.signedWrapAt >= 0) json.member("signedWrapAt", report.signedWrapAt);
  if (report.shorterThanSettings())
    json.key("shorterThanSettings").beginObject().member("seconds", report.dataSeconds).member("settings", report.settingsSeconds).endObject();
  json.key("settingsRecords").beginArray();
  for (const SettingsRecordProblem& p : report.settingsRecords) {
    json.beginObject();
    json.member("offset", p.offset);
    json.member("type", p.type);
    json.member("subtype", p.subtype);
    json.member("length", p.length);
    json.member("problem", p.problem);
    json.endObject();
  }
  json.endArray();
  if (more) more(json);
  json.endObject();
}

std::string qualityJson(const QualityReport& report, QualityDetail detail) {
  return jsonText([&](JsonSink& json) { writeQuality(json, report, detail); });
}

}  // namespace kinovar
