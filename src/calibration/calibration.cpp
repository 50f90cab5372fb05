#include "calibration/calibration.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "io/failure.h"
#include "io/js_number.h"
#include "io/json_reader.h"
#include "io/paths.h"
#include "io/read_file.h"

namespace kinovar {

namespace {

std::string format(const char* pattern, auto... values) {
  char text[512];
  std::snprintf(text, sizeof text, pattern, values...);
  return text;
}

const char* const kAxes[3] = {"x", "y", "z"};

// Sums of one stream's samples in the window under way, shifted by its first
// sample so that a long window loses no digits.
struct WindowSums {
  uint64_t n = 0, repeats = 0;
  double shift[3] = {}, sum[3] = {}, squares[3] = {}, last[3] = {};
  double temperature = 0.0;

  void add(const double v[3]) {
    if (n == 0) std::copy_n(v, 3, shift);
    else if (v[0] == last[0] && v[1] == last[1] && v[2] == last[2]) ++repeats;
    for (int k = 0; k < 3; ++k) {
      const double d = v[k] - shift[k];
      sum[k] += d, squares[k] += d * d;
    }
    std::copy_n(v, 3, last);
    ++n;
  }
  double mean(int k) const { return shift[k] + sum[k] / static_cast<double>(n); }
  double sd(int k) const {
    if (n < 2) return 0.0;
    const double m = sum[k] / static_cast<double>(n);
    return std::sqrt(std::max(0.0, (squares[k] - m * sum[k]) / static_cast<double>(n - 1)));
  }
};

// The gyroscope's samples, read alongside the accelerometer's windows.
class GyroWindows {
 public:
  explicit GyroWindows(std::unique_ptr<StreamCursor> cursor, uint64_t piece) : cursor_(std::move(cursor)), piece_(piece) {}
  // The samples from `start` up to `end`; those before start are passed over.
  WindowSums sums(double start, double end) {
    WindowSums sums;
    while (cursor_) {
      if (next_ >= read_.count) {
        if (cursor_->read(read_, piece_) == 0) break;
        next_ = 0;
      }
      const double t = read_.times[next_];
      if (t >= end) break;
      if (t >= start) {
        const double v[3] = {read_.value(0, next_), read_.value(1, next_), read_.value(2, next_)};
        sums.add(v);
      }
      ++next_;
    }
    return sums;
  }

 private:
  std::unique_ptr<StreamCursor> cursor_;
  uint64_t piece_;
  SampleStream read_;
  uint64_t next_ = 0;
};

// Solves the n x n system (n <= 3) in place; false when it is singular.
bool solve(double a[3][3], double b[3], int n) {
  for (int c = 0; c < n; ++c) {
    int pivot = c;
    for (int r = c + 1; r < n; ++r)
      if (std::abs(a[r][c]) > std::abs(a[pivot][c])) pivot = r;
    if (std::abs(a[pivot][c]) < 1e-300) return false;
    std::swap(a[c], a[pivot]);
    std::swap(b[c], b[pivot]);
    for (int r = c + 1; r < n; ++r) {
      const double f = a[r][c] / a[c][c];
      for (int k = c; k < n; ++k) a[r][k] -= f * a[c][k];
      b[r] -= f * b[c];
    }
  }
  for (int c = n - 1; c >= 0; --c) {
    for (int k = c + 1; k < n; ++k) b[c] -= a[c][k] * b[k];
    b[c] /= a[c][c];
  }
  return true;
}

// Mean | |a| - 1 | of the windows' means under the model, in mg.
double sphereErrorMg(const std::vector<StillWindow>& windows, const CalibrationModel& model) {
  if (windows.empty()) return 0.0;
  double total = 0.0;
  for (const StillWindow& w : windows) {
    double a[3] = {w.mean[0], w.mean[1], w.mean[2]};
    model.applyAccel(a, w.temperature);
    total += std::abs(std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]) - 1.0);
  }
  return 1000.0 * total / static_cast<double>(windows.size());
}

