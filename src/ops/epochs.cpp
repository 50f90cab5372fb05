#include "ops/epochs.h"

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <system_error>
#include <string_view>

#include "export/csv.h"
#include "export/fixed.h"
#include "ops/operations.h"
#include "ops/stream_recording.h"
#include "ops/workers.h"
#include "reader/calendar.h"

namespace kinovar {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

enum Field { Samples, Enmo, Mad, Anglez, MeanX, MeanY, MeanZ, SdX, SdY, SdZ, Clipped, Nonwear, Gyro, Pressure, Temperature };

// In table order. Metrics in g to the nano-g and angles to 1e-4 degree, so
// that a mean recomputed from the plain CSV's samples agrees.
constexpr EpochColumn kFields[] = {
    {"samples", "", true, 0},
    {"enmo", "g", false, 9},
    {"mad", "g", false, 9},
    {"anglez", "deg", false, 4},
    {"accel_x_mean", "g", false, 9},
    {"accel_y_mean", "g", false, 9},
    {"accel_z_mean", "g", false, 9},
    {"accel_x_sd", "g", false, 9},
    {"accel_y_sd", "g", false, 9},
    {"accel_z_sd", "g", false, 9},
    {"clipped", "", true, 0},
    {"nonwear", "", true, 0},
    {"gyro_mean", "deg/s", false, 6},
    {"pressure", "mBar", false, 4},
    {"temperature", "degree C", false, 4},
};

double fieldOf(const EpochRow& r, int field) {
  switch (field) {
    case Samples: return static_cast<double>(r.samples);
    case Enmo: return r.samples ? r.enmo : kNaN;
    case Mad: return r.samples ? r.mad : kNaN;
    case Anglez: return r.samples ? r.anglez : kNaN;
    case MeanX: case MeanY: case MeanZ: return r.samples ? r.mean[field - MeanX] : kNaN;
    case SdX: case SdY: case SdZ: return r.samples ? r.sd[field - SdX] : kNaN;
    case Clipped: return r.samples ? static_cast<double>(r.clipped) : kNaN;
    case Nonwear: return r.samples ? (r.nonwear ? 1.0 : 0.0) : kNaN;
    case Gyro: return r.gyroSamples ? r.gyro : kNaN;
    case Pressure: return r.baroSamples ? r.pressure : kNaN;
    default: return r.baroSamples ? r.temperature : kNaN;
  }
}

// A number with at most `decimals` decimals, its trailing zeros dropped, and a comma.
char* numberCell(char* out, double value, int decimals) {
  if (value != value) {
    *out++ = ',';
    return out;
  }
  char* end = writeFixed(out, value, decimals);
  if (decimals > 0) {
    while (end[-1] == '0') --end;
    if (end[-1] == '.') --end;
  }
  if (end - out == 2 && out[0] == '-' && out[1] == '0') out[0] = '0', end = out + 1;
  *end++ = ',';
  return end;
}

// The accelerometer as the epochs take it (prepareAccel): x, y, z
// corrected, then whether each sample clipped, its norm and its elevation.
class PreparedAccel : public StreamCursor {
 public:
  PreparedAccel(std::unique_ptr<StreamCursor> raw, const EpochOptions& options, AccelCorrection correct)
      : raw_(std::move(raw)), options_(options), correct_(std::move(correct)) {}

  uint64_t read(SampleStream& out, uint64_t max) override {
    // Channel-major: the three prepared channels follow the axes read.
    const uint64_t n = raw_->read(out, max);
    out.channels = 6;
    out.count = n;
    out.values.resize(6 * n);
    double* v = out.values.data();
    prepareAccel(options_, correct_, out.times.data(), v, v + n, v + 2 * n, v + 3 * n, v + 4 * n, v + 5 * n, n);
    return n;
  }

 private:
  std::unique_ptr<StreamCursor> raw_;
  EpochOptions options_;
  AccelCorrection correct_;
};

}  // namespace

struct EpochReader::Streams {
  std::unique_ptr<RecordingStreams> streams;
  std::unique_ptr<StreamCursor> cursor[3];  // accel, gyro, baro
  SampleStream piece[3];
  double reached[3] = {0, 0, 0};
  bool ended[3] = {true, true, true};
  uint64_t accelRead = 0, accelTotal = 0;
};

