#include "reader/quality.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "settings/settings_record.h"

namespace kinovar {

namespace {

// The value a raw count becomes, as the parser converts it.
double sensorValue(const SensorSettings& sensor, int axis, double raw) {
  return ((raw * sensor.range) * 0x1p-15 - sensor.offset[axis]) / sensor.gain[axis];
}

// Gaps by the declared rate: consecutive samples further apart than one and
// a half periods have round(distance / period) - 1 samples missing between them.
void countGaps(StreamQuality& q, const SampleStream& stream, int32_t clock, double origin) {
  if (q.rate <= 0 || clock <= 0 || stream.count < 2) return;
  const double period = 1.0 / q.rate;
  const double threshold = 1.5 * period;
  const double* t = stream.times.data();
  // Times are whole ticks over the clock: gaps are given in ticks' exact seconds.
  const auto exact = [clock](double seconds) { return static_cast<double>(std::llround(seconds * clock)) / clock; };
  for (uint64_t i = 1; i < stream.count; ++i) {
    const double step = t[i] - t[i - 1];
    if (!(step > threshold)) continue;
    q.missing += static_cast<uint64_t>(std::llround(step / period)) - 1;
    q.gapCount += 1;
    const double seconds = exact(step);
    if (seconds > q.longestGap) q.longestGap = seconds;
    q.gapList.push_back({exact(t[i - 1] - origin), seconds});
  }
}

// Samples with any axis at a raw full scale, -32768 or 32767.
uint64_t countSaturated(const SampleStream& stream, const double (&low)[3], const double (&high)[3]) {
  uint64_t saturated = 0;
  const uint64_t n = stream.count;
  const double* v = stream.values.data();
  for (uint64_t i = 0; i < n; ++i) {
    bool at = false;
    for (uint64_t a = 0; a < 3; ++a) at |= v[a * n + i] == low[a] || v[a * n + i] == high[a];
    saturated += at;
  }
  return saturated;
}

uint64_t countSaturated(const SampleStream& stream, const SensorSettings& sensor) {
  double low[3], high[3];
  for (int a = 0; a < 3; ++a) low[a] = sensorValue(sensor, a, -32768.0), high[a] = sensorValue(sensor, a, 32767.0);
  return countSaturated(stream, low, high);
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
  const char* name;
  int32_t rate;
  bool gaps;  // events come when they come: no rate to miss
};

}  // namespace

double ticksOffClock(int32_t clock, int32_t rate) {
  return clock > 0 && rate > 0 && clock % rate != 0 ? static_cast<double>(clock) / rate : 0.0;
}

QualityReport qualityReport(const DeviceSettings& settings, const StreamMap& streams, const ParseStats& scan) {
  QualityReport report;
  // Gap times count from the recording's first sample, whichever stream has it.
  double origin = 0.0;
  bool any = false;
  for (const auto& [key, stream] : streams) {
    if (stream.count == 0) continue;
    origin = any ? std::min(origin, stream.times.front()) : stream.times.front();
    any = true;
  }
  const Source sources[] = {
      {kAccelKey, "accel", settings.accel.frequency, true},
      {kGyroKey, "gyro", settings.gyro.frequency, true},
      {kBaroKey, "baro", settings.baro.frequency, true},
      {kChannel10Key, "threeAxis", settings.channel10.frequency, true},
      {kEventKey, "events", settings.event.frequency, false},
      {kRadioTimeKey, "radioTime", settings.radioTime.frequency, true},
      {kSecondEventKey, "secondEvents", settings.secondEvent.frequency, false},
  };
  for (const Source& source : sources) {
    const SampleStream* stream = findStream(streams, source.key);
    if (!stream) continue;
    StreamQuality q;
    q.name = source.name;
    q.rate = source.rate;
    q.samples = stream->count;
    if (stream->count > 0) q.first = stream->times.front(), q.last = stream->times.back();
    if (stream->count > 1 && q.last > q.first && settings.frequency > 0) {
      // From whole ticks, one rounding: a steady 100 Hz reads 100, not 100.00000000000001.
      const double f = settings.frequency;
      const double ticks = std::round((q.last - q.first) * f);
      q.rateSeen = static_cast<double>(stream->count - 1) * f / ticks;
    }
    if (const auto found = scan.streams.find(source.key); found != scan.streams.end()) q.duplicates = found->second.duplicates;
    if (source.gaps) countGaps(q, *stream, settings.frequency, origin);
    // The sensors the tables place on clock rows by a whole divisor.
    const bool tabled = source.key == kAccelKey || source.key == kGyroKey || source.key == kBaroKey;
    if (tabled) q.ticksPerSample = ticksOffClock(settings.frequency, q.rate);
    if (source.key == kAccelKey) q.saturated = countSaturated(*stream, settings.accel);
    if (source.key == kGyroKey) q.saturated = countSaturated(*stream, settings.gyro);
    if (source.key == kChannel10Key) q.saturated = countSaturated(*stream, {-32768.0, -32768.0, -32768.0}, {32767.0, 32767.0, 32767.0});
    report.streams.push_back(q);
  }
  report.outOfOrder = scan.blocksBackwards;
  report.tailBytes = scan.tailBytes;
  report.settingsRecords = settingsProblems(scan.settingsBlock);
  return report;
}

void writeQuality(JsonSink& json, const QualityReport& report, QualityDetail detail) {
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
  json.endArray().endObject();
}

std::string qualityJson(const QualityReport& report, QualityDetail detail) {
  return jsonText([&](JsonSink& json) { writeQuality(json, report, detail); });
}

}  // namespace kinovar