CalibrationModel accelModel(const AccelFit& fit) {
  CalibrationModel model;
  model.accel = true;
  std::copy_n(fit.offset, 3, model.offset);
  std::copy_n(fit.scale, 3, model.scale);
  std::copy_n(fit.temperature, 3, model.temperature);
  model.referenceTemperature = fit.referenceTemperature;
  return model;
}

// Weighted least squares toward the closest point on the unit sphere, from
// `model` on; false when the windows leave it undetermined.
bool fitSphere(AccelFit& fit, const std::vector<StillWindow>& still, const CalibrationParameters& parameters,
               CalibrationModel& model) {
  const size_t n = still.size();
  const int terms = fit.temperatureTerm ? 3 : 2;
  std::vector<double> weights(n, 1.0), closest(3 * n), current(3 * n);
  const auto calibrated = [&](const CalibrationModel& m, std::vector<double>& out) {
    for (size_t i = 0; i < n; ++i) {
      double a[3] = {still[i].mean[0], still[i].mean[1], still[i].mean[2]};
      m.applyAccel(a, still[i].temperature);
      std::copy_n(a, 3, &out[3 * i]);
    }
  };
  calibrated(model, current);
  for (fit.iterations = 1; fit.iterations <= parameters.maxIterations; ++fit.iterations) {
    for (size_t i = 0; i < n; ++i) {
      const double* c = &current[3 * i];
      const double norm = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
      for (size_t k = 0; k < 3; ++k) closest[3 * i + k] = norm > 0 ? c[k] / norm : 0.0;
    }
    CalibrationModel next = model;
    bool solved = true;
    for (size_t k = 0; k < 3 && solved; ++k) {
      // closest = a + b * current + c * (T - Tref), by the windows' weights.
      double normal[3][3] = {}, rhs[3] = {};
      for (size_t i = 0; i < n; ++i) {
        const double x[3] = {1.0, current[3 * i + k], still[i].temperature - fit.referenceTemperature};
        for (int r = 0; r < terms; ++r) {
          rhs[r] += weights[i] * x[r] * closest[3 * i + k];
          for (int s = 0; s < terms; ++s) normal[r][s] += weights[i] * x[r] * x[s];
        }
      }
      solved = solve(normal, rhs, terms);
      if (!solved) break;
      // a + b * ((raw + offset) * scale + dT * t) + c * dT
      //   = (raw + offset + a / (b * scale)) * (b * scale) + dT * (b * t + c)
      next.offset[k] = model.offset[k] + rhs[0] / (rhs[1] * model.scale[k]);
      next.scale[k] = model.scale[k] * rhs[1];
      next.temperature[k] = model.temperature[k] * rhs[1] + (terms == 3 ? rhs[2] : 0.0);
    }
    if (!solved) return false;
    double moved = 0.0;
    for (int k = 0; k < 3; ++k)
      moved = std::max({moved, std::abs(next.offset[k] - model.offset[k]), std::abs(next.scale[k] - model.scale[k]),
                        std::abs(next.temperature[k] - model.temperature[k])});
    model = next;
    calibrated(model, current);
    for (size_t i = 0; i < n; ++i) {
      const double d[3] = {current[3 * i] - closest[3 * i], current[3 * i + 1] - closest[3 * i + 1],
                           current[3 * i + 2] - closest[3 * i + 2]};
      const double residual = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
      weights[i] = residual > 0 ? std::min(1.0 / residual, parameters.maxWeight) : parameters.maxWeight;
    }
    if (moved <= parameters.tolerance) break;
  }
  return true;
}