EpochReader::EpochReader(const char* utf8Path, const ConversionOptions& options, const EpochRequest& request)
    : own_(std::make_unique<RecordingReader>(options.chunkSamples, options.cancel, TickReading::Unwrapped)),
      reader_(own_.get()),
      request_(request),
      streams_(std::make_unique<Streams>()) {
  start(options, own_->open(fileSource(utf8Path)));
}

EpochReader::EpochReader(const RecordingReader& reader, const ConversionOptions& options, const EpochRequest& request)
    : reader_(&reader), request_(request), streams_(std::make_unique<Streams>()) {
  start(options, true);
}

double EpochReader::origin() const { return streams_->streams ? streams_->streams->origin() : 0.0; }

void EpochReader::start(const ConversionOptions& options, bool parsed) {
  // The quality report reads the file beside the calibration's fit when
  // there is a core for it: each is a pass over the whole recording.
  const bool spare = threadBudget(options) > 1;
  std::future<QualityReport> quality;
  if (spare && own_) {
    try {
      quality = std::async(std::launch::async, [this] { return qualityReport(*reader_); });
    } catch (const std::system_error&) {
    }
  }
  const auto qualityDone = [&] {
    if (own_) quality_ = quality.valid() ? quality.get() : qualityReport(*reader_);
  };
  timeBase_ = kinovar::timeBase(epochSeconds(reader_->settings().createdAt), 0.0, options);
  if (!parsed) {
    refusal_ = EpochRefusal::Unparsed;
    return qualityDone();
  }
  if (reader_->count(kAccelKey) == 0) {
    refusal_ = EpochRefusal::NoAccel;
    return qualityDone();
  }
  const DeviceSettings& settings = reader_->settings();
  rate_ = settings.accel.frequency;
  EpochOptions& epochs = request_.epochs;
  if (std::isinf(epochs.clipLimit) && settings.accel.range > 0) epochs.clipLimit = settings.accel.range - 0.5;
  ConversionOptions raw = options;
  raw.estimator = Estimator::None;
  Streams& s = *streams_;
  s.streams = std::make_unique<RecordingStreams>(*reader_, raw);
  const double origin = s.streams->origin();
  if (request_.alignToClock) {
    const double local = timeBase_ + (options.utcOffset == options.utcOffset ? options.utcOffset : 0.0);
    grid_ = std::floor(local / epochs.seconds) * epochs.seconds - local;
  }
  // Clipping counts the raw samples, so the accelerometer is calibrated as
  // its pieces are prepared; the gyroscope's bias as it is read. A reader
  // handed in is read as its owner calibrated it.
  AccelCorrection correct;
  if (own_) {
    calibration_ = calibrationOf(*own_, options);
    model_ = calibration_.model();
    CalibrationModel gyro = model_;
    gyro.accel = false;
    applyCalibration(*own_, gyro);
    if (model_.accel) {
      corrector_ = std::make_unique<AccelCorrector>(*own_, model_);
      correct = [this](const double* t, double* x, double* y, double* z, size_t n) { corrector_->apply(t, x, y, z, n); };
    }
  }
  qualityDone();
  // With a core to spare, the streams are decoded beside the metrics.
  const uint32_t keys[3] = {kAccelKey, kGyroKey, kBaroKey};
  for (int k = 0; k < 3; ++k) {
    if (reader_->count(keys[k]) == 0) continue;
    s.cursor[k] = reader_->cursor(keys[k]);
    if (k == 0) s.cursor[k] = std::make_unique<PreparedAccel>(std::move(s.cursor[k]), epochs, std::move(correct));
    if (spare) s.cursor[k] = aheadCursor(std::move(s.cursor[k]), reader_->chunkSamples());
    s.ended[k] = false;
  }
  s.accelTotal = reader_->count(kAccelKey);
  for (int f = 0; f < static_cast<int>(std::size(kFields)); ++f) {
    if (f == Gyro && s.ended[1]) continue;
    if ((f == Pressure || f == Temperature) && s.ended[2]) continue;
    columns_.push_back(kFields[f]);
    fields_.push_back(f);
  }
  builder_ = std::make_unique<EpochBuilder>(epochs, origin + grid_);
  if (s.ended[1]) builder_->endGyro();
  if (s.ended[2]) builder_->endBaro();
}

