// Conversions to files, and the reports of one recording.
#include "bindings-js/native/native.h"
#include "reader/calendar.h"

namespace kinovar::native {

// convertRecording(recording, target, options) -> {info, quality}, or null
// when the CSV file was not written for no reason the system gave; throws
// the system's reason when it gave one. A recording without samples writes
// nothing.
Napi::Value ConvertRecording(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  ConversionOptions options;
  if (info.Length() < 2 || !info[0].IsString() || !info[1].IsString() || !conversionOptions(info[2], options))
    return wrongArguments(env, "convertRecording");
  options.writeEmpty = false;  // the layer refuses a recording without samples: its target stays as it was
  const std::string recording = pathArgument(info[0]), csv = pathArgument(info[1]);
  OutputFailure failure;
  Napi::Value answer = run(env, [&]() -> Napi::Value {
    DeviceSettings settings;
    QualityReport quality;
    CalibrationReport calibration;
    if (!convertRecording(recording.c_str(), csv.c_str(), options, settings, &quality, &failure, &calibration))
      return env.Null();
    Napi::Object result = Napi::Object::New(env);
    result.Set("info", document(env, [&](JsonSink& json) { writeRecordingInfo(json, settings); }));
    result.Set("quality", document(env, [&](JsonSink& json) { writeQuality(json, quality); }));
    result.Set("calibration", calibrationObject(env, calibration));
    return result;
  });
  if (failure.error && !env.IsExceptionPending()) {
    systemError(env, failure).ThrowAsJavaScriptException();
    return env.Undefined();
  }
  return answer;
}

// A set conversion's arguments: (recordings, folder, options); false when
// they are wrong.
bool setArguments(const Napi::CallbackInfo& info, std::vector<std::string>& paths, std::string& folder,
                  ConversionOptions& options) {
  if (info.Length() < 2 || !pathList(info[0], paths) || !info[1].IsString() || !conversionOptions(info[2], options))
    return false;
  folder = pathArgument(info[1]);
  return true;
}

// convertSet(recordings, folder, options) -> the set's outcome, printing
// nothing; the CSV files, <folder>/<stem>.csv, take their names together
// once all are complete, plain ones with their set.json.
Napi::Value ConvertSet(const Napi::CallbackInfo& info) {
  std::vector<std::string> paths;
  std::string folder;
  ConversionOptions options;
  if (!setArguments(info, paths, folder, options)) return wrongArguments(info.Env(), "convertSet");
  return run(info.Env(), [&]() -> Napi::Value {
    return setOutcome(info.Env(), readAndSyncSet(paths, folder, true, options));
  });
}

// convertOpenSim(recordings, folder, options) -> the set's outcome:
// OpenSim's table, <folder>/orientations.sto, its columns named by
// options.names, and its set.json, taking their names together.
Napi::Value ConvertOpenSim(const Napi::CallbackInfo& info) {
  std::vector<std::string> paths, names;
  std::string folder;
  ConversionOptions options;
  if (!setArguments(info, paths, folder, options) || !info[2].IsObject()) return wrongArguments(info.Env(), "convertOpenSim");
  const Napi::Value given = info[2].As<Napi::Object>().Get("names");
  if (!given.IsArray()) return wrongArguments(info.Env(), "convertOpenSim");
  for (uint32_t i = 0; i < given.As<Napi::Array>().Length(); ++i) {
    const Napi::Value name = given.As<Napi::Array>().Get(i);
    if (!name.IsString()) return wrongArguments(info.Env(), "convertOpenSim");
    names.push_back(name.As<Napi::String>().Utf8Value());
  }
  if (names.size() != paths.size()) return wrongArguments(info.Env(), "convertOpenSim");
  return run(info.Env(), [&]() -> Napi::Value {
    return setOutcome(info.Env(), writeOpenSimSet(paths, folder, names, options));
  });
}

// calibrationSummary(report) -> what a calibration report (as the
// conversions give it) did to the samples, on one line.
Napi::Value CalibrationSummary(const Napi::CallbackInfo& info) {
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(info.Env(), "calibrationSummary");
  JsonValue report;
  std::string error;
  if (!parseJson(info[0].As<Napi::String>().Utf8Value(), report, error)) return wrongArguments(info.Env(), "calibrationSummary");
  return Napi::String::New(info.Env(), calibrationSummary(report));
}

// inspect(recording[, {cancel}]) -> the quality report with the
// calibration its still moments give ("calibration", and "warning" in it
// when the raw error at rest is large), or null when the file is not a
// recording that could be read to its end.
Napi::Value Inspect(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "inspect");
  const std::string path = pathArgument(info[0]);
  const CancelToken cancel = cancelOf(info.Length() > 1 ? info[1] : env.Undefined());
  return run(env, [&]() -> Napi::Value {
    QualityReport report;
    CalibrationReport calibration;
    if (!inspectRecording(path.c_str(), report, cancel, &calibration)) return env.Null();
    return document(env, [&](JsonSink& json) { writeInspection(json, report, calibration); });
  });
}

// dateProblem(year, month, day, hour, minute, second) -> why they are no
// real date and time, or "".
Napi::Value DateProblem(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  int64_t fields[6];
  for (size_t i = 0; i < 6; ++i) {
    if (info.Length() < 6 || !info[i].IsNumber()) return wrongArguments(env, "dateProblem");
    fields[i] = info[i].As<Napi::Number>().Int64Value();
  }
  return Napi::String::New(env, dateProblem(fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]));
}

// calibrate(recording[, {cancel}[, out, durable]]) -> the calibration its own
// still moments give, or null when the file is not a recording that could be
// read to its end; with `out`, also written there as a calibration file
// (throws the system's reason when it cannot be).
Napi::Value Calibrate(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "calibrate");
  const std::string path = pathArgument(info[0]);
  const CancelToken cancel = cancelOf(info.Length() > 1 ? info[1] : env.Undefined());
  const bool toFile = info.Length() > 2 && info[2].IsString();
  const std::string out = toFile ? pathArgument(info[2]) : std::string();
  const bool durable = info.Length() > 3 && info[3].ToBoolean().Value();
  OutputFailure failure;
  Napi::Value answer = run(env, [&]() -> Napi::Value {
    CalibrationReport report;
    if (!calibrateRecordingFile(path.c_str(), report, cancel)) return env.Null();
    if (toFile && !writeCalibrationFile(out.c_str(), report, durable, &failure) && !failure.error)
      throw std::runtime_error(out + ": the calibration file was not written");
    return calibrationObject(env, report);
  });
  if (failure.error && !env.IsExceptionPending()) {
    systemError(env, failure).ThrowAsJavaScriptException();
    return env.Undefined();
  }
  return answer;
}

// ticksOffClock(clock, rate) -> clock ticks per sample when the rate does
// not divide the clock, else 0.
Napi::Value TicksOffClock(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 2 || !info[0].IsNumber() || !info[1].IsNumber()) return wrongArguments(env, "ticksOffClock");
  return Napi::Number::New(env, ticksOffClock(info[0].As<Napi::Number>().Int32Value(), info[1].As<Napi::Number>().Int32Value()));
}

}  // namespace kinovar::native