// Whether the fitted model stands, told in the fit's status.
void judgeAccel(AccelFit& fit, size_t windows, const CalibrationParameters& parameters) {
  double worstScale = 0.0, worstTemperature = 0.0;
  int scaleAxis = 0, temperatureAxis = 0;
  for (int k = 0; k < 3; ++k) {
    if (std::abs(fit.scale[k] - 1.0) > worstScale) worstScale = std::abs(fit.scale[k] - 1.0), scaleAxis = k;
    if (std::abs(fit.temperature[k]) > worstTemperature) worstTemperature = std::abs(fit.temperature[k]), temperatureAxis = k;
  }
  const char* refusal = "; the samples stay raw: record a calibration (six faces, still) and apply its file";
  if (!(fit.errorAfterMg < fit.errorBeforeMg)) {
    fit.status = format("the fit did not lower the error at rest (%.2f mg before, %.2f mg after)%s", fit.errorBeforeMg,
                        fit.errorAfterMg, refusal);
  } else if (!(fit.errorAfterMg < 1000.0 * parameters.maxErrorAfter)) {
    fit.status = format("the error at rest stays at %.2f mg after the fit (%.2f mg before), not below %.0f mg%s",
                        fit.errorAfterMg, fit.errorBeforeMg, 1000.0 * parameters.maxErrorAfter, refusal);
  } else if (!(worstScale <= parameters.maxScaleChange)) {
    fit.status = format("the scale of %s came out at %.4f, more than %.0f %% from 1%s", kAxes[scaleAxis],
                        fit.scale[scaleAxis], 100.0 * parameters.maxScaleChange, refusal);
  } else if (!(worstTemperature <= parameters.maxTemperature)) {
    fit.status = format("the temperature term of %s came out at %.2f mg per degree C, beyond %.0f%s",
                        kAxes[temperatureAxis], 1000.0 * fit.temperature[temperatureAxis],
                        1000.0 * parameters.maxTemperature, refusal);
  } else {
    fit.accepted = true;
    fit.status = format("calibrated: error at rest %.2f mg before, %.2f mg after, over %zu still windows%s",
                        fit.errorBeforeMg, fit.errorAfterMg, windows,
                        fit.temperatureTerm ? "" : " (no barometer: no temperature term)");
  }
}


}  // namespace

StillWindows collectStillWindows(const RecordingReader& reader, const CalibrationParameters& parameters) {
  StillWindows result;
  if (reader.count(kAccelKey) == 0) return result;
  const uint64_t piece = std::max<uint64_t>(reader.chunkSamples(), 1);
  const double length = parameters.windowSeconds;
  // A window with fewer than half its samples (a gap) tells too little.
  const double accelRate = reader.settings().accel.frequency, gyroRate = reader.settings().gyro.frequency;
  const uint64_t fewest = accelRate > 0 ? static_cast<uint64_t>(accelRate * length / 2) : 2;
  const uint64_t fewestGyro = gyroRate > 0 ? static_cast<uint64_t>(gyroRate * length / 2) : 2;
  std::unique_ptr<TemperatureTrack> temperature;
  result.temperature = reader.count(kBaroKey) > 0;
  GyroWindows gyro(reader.count(kGyroKey) > 0 ? reader.rawCursor(kGyroKey) : nullptr, piece);

  std::unique_ptr<StreamCursor> accel = reader.rawCursor(kAccelKey);
  SampleStream read;
  WindowSums sums;
  double origin = 0.0;
  int64_t window = -1;
  const auto close = [&] {
    if (sums.n == 0) return;
    ++result.windows;
    const double start = origin + static_cast<double>(window) * length;
    const WindowSums turning = gyro.sums(start, start + length);
    if (sums.n < std::max<uint64_t>(fewest, 2)) return;
    bool idle = sums.repeats * 2 > sums.n - 1, still = true;
    for (int k = 0; k < 3; ++k) {
      const double sd = sums.sd(k);
      idle = idle || sd == 0.0;
      still = still && sd < parameters.stillSd && std::abs(sums.mean(k)) < parameters.stillMean;
    }
    if (idle) {
      ++result.idle;
      return;
    }
    if (!still) return;
    StillWindow w;
    for (int k = 0; k < 3; ++k) w.mean[k] = sums.mean(k);
    w.temperature = result.temperature ? sums.temperature / static_cast<double>(sums.n) : 0.0;
    bool resting = turning.n >= std::max<uint64_t>(fewestGyro, 2);
    for (int k = 0; k < 3 && resting; ++k) {
      w.gyro[k] = turning.mean(k);
      resting = turning.sd(k) < parameters.restGyroSd && std::abs(w.gyro[k]) < parameters.restGyroMean;
    }
    w.gyroSeconds = resting ? (gyroRate > 0 ? static_cast<double>(turning.n) / gyroRate : length) : 0.0;
    result.still.push_back(w);
  };
  while (accel->read(read, piece) > 0) {
    if (window < 0) {
      origin = read.times[0];
      if (result.temperature) temperature = std::make_unique<TemperatureTrack>(reader, origin);
    }
    for (uint64_t i = 0; i < read.count; ++i) {
      const int64_t at = static_cast<int64_t>(std::floor((read.times[i] - origin) / length));
      if (at != window) {
        close();
        sums = WindowSums{};
        window = at;
      }
      const double v[3] = {read.value(0, i), read.value(1, i), read.value(2, i)};
      sums.add(v);
      if (temperature) sums.temperature += temperature->at(read.times[i]);
    }
  }
  close();
  return result;
}