EpochReader::~EpochReader() = default;

void EpochReader::pump() {
  Streams& s = *streams_;
  const uint64_t piece = reader_->chunkSamples();
  const auto read = [&](int k) {
    SampleStream& p = s.piece[k];
    const uint64_t n = s.cursor[k]->read(p, piece);
    if (n == 0) {
      s.ended[k] = true;
      if (k == 0) builder_->endAccel();
      if (k == 1) builder_->endGyro();
      if (k == 2) builder_->endBaro();
      return;
    }
    double* v = p.values.data();
    if (k == 0) builder_->accel(p.times.data(), v, v + n, v + 2 * n, v + 3 * n, v + 4 * n, v + 5 * n, n), s.accelRead += n;
    if (k == 1) builder_->gyro(p.times.data(), v, v + n, v + 2 * n, n);
    if (k == 2) builder_->baro(p.times.data(), v, v + n, n);
    s.reached[k] = p.times[n - 1];
  };
  if (!s.ended[0]) read(0);
  // The slower streams follow the accelerometer, so that rows can leave.
  for (int k = 1; k < 3; ++k)
    while (!s.ended[k] && (s.ended[0] || s.reached[k] < s.reached[0])) read(k);
}

bool EpochReader::next(uint64_t maxRows, std::vector<EpochRow>& rows) {
  rows.clear();
  if (!builder_) return false;
  Streams& s = *streams_;
  EpochRow row;
  while (rows.size() < maxRows) {
    if (builder_->next(row)) {
      count(row);
      rows.push_back(row);
      continue;
    }
    if (s.ended[0] && s.ended[1] && s.ended[2]) break;
    pump();
  }
  if (rows.empty()) closeDays();
  return !rows.empty();
}

double EpochReader::value(const EpochRow& row, size_t c) const { return fieldOf(row, fields_[c]); }

void EpochReader::planDays(const std::vector<double>& starts, const std::vector<std::string>& dates) {
  request_.days.on = true;
  request_.days.starts = starts;
  request_.days.dates = dates;
}

void EpochReader::planLocalDays(const ZoneOffset& offsetAt) {
  double first = INFINITY, last = -INFINITY;
  for (const StreamQuality& s : quality_.streams) {
    if (s.samples == 0) continue;
    first = std::min(first, s.first);
    last = std::max(last, s.last);
  }
  const double length = first <= last ? last - first : 0.0;
  DayPlan plan;
  localDays(offsetAt, timeBase_ - 86400.0, timeBase_ + length + 86400.0, plan);
  planDays(plan.starts, plan.dates);
}

double wallTimeOffset(const ZoneOffset& offsetAt, double local) {
  const double offset = offsetAt(local);
  return offsetAt(local - offset);
}

const char* wallTimeChange(const ZoneOffset& offsetAt, double local) {
  std::vector<double> fits;
  for (const double around : {local - 86400.0, local + 86400.0}) {
    const double offset = offsetAt(around);
    if (offsetAt(local - offset) == offset && std::find(fits.begin(), fits.end(), offset) == fits.end())
      fits.push_back(offset);
  }
  return fits.empty() ? "skipped" : fits.size() > 1 ? "repeated" : "";
}

void localDays(const ZoneOffset& offsetAt, double from, double to, DayPlan& plan) {
  plan.starts.clear();
  plan.dates.clear();
  const int64_t first = static_cast<int64_t>(std::floor((from + offsetAt(from)) / 86400.0));
  for (int64_t day = first;; ++day) {
    const double wall = static_cast<double>(day) * 86400.0;
    const double start = wall - wallTimeOffset(offsetAt, wall);
    plan.starts.push_back(start);
    if (start > to) break;
    const CivilDate date = civilFromDays(day);
    char text[32];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02d", static_cast<long long>(date.year), date.month, date.day);
    plan.dates.emplace_back(text);
  }
}