AccelFit fitAccel(const StillWindows& windows, const CalibrationParameters& parameters) {
  AccelFit fit;
  const std::vector<StillWindow>& still = windows.still;
  fit.windows = still.size();
  fit.idleWindows = windows.idle;
  fit.temperatureTerm = windows.temperature;
  for (int k = 0; k < 3; ++k) {
    fit.lowest[k] = still.empty() ? 0.0 : still[0].mean[k];
    fit.highest[k] = fit.lowest[k];
    for (const StillWindow& w : still) fit.lowest[k] = std::min(fit.lowest[k], w.mean[k]), fit.highest[k] = std::max(fit.highest[k], w.mean[k]);
  }
  fit.errorBeforeMg = fit.errorAfterMg = sphereErrorMg(still, CalibrationModel{});
  if (still.size() < parameters.minWindows) {
    fit.status = format("too few still windows: %zu of the %llu needed (10 s with every axis's SD below 13 mg; %llu idle "
                        "left out); record the sensor still in several orientations, or apply a calibration file",
                        still.size(), static_cast<unsigned long long>(parameters.minWindows),
                        static_cast<unsigned long long>(windows.idle));
    return fit;
  }
  for (int k = 0; k < 3; ++k) {
    if (fit.lowest[k] < -parameters.coverage && fit.highest[k] > parameters.coverage) continue;
    fit.status = format("the still windows do not cover the sphere: %s lies from %.3f to %.3f g, where it needs below "
                        "-%.1f g and above +%.1f g; turn the sensor through six faces, or apply a calibration file",
                        kAxes[k], fit.lowest[k], fit.highest[k], parameters.coverage, parameters.coverage);
    return fit;
  }
  if (fit.temperatureTerm) {
    double sum = 0.0;
    for (const StillWindow& w : still) sum += w.temperature;
    fit.referenceTemperature = sum / static_cast<double>(still.size());
  }

  CalibrationModel model = accelModel(fit);
  if (!fitSphere(fit, still, parameters, model)) {
    fit.status = "the still windows leave the fit undetermined (all alike); turn the sensor through six faces";
    return fit;
  }
  fit.iterations = std::min(fit.iterations, parameters.maxIterations);
  std::copy_n(model.offset, 3, fit.offset);
  std::copy_n(model.scale, 3, fit.scale);
  std::copy_n(model.temperature, 3, fit.temperature);
  fit.errorAfterMg = sphereErrorMg(still, model);

  judgeAccel(fit, still.size(), parameters);
  return fit;
}

GyroFit fitGyro(const StillWindows& windows, const CalibrationParameters& parameters) {
  GyroFit fit;
  double sums[3] = {};
  for (const StillWindow& w : windows.still) {
    fit.restSeconds += w.gyroSeconds;
    for (int k = 0; k < 3; ++k) sums[k] += w.gyro[k] * w.gyroSeconds;
  }
  if (fit.restSeconds < parameters.minRestSeconds) {
    fit.status = format("only %.1f s of rest found (%.0f s needed): no bias removed", fit.restSeconds,
                        parameters.minRestSeconds);
    return fit;
  }
  for (int k = 0; k < 3; ++k) fit.bias[k] = sums[k] / fit.restSeconds;
  fit.found = true;
  fit.status = format("bias measured over %.1f s of rest", fit.restSeconds);
  return fit;
}

CalibrationModel CalibrationReport::model() const {
  CalibrationModel model;
  if (hasAccel && accel.accepted) model = accelModel(accel);
  if (!(hasAccel && accel.accepted)) model.accel = false;
  if (hasGyro && gyro.found) {
    model.gyro = true;
    std::copy_n(gyro.bias, 3, model.bias);
  }
  return model;
}

CalibrationReport calibrateRecording(const RecordingReader& reader, const CalibrationParameters& parameters) {
  CalibrationReport report;
  report.source = CalibrationSource::Fitted;
  report.deviceId = reader.settings().deviceId;
  report.hasAccel = reader.count(kAccelKey) > 0;
  report.hasGyro = reader.count(kGyroKey) > 0;
  const StillWindows windows = collectStillWindows(reader, parameters);
  if (report.hasAccel) report.accel = fitAccel(windows, parameters);
  else report.accel.status = "no accelerometer samples";
  if (report.hasGyro) report.gyro = fitGyro(windows, parameters);
  else report.gyro.status = "no gyroscope samples";
  return report;
}

std::string rawErrorWarning(const CalibrationReport& report, const CalibrationParameters& parameters) {
  const AccelFit& a = report.accel;
  if (!report.hasAccel || a.windows == 0 || !(a.errorBeforeMg > 1000.0 * parameters.warnErrorBefore)) return {};
  return format("the raw accelerometer is %.2f mg off 1 g at rest (over %llu still windows), above %.0f mg: %s",
                a.errorBeforeMg, static_cast<unsigned long long>(a.windows), 1000.0 * parameters.warnErrorBefore,
                a.accepted ? "the fit on its still moments mends that, and every table but the classic CSV applies it by "
                             "default (--calibrate auto)"
                           : "its own fit was refused; record a calibration (six faces, still) and apply its file "
                             "(--calibrate FILE.json)");
}

// ---- The report and its file.

namespace {

const char* sourceName(CalibrationSource source) {
  switch (source) {
    case CalibrationSource::Fitted: return "fitted";
    case CalibrationSource::File: return "file";
    default: return "off";
  }
}

void triple(JsonSink& json, const char* name, const double (&v)[3], double factor = 1.0) {
  json.key(name).beginArray();
  for (double x : v) json.value(x * factor);
  json.endArray();
}

void writeMembers(JsonSink& json, const CalibrationReport& report) {
  json.member("source", sourceName(report.source));
  if (!report.file.empty()) json.member("file", report.file);
  json.member("deviceId", report.deviceId);
  json.member("applied", !report.model().empty() && report.source != CalibrationSource::Off);
  json.key("accel");
  if (!report.hasAccel) {
    json.null();
  } else {
    const AccelFit& a = report.accel;
    json.beginObject();
    json.member("accepted", a.accepted);
    json.member("status", a.status);
    triple(json, "offset", a.offset);
    triple(json, "scale", a.scale);
    triple(json, "temperature", a.temperature);
    json.key("referenceTemperature");
    if (a.temperatureTerm) json.value(a.referenceTemperature);
    else json.null();
    json.member("errorBeforeMg", a.errorBeforeMg);
    json.member("errorAfterMg", a.errorAfterMg);
    json.member("windows", a.windows);
    json.member("idleWindows", a.idleWindows);
    json.member("iterations", static_cast<int32_t>(a.iterations));
    triple(json, "lowest", a.lowest);
    triple(json, "highest", a.highest);
    json.endObject();
  }
  json.key("gyro");
  if (!report.hasGyro) {
    json.null();
  } else {
    json.beginObject();
    json.member("accepted", report.gyro.found);
    json.member("status", report.gyro.status);
    triple(json, "bias", report.gyro.bias);
    json.member("restSeconds", report.gyro.restSeconds);
    json.endObject();
  }
}

}  // namespace