double EpochReader::progress() const {
  const Streams& s = *streams_;
  return s.accelTotal ? static_cast<double>(s.accelRead) / static_cast<double>(s.accelTotal) : 1.0;
}

void EpochReader::count(const EpochRow& row) {
  const double length = request_.epochs.seconds;
  const double covered = row.samples == 0 ? 0.0 : rate_ > 0 ? std::min(length, static_cast<double>(row.samples) / rate_) : length;
  // Sums of seconds, in hours after each: a week of 5 s epochs adds up exactly.
  const auto add = [covered](double& seconds, double& hours) { hours = (seconds += covered) / 3600.0; };
  ++summary_.epochs;
  add(seconds_[0], summary_.recordedHours);
  if (row.samples) add(seconds_[row.nonwear ? 2 : 1], row.nonwear ? summary_.notWornHours : summary_.wornHours);
  summary_.clippedSamples += row.clipped;
  if (!request_.days.on) return;
  // Without a calendar, days run 24 h from the first epoch.
  if (request_.days.starts.empty()) request_.days.starts.push_back(timeBase_ + grid_);
  const int64_t d = dayOf(timeBase_ + timeOf(row));
  if (summary_.days.empty()) openDay(d);
  // Days without any epoch between two that have some still get their rows.
  while (day_ < d) closeDays(), openDay(day_ + 1);
  DayRow& day = summary_.days.back();
  add(daySeconds_[0], day.recorded);
  if (row.samples) add(daySeconds_[row.nonwear ? 2 : 1], row.nonwear ? day.notWorn : day.worn);
  if (row.clipped) add(daySeconds_[3], day.clipped);
  if (row.samples && !row.nonwear) {
    dayWornSamples_ += static_cast<double>(row.samples);
    dayEnmo_ += row.enmo * static_cast<double>(row.samples);
  }
}

double EpochReader::dayStart(int64_t d) const {
  const std::vector<double>& starts = request_.days.starts;
  const int64_t known = static_cast<int64_t>(starts.size());
  if (d < known) return starts[static_cast<size_t>(d)];
  return starts.back() + 86400.0 * static_cast<double>(d - known + 1);
}

int64_t EpochReader::dayOf(double at) const {
  const std::vector<double>& starts = request_.days.starts;
  // A tenth of a millisecond of slack: an epoch starting on a midnight belongs to the day it opens.
  if (at + 1e-4 >= starts.back()) return static_cast<int64_t>(starts.size()) - 1 + static_cast<int64_t>(std::floor((at + 1e-4 - starts.back()) / 86400.0));
  return std::max<int64_t>(0, std::upper_bound(starts.begin(), starts.end(), at + 1e-4) - starts.begin() - 1);
}

void EpochReader::openDay(int64_t d) {
  day_ = d;
  DayRow next;
  next.day = summary_.days.empty() ? 1 : summary_.days.back().day + 1;
  const std::vector<std::string>& dates = request_.days.dates;
  next.date = d >= 0 && d < static_cast<int64_t>(dates.size()) ? dates[static_cast<size_t>(d)] : std::string();
  next.start = dayStart(d) - timeBase_;
  next.hours = (dayStart(d + 1) - dayStart(d)) / 3600.0;
  next.enmo = kNaN;
  summary_.days.push_back(next);
  dayWornSamples_ = dayEnmo_ = 0.0;
  std::fill(std::begin(daySeconds_), std::end(daySeconds_), 0.0);
}

void EpochReader::closeDays() {
  if (summary_.days.empty()) return;
  DayRow& day = summary_.days.back();
  if (dayWornSamples_ > 0) day.enmo = dayEnmo_ / dayWornSamples_;
  day.valid = day.worn >= request_.days.validHours - 1e-9;
  summary_.validDays = 0;
  for (const DayRow& d : summary_.days) summary_.validDays += d.valid;
}

}  // namespace kinovar