void writeCalibration(JsonSink& json, const CalibrationReport& report, bool warn) {
  json.beginObject();
  writeMembers(json, report);
  if (const std::string warning = warn ? rawErrorWarning(report) : std::string(); !warning.empty())
    json.member("warning", warning);
  json.endObject();
}

std::string calibrationFileText(const CalibrationReport& report) {
  std::string text = jsonText([&](JsonSink& json) {
    json.beginObject();
    json.member("format", kCalibrationFormat);
    writeMembers(json, report);
    json.endObject();
  });
  return text + '\n';
}

std::string calibrationJson(const CalibrationReport& report) {
  return jsonText([&](JsonSink& json) { writeCalibration(json, report); });
}

namespace {

[[noreturn]] void badFile(const char* path, const std::string& why) {
  throw CodedFailure("ERR_KINOVAR_CALIBRATION_FILE",
                     std::string(path) + ": not a calibration file (" + why +
                         "); give a file written by kinovar calibrate -o FILE.json");
}

bool numbers(const JsonValue* value, double (&out)[3]) {
  if (!value || value->type != JsonValue::Type::Array || value->items.size() != 3) return false;
  for (int k = 0; k < 3; ++k) {
    const JsonValue& item = value->items[static_cast<size_t>(k)];
    if (item.type != JsonValue::Type::Number || !std::isfinite(item.number)) return false;
    out[k] = item.number;
  }
  return true;
}

bool flag(const JsonValue* object, const char* name) {
  const JsonValue* value = object ? object->find(name) : nullptr;
  return value && value->type == JsonValue::Type::Bool && value->boolean;
}

}  // namespace

CalibrationReport readCalibrationFile(const char* utf8Path) {
  std::vector<uint8_t> bytes;
  int systemError = 0;
  if (!readFile(utf8Path, bytes, &systemError, 1 << 20))
    throw CodedFailure("ERR_KINOVAR_CALIBRATION_FILE", std::string(utf8Path) + ": the calibration file cannot be read (" +
                                                           std::strerror(systemError) + "); check the path");
  JsonValue root;
  std::string error;
  if (!parseJson(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), root, error))
    badFile(utf8Path, "no JSON: " + error);
  const JsonValue* device = root.find("deviceId");
  if (!device || device->type != JsonValue::Type::Number) badFile(utf8Path, "no deviceId");
  CalibrationReport report;
  report.source = CalibrationSource::File;
  report.file = utf8Path;
  report.deviceId = static_cast<int32_t>(device->number);
  const JsonValue* accel = root.find("accel");
  const JsonValue* gyro = root.find("gyro");
  if (accel && accel->type == JsonValue::Type::Object) {
    AccelFit& a = report.accel;
    report.hasAccel = true;
    a.accepted = flag(accel, "accepted");
    if (a.accepted && !(numbers(accel->find("offset"), a.offset) && numbers(accel->find("scale"), a.scale) &&
                        numbers(accel->find("temperature"), a.temperature)))
      badFile(utf8Path, "accel needs offset, scale and temperature, three numbers each");
    const JsonValue* reference = accel->find("referenceTemperature");
    a.temperatureTerm = reference && reference->type == JsonValue::Type::Number;
    a.referenceTemperature = a.temperatureTerm ? reference->number : 0.0;
    for (const char* name : {"errorBeforeMg", "errorAfterMg", "windows"}) {
      const JsonValue* v = accel->find(name);
      const double x = v && v->type == JsonValue::Type::Number ? v->number : 0.0;
      if (name[0] == 'w') a.windows = static_cast<uint64_t>(std::max(0.0, x));
      else (name[5] == 'B' ? a.errorBeforeMg : a.errorAfterMg) = x;
    }
    numbers(accel->find("lowest"), a.lowest);
    numbers(accel->find("highest"), a.highest);
  }
  if (gyro && gyro->type == JsonValue::Type::Object) {
    report.hasGyro = true;
    report.gyro.found = flag(gyro, "accepted");
    if (report.gyro.found && !numbers(gyro->find("bias"), report.gyro.bias))
      badFile(utf8Path, "gyro needs bias, three numbers");
    const JsonValue* rest = gyro->find("restSeconds");
    if (rest && rest->type == JsonValue::Type::Number) report.gyro.restSeconds = rest->number;
  }
  if (report.model().empty()) badFile(utf8Path, "it holds no accepted calibration");
  return report;
}

// ---- Applying the model.

TemperatureTrack::TemperatureTrack(const RecordingReader& reader, double from) {
  const uint64_t count = reader.count(kBaroKey);
  if (count == 0) return;
  // The last sample at or before `from`, found without reading the samples before it.
  uint64_t low = 0, high = count - 1;
  SampleStream one;
  while (low < high) {
    const uint64_t middle = low + (high - low + 1) / 2;
    reader.rawCursor(kBaroKey, middle)->read(one, 1);
    if (one.times[0] <= from) low = middle;
    else high = middle - 1;
  }
  cursor_ = reader.rawCursor(kBaroKey, low);
  if (!more()) return;
  t0_ = t1_, v0_ = v1_, have0_ = true;
  have1_ = more();
}

bool TemperatureTrack::more() {
  if (next_ >= piece_.count) {
    if (!cursor_ || cursor_->read(piece_, 4096) == 0) return false;
    next_ = 0;
  }
  t1_ = piece_.times[next_];
  v1_ = piece_.value(1, next_);
  ++next_;
  return true;
}

double TemperatureTrack::at(double time) {
  while (have1_ && t1_ <= time) {
    t0_ = t1_, v0_ = v1_;
    have1_ = more();
  }
  if (!have1_ || time <= t0_ || t1_ <= t0_) return v0_;
  return v0_ + (v1_ - v0_) * (time - t0_) / (t1_ - t0_);
}

AccelCorrector::AccelCorrector(const RecordingReader& reader, const CalibrationModel& model) : reader_(reader), model_(model) {}

AccelCorrector::~AccelCorrector() = default;

void AccelCorrector::apply(const double* time, double* x, double* y, double* z, uint64_t n) {
  if (n > 0 && !track_ && reader_.count(kBaroKey) > 0) track_ = std::make_unique<TemperatureTrack>(reader_, time[0]);
  for (uint64_t i = 0; i < n; ++i) {
    // Without a barometer the temperature term has nothing to act on.
    const double t = track_ ? track_->at(time[i]) : model_.referenceTemperature;
    double a[3] = {x[i], y[i], z[i]};
    model_.applyAccel(a, t);
    x[i] = a[0], y[i] = a[1], z[i] = a[2];
  }
}

namespace {

class CalibratedCursor : public StreamCursor {
 public:
  CalibratedCursor(const RecordingReader& reader, uint32_t key, std::unique_ptr<StreamCursor> raw,
                   const CalibrationModel& model)
      : key_(key), raw_(std::move(raw)), model_(model), accel_(reader, model_) {}

  uint64_t read(SampleStream& out, uint64_t max) override {
    const uint64_t n = raw_->read(out, max);
    double* v = out.values.data();
    if (key_ == kGyroKey) {
      for (uint64_t c = 0; c < 3; ++c)
        for (uint64_t i = 0; i < n; ++i) v[c * n + i] -= model_.bias[c];
    } else {
      accel_.apply(out.times.data(), v, v + n, v + 2 * n, n);
    }
    return n;
  }