namespace kinovar {

namespace {

// After the day's start, its time.
constexpr EpochColumn kDayFields[] = {
    {"day", "", true, 0},
    {"date", "", false, 0},
    {"hours", "h", false, 6},
    {"recorded_hours", "h", false, 6},
    {"worn_hours", "h", false, 6},
    {"nonwear_hours", "h", false, 6},
    {"clipped_hours", "h", false, 6},
    {"enmo_worn", "g", false, 9},
    {"valid", "", true, 0},
};

char* text(char* out, std::string_view s) {
  std::memcpy(out, s.data(), s.size());
  return out + s.size();
}

PlainTime plainTime(const EpochReader& epochs, const ConversionOptions& options) {
  return PlainTime{0.0, options.absoluteTime, epochs.timeBase(), options.utcOffset == options.utcOffset};
}

}  // namespace

std::span<const EpochColumn> epochColumns() { return kFields; }
std::span<const EpochColumn> dayColumns() { return kDayFields; }

double dayValue(const DayRow& day, size_t c) {
  switch (c) {
    case 0: return static_cast<double>(day.day);
    case 2: return day.hours;
    case 3: return day.recorded;
    case 4: return day.worn;
    case 5: return day.notWorn;
    case 6: return day.clipped;
    case 7: return day.enmo;
    case 8: return day.valid ? 1.0 : 0.0;
    default: return kNaN;
  }
}

bool nextEpochText(EpochReader& epochs, uint64_t maxRows, bool header, const ConversionOptions& options,
                   std::string& out) {
  const PlainTime time = plainTime(epochs, options);
  const std::vector<EpochColumn>& columns = epochs.columns();
  if (header) {
    out += time.datetime ? "time,datetime" : "time";
    for (const EpochColumn& c : columns) out += ',', out += c.name;
    out += '\n';
  }
  std::vector<EpochRow> rows;
  if (!epochs.next(maxRows, rows)) return false;
  char line[24 * kMaxFixedLength];
  for (const EpochRow& row : rows) {
    const double t = epochs.timeOf(row);
    char* end = timeCell(line, t);
    if (time.datetime) end = datetimeCell(end, time, t);
    for (size_t c = 0; c < columns.size(); ++c) end = numberCell(end, epochs.value(row, c), columns[c].decimals);
    end[-1] = '\n';
    out.append(line, end);
  }
  return true;
}

std::string dayText(const EpochReader& epochs) {
  std::string out = "time";
  for (const EpochColumn& c : kDayFields) out += ',', out += c.name;
  out += '\n';
  char line[16 * kMaxFixedLength];
  for (const DayRow& day : epochs.summary().days) {
    char* end = timeCell(line, day.start);
    for (size_t c = 0; c < std::size(kDayFields); ++c) {
      if (c == 1) end = text(end, day.date), *end++ = ',';
      else end = numberCell(end, dayValue(day, c), kDayFields[c].decimals);
    }
    end[-1] = '\n';
    out.append(line, end);
  }
  return out;
}

bool writeEpochsCsv(EpochReader& epochs, const char* utf8CsvPath, const char* utf8DaysPath,
                    const ConversionOptions& options, OutputFailure* failure) {
  std::vector<OutputFile> files;
  std::vector<const char*> paths = {utf8CsvPath};
  if (utf8DaysPath) paths.push_back(utf8DaysPath);
  const auto failed = [&](size_t i) {
    if (failure) *failure = OutputFailure{paths[i], files[i].error(), files[i].failedStep()};
    return false;
  };
  for (size_t i = 0; i < paths.size(); ++i) {
    files.emplace_back(paths[i], OutputFile::Mode::Binary, options.durable);
    if (!files[i]) return failed(i);
  }
  const auto put = [&](size_t i, const std::string& bytes) {
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), files[i].file()) != bytes.size())
      files[i].noteWriteError(errno ? errno : EIO);
  };
  std::string text;
  for (bool header = true; nextEpochText(epochs, 1 << 12, header, options, text); header = false) {
    put(0, text);
    text.clear();
    reportProgress(options, epochs.progress());
  }
  put(0, text);  // a header without rows
  if (utf8DaysPath) put(1, dayText(epochs));
  size_t at = 0;
  if (!commitTogether(files, options.durable, &at)) return failed(at);
  return true;
}

}  // namespace kinovar