 private:
  uint32_t key_;
  std::unique_ptr<StreamCursor> raw_;
  CalibrationModel model_;
  AccelCorrector accel_;  // after model_, which it holds
};

}  // namespace

void applyCalibration(RecordingReader& reader, const CalibrationModel& model) {
  if (model.empty()) return;
  const RecordingReader& source = reader;
  reader.wrapCursors([&source, model](uint32_t key, uint64_t, std::unique_ptr<StreamCursor> raw) -> std::unique_ptr<StreamCursor> {
    if ((key == kAccelKey && model.accel) || (key == kGyroKey && model.gyro))
      return std::make_unique<CalibratedCursor>(source, key, std::move(raw), model);
    return raw;
  });
}

}  // namespace kinovar

namespace kinovar {

namespace {

double numberOf(const JsonValue* object, const char* name) {
  const JsonValue* value = object ? object->find(name) : nullptr;
  return value && value->type == JsonValue::Type::Number ? value->number : std::nan("");
}

std::string textOf(const JsonValue* object, const char* name) {
  const JsonValue* value = object ? object->find(name) : nullptr;
  return value && value->type == JsonValue::Type::String ? value->text : std::string();
}

// Three values to `digits` places, apart by blanks.
std::string tripleText(const JsonValue* object, const char* name, int digits, double factor = 1.0) {
  const JsonValue* values = object ? object->find(name) : nullptr;
  std::string text;
  for (size_t k = 0; values && k < values->items.size(); ++k)
    text.append(k ? " " : "").append(jsFixed(values->items[k].number * factor, digits));
  return text;
}

const JsonValue* objectOf(const JsonValue& report, const char* name) {
  const JsonValue* value = report.find(name);
  return value && value->type == JsonValue::Type::Object ? value : nullptr;
}

}  // namespace

std::string calibrationSummary(const JsonValue& report) {
  const std::string source = textOf(&report, "source");
  if (source == "off") return "off: the samples are raw";
  std::string file = textOf(&report, "file");
  file = fileName(file);
  std::string text = !flag(&report, "applied") ? "raw: nothing could be fitted"
                     : source == "file" ? std::string("from ") + file + " (device " + jsNumber(numberOf(&report, "deviceId")) + ")"
                                        : "fitted on the recording's still moments";
  const JsonValue* accel = objectOf(report, "accel");
  if (flag(accel, "accepted")) {
    const double reference = numberOf(accel, "referenceTemperature");
    text.append("; accelerometer offset ").append(tripleText(accel, "offset", 4)).append(" g, scale ")
        .append(tripleText(accel, "scale", 5));
    if (reference == reference)
      text.append(", temperature ").append(tripleText(accel, "temperature", 3, 1000)).append(" mg/degC about ")
          .append(jsFixed(reference, 2)).append(" degC");
    // A file's errors are those of the recording it was fitted on.
    if (source == "fitted")
      text.append(" (error at rest ").append(jsFixed(numberOf(accel, "errorBeforeMg"), 2)).append(" mg raw, ")
          .append(jsFixed(numberOf(accel, "errorAfterMg"), 2)).append(" mg after)");
  } else if (accel) {
    text.append("; accelerometer raw (").append(textOf(accel, "status")).append(")");
  }
  const JsonValue* gyro = objectOf(report, "gyro");
  if (flag(gyro, "accepted")) text.append("; gyroscope bias ").append(tripleText(gyro, "bias", 3)).append(" deg/s removed");
  else if (gyro) text.append("; gyroscope raw (").append(textOf(gyro, "status")).append(")");
  return text;
}

std::string calibrationSummary(const CalibrationReport& report) {
  JsonValue parsed;
  std::string error;
  parseJson(calibrationJson(report), parsed, error);
  return calibrationSummary(parsed);
}

}  // namespace kinovar
