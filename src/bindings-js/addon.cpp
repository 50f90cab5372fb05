// Node-API face of the module: the five classic synchronous functions taking
// UTF-8 paths and returning the operation's text, then the entries lib/
// wraps (lib/native.js). Argument checks throw TypeError; nothing an
// operation raises may escape into the host uncaught.
#include <napi.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <map>
#include <new>
#include <span>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

#include "export/json.h"
#include "io/json_writer.h"
#include "io/paths.h"
#include "ops/load.h"
#include "io/output_file.h"
#include "ops/operations.h"
#include "reader/quality.h"
#include "settings/settings_record.h"

namespace {

using namespace kinovar;

bool checkArgs(const Napi::CallbackInfo& info, size_t minimum) {
  if (info.Length() < minimum) {
    Napi::TypeError::New(info.Env(), "Wrong number of arguments").ThrowAsJavaScriptException();
    return false;
  }
  return true;
}

// A JavaScript string may hold NUL characters; as a C path it would silently
// name a shorter file. Such a path is handed on as a name that no file has, so
// the operation answers as for a file that cannot be opened. Recording paths
// of a set become the empty name: it is well-formed, so the set's driver
// reports it as a recording that did not open instead of throwing.
std::string pathArgument(const Napi::Value& value, const char* unopenable = "\xFF") {
  std::string text = value.As<Napi::String>().Utf8Value();
  if (text.find('\0') != std::string::npos) return unopenable;
  return text;
}

void throwWrongArguments(Napi::Env env) {
  Napi::TypeError::New(env, "Wrong arguments").ThrowAsJavaScriptException();
}

// The first `count` arguments are strings; false after throwing.
bool stringArguments(const Napi::CallbackInfo& info, size_t count) {
  if (!checkArgs(info, count)) return false;
  for (size_t i = 0; i < count; ++i) {
    if (!info[i].IsString()) {
      throwWrongArguments(info.Env());
      return false;
    }
  }
  return true;
}

// Runs an operation and turns any C++ exception into a JavaScript Error with
// a code the host can switch on.
template <typename Operation>
Napi::Value guarded(Napi::Env env, Operation&& operation) {
  const char* code = "ERR_KINOVAR_INTERNAL";
  std::string message;
  try {
    if constexpr (std::is_same_v<decltype(operation()), std::string>)
      return Napi::String::New(env, operation());
    else
      return operation();
  } catch (const Napi::Error&) {
    throw;  // already a JavaScript error
  } catch (const std::bad_alloc&) {
    code = "ERR_KINOVAR_OUT_OF_MEMORY";
    message = "out of memory";
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "unknown native error";
  }
  Napi::Error error = Napi::Error::New(env, message);
  error.Set("code", Napi::String::New(env, code));
  error.ThrowAsJavaScriptException();
  return env.Undefined();
}

// A file system failure as Node reports its own: `code` is the system's
// name for it, `syscall` the step that failed, `path` the file.
Napi::Error systemError(Napi::Env env, const std::error_code& error, const char* step, const std::string& path) {
  const char* name = kinovar::errnoName(error.value());
  Napi::Error e = Napi::Error::New(env, std::string(name) + ": " + error.message() + ", " + step + " '" + path + "'");
  e.Set("code", Napi::String::New(env, name));
  e.Set("errno", Napi::Number::New(env, error.value()));
  e.Set("syscall", Napi::String::New(env, step));
  e.Set("path", Napi::String::New(env, path));
  return e;
}

// The options of a conversion from a plain object, as the JS layer passes
// them ({orientation: 'classic' | 'accurate' | 'none', format: 'csv' | 'plain',
// threads, inPlace: true when the outputs are its own temporary files});
// absent fields keep the classic behaviour. False after throwing a TypeError.
bool conversionOptions(const Napi::CallbackInfo& info, size_t index, kinovar::ConversionOptions& options) {
  Napi::Env env = info.Env();
  if (info.Length() <= index || info[index].IsUndefined()) return true;
  if (!info[index].IsObject()) {
    Napi::TypeError::New(env, "options must be an object").ThrowAsJavaScriptException();
    return false;
  }
  Napi::Value format = info[index].As<Napi::Object>().Get("format");
  if (!format.IsUndefined()) {
    const std::string name = format.IsString() ? format.As<Napi::String>().Utf8Value() : "";
    if (name == "csv") {
      options.format = kinovar::OutputFormat::ClassicCsv;
    } else if (name == "plain") {
      options.format = kinovar::OutputFormat::PlainCsv;
    } else {
      Napi::TypeError::New(env, "options.format must be 'csv' or 'plain'").ThrowAsJavaScriptException();
      return false;
    }
  }
  Napi::Value threads = info[index].As<Napi::Object>().Get("threads");
  if (!threads.IsUndefined()) {
    const double count = threads.IsNumber() ? threads.As<Napi::Number>().DoubleValue() : 0;
    if (!(count >= 1 && count <= 1024 && count == static_cast<double>(static_cast<unsigned>(count)))) {
      Napi::TypeError::New(env, "options.threads must be a whole number from 1 to 1024").ThrowAsJavaScriptException();
      return false;
    }
    options.threads = static_cast<unsigned>(count);
  }
  options.inPlace = info[index].As<Napi::Object>().Get("inPlace").ToBoolean().Value();
  Napi::Value orientation = info[index].As<Napi::Object>().Get("orientation");
  if (orientation.IsUndefined()) return true;
  const std::string name = orientation.IsString() ? orientation.As<Napi::String>().Utf8Value() : "";
  if (name == "classic") {
    options.estimator = kinovar::Estimator::Classic;
  } else if (name == "accurate") {
    options.estimator = kinovar::Estimator::Accurate;
  } else if (name == "none") {
    options.estimator = kinovar::Estimator::None;
  } else {
    Napi::TypeError::New(env, "options.orientation must be 'classic', 'accurate' or 'none'").ThrowAsJavaScriptException();
    return false;
  }
  return true;
}

// read, and with `withOptions` its variant for lib/api.js, which takes
// conversion options third, answers {"info":...,"quality":...} (or the error
// document alone), and throws the system's reason for a CSV file it could
// not write instead of answering the error document.
Napi::Value ReadRecording(const Napi::CallbackInfo& info, bool withOptions) {
  Napi::Env env = info.Env();
  if (!stringArguments(info, 2)) return env.Undefined();
  kinovar::ConversionOptions options;
  if (withOptions && !conversionOptions(info, 2, options)) return env.Undefined();
  std::string recording = pathArgument(info[0]);
  std::string csv = pathArgument(info[1]);
  if (!withOptions) return guarded(env, [&] { return kinovar::readRecording(recording.c_str(), csv.c_str(), options); });
  kinovar::OutputFailure failure;
  Napi::Value answer = guarded(env, [&] {
    kinovar::QualityReport quality;
    std::string answer = kinovar::readRecording(recording.c_str(), csv.c_str(), options, &quality, &failure);
    if (answer == kinovar::kErrorDocument) return answer;
    kinovar::JsonWriter json;
    json.beginObject().key("info");
    json.document(answer).key("quality");
    json.document(kinovar::qualityJson(quality)).endObject();
    return json.take();
  });
  if (failure.error && !env.IsExceptionPending()) {
    systemError(env, failure.error, failure.step, failure.path).ThrowAsJavaScriptException();
    return env.Undefined();
  }
  return answer;
}

// The quality report of a recording as JSON; empty when it cannot be parsed.
Napi::Value Inspect(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!stringArguments(info, 1)) return env.Undefined();
  std::string path = pathArgument(info[0]);
  return guarded(env, [&] { return kinovar::inspectRecording(path.c_str()); });
}

Napi::Value Read(const Napi::CallbackInfo& info) { return ReadRecording(info, false); }
Napi::Value ReadWithOptions(const Napi::CallbackInfo& info) { return ReadRecording(info, true); }

// The recording paths and folder of a set, or false after throwing.
bool setArguments(const Napi::CallbackInfo& info, std::vector<std::string>& paths, std::string& folder) {
  Napi::Env env = info.Env();
  if (!checkArgs(info, 2)) return false;
  if (!info[0].IsArray() || !info[1].IsString()) {
    throwWrongArguments(env);
    return false;
  }
  Napi::Array array = info[0].As<Napi::Array>();
  paths.assign(array.Length(), std::string());
  for (uint32_t i = 0; i < array.Length(); ++i) {
    Napi::Value element = array.Get(i);
    if (!element.IsString()) {
      throwWrongArguments(env);
      return false;
    }
    paths[i] = pathArgument(element, "");
  }
  folder = pathArgument(info[1]);
  return true;
}

template <typename T>
Napi::Array numbers(Napi::Env env, const std::vector<T>& values) {
  Napi::Array array = Napi::Array::New(env, values.size());
  for (uint32_t i = 0; i < values.size(); ++i) array.Set(i, Napi::Number::New(env, static_cast<double>(values[i])));
  return array;
}

const char* methodName(kinovar::SyncMethod method) {
  switch (method) {
    case kinovar::SyncMethod::TimeMarks: return "time-marks";
    case kinovar::SyncMethod::RadioSettings: return "radio-settings";
    case kinovar::SyncMethod::RadioStream: return "radio-stream";
    case kinovar::SyncMethod::None: break;
  }
  return "none";
}

const char* refusalName(kinovar::SyncRefusal refusal) {
  using kinovar::SyncRefusal;
  switch (refusal) {
    case SyncRefusal::TooFewRecordings: return "too-few-recordings";
    case SyncRefusal::NoMaster: return "no-master";
    case SyncRefusal::SeveralMasters: return "several-masters";
    case SyncRefusal::OtherChannel: return "other-channel";
    case SyncRefusal::NoRadioData: return "no-radio-data";
    case SyncRefusal::NoClock: return "no-clock";
    case SyncRefusal::NoCommonStreams: return "no-common-streams";
    case SyncRefusal::None: break;
  }
  return "none";
}

const char* streamName(uint32_t key) {
  switch (key) {
    case kinovar::kAccelKey: return "accel";
    case kinovar::kGyroKey: return "gyro";
    case kinovar::kBaroKey: return "baro";
    default: return "quaternion";
  }
}

// readAndSync2's answer: "OK", or the code of the first stage that failed.
const char* statusText(kinovar::SetFailure failure) {
  switch (failure) {
    case kinovar::SetFailure::Unparsed: return "-10";
    case kinovar::SetFailure::NoOrientation: return "-13";
    case kinovar::SetFailure::NotSynchronised: return "-11";
    case kinovar::SetFailure::Output: return "-12";
    case kinovar::SetFailure::None: break;
  }
  return "OK";
}

// The outcome of a set as a plain object: status, then what was done or why not.
Napi::Object setOutcome(Napi::Env env, const kinovar::SetOutcome& outcome) {
  using namespace kinovar;
  Napi::Object result = Napi::Object::New(env);
  result.Set("status", statusText(outcome.failure));
  const SyncReport& sync = outcome.sync;
  if (outcome.failure == SetFailure::Unparsed) {
    Napi::Array list = Napi::Array::New(env, outcome.unparsed.size());
    for (uint32_t i = 0; i < outcome.unparsed.size(); ++i) {
      const UnparsedRecording& u = outcome.unparsed[i];
      Napi::Object entry = Napi::Object::New(env);
      entry.Set("recording", static_cast<double>(u.recording));
      entry.Set("reason", u.reason == Unparsed::Missing         ? "unreadable"
                          : u.reason == Unparsed::NotARecording ? "not-a-recording"
                          : u.reason == Unparsed::CutShort      ? "cut-short"
                                                                : "unknown");
      if (u.reason == Unparsed::Missing) entry.Set("errno", u.systemError);
      list.Set(i, entry);
    }
    result.Set("unparsed", list);
  } else if (outcome.failure == SetFailure::NoOrientation) {
    result.Set("noOrientation", numbers(env, outcome.noOrientation));
  } else if (outcome.failure == SetFailure::NotSynchronised) {
    result.Set("method", methodName(sync.method));
    result.Set("refusal", refusalName(sync.refusal));
    result.Set("recordings", numbers(env, sync.recordings));
    result.Set("masters", sync.masters);
    if (sync.refusal == SyncRefusal::OtherChannel) {
      result.Set("channel", sync.channel);
      result.Set("channels", numbers(env, sync.channels));
    }
  } else if (outcome.failure == SetFailure::Output) {
    result.Set("output", outcome.output == OutputProblem::SameName            ? "same-name"
                         : outcome.output == OutputProblem::ReplacesRecording ? "replaces-recording"
                         : outcome.output == OutputProblem::DeviceName        ? "device-name"
                                                                              : "not-written");
    result.Set("recordings", numbers(env, outcome.outputRecordings));
    if (outcome.written.error) {
      // The system's reason for the first file not written, as Node gives its own.
      const Napi::Error error = systemError(env, outcome.written.error, outcome.written.step, outcome.written.path);
      result.Set("systemError", error.Value());
    }
  }
  if (!outcome.files.empty()) {
    Napi::Array files = Napi::Array::New(env, outcome.files.size());
    for (uint32_t i = 0; i < outcome.files.size(); ++i) files.Set(i, outcome.files[i]);
    result.Set("files", files);
  }
  if (outcome.failure == SetFailure::None && sync.method != SyncMethod::None) {
    result.Set("method", methodName(sync.method));
    result.Set("offsets", numbers(env, sync.offsets));
    Napi::Object window = Napi::Object::New(env);
    window.Set("start", sync.windowStart);
    window.Set("end", sync.windowEnd);
    result.Set("window", window);
    Napi::Array samples = Napi::Array::New(env, sync.samples.size());
    for (uint32_t i = 0; i < sync.samples.size(); ++i) {
      Napi::Object kept = Napi::Object::New(env);
      for (const SyncStreamCount& s : sync.samples[i]) kept.Set(streamName(s.key), static_cast<double>(s.samples));
      samples.Set(i, kept);
    }
    result.Set("samples", samples);
    result.Set("events", numbers(env, sync.events));
  }
  return result;
}

Napi::Value ReadAndSync(const Napi::CallbackInfo& info, bool withOptions) {
  Napi::Env env = info.Env();
  std::vector<std::string> paths;
  std::string folder;
  kinovar::ConversionOptions options;
  if (!setArguments(info, paths, folder)) return env.Undefined();
  if (withOptions && !conversionOptions(info, 2, options)) return env.Undefined();
  kinovar::OutputFailure failure;
  Napi::Value status = guarded(env, [&] {
    const kinovar::SetOutcome outcome = kinovar::readAndSyncSet(paths, folder, false, options);
    failure = outcome.written;
    return std::string(statusText(outcome.failure));
  });
  if (withOptions && failure.error && !env.IsExceptionPending()) {
    Napi::Error error = systemError(env, failure.error, failure.step, failure.path);
    error.Set("status", Napi::String::New(env, "-12"));
    error.ThrowAsJavaScriptException();
    return env.Undefined();
  }
  return status;
}

Napi::Value ReadAndSync2(const Napi::CallbackInfo& info) { return ReadAndSync(info, false); }
Napi::Value ReadAndSyncWithOptions(const Napi::CallbackInfo& info) { return ReadAndSync(info, true); }

// readAndSync2 told in full, printing nothing, with conversion options
// third: for the JavaScript layer.
Napi::Value ReadAndSyncReport(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::vector<std::string> paths;
  std::string folder;
  kinovar::ConversionOptions options;
  if (!setArguments(info, paths, folder) || !conversionOptions(info, 2, options)) return env.Undefined();
  return guarded(env,
                 [&]() -> Napi::Value { return setOutcome(env, kinovar::readAndSyncSet(paths, folder, true, options)); });
}

Napi::Value ReadConfig(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!stringArguments(info, 1)) return env.Undefined();
  std::string path = pathArgument(info[0]);
  return guarded(env, [&] { return kinovar::readConfig(path.c_str()); });
}

Napi::Value WriteConfig(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!stringArguments(info, 2)) return env.Undefined();
  std::string path = pathArgument(info[0]);
  std::string text = info[1].As<Napi::String>().Utf8Value();
  // Cut at a NUL, the text would be written as less than the host sent.
  if (text.find('\0') != std::string::npos) return Napi::String::New(env, "ERROR");
  return guarded(env, [&] {
    return std::string(kinovar::writeConfig(path.c_str(), text.c_str()) ? "OK" : "ERROR");
  });
}

Napi::Value ReadConfigDeviceId(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!stringArguments(info, 1)) return env.Undefined();
  std::string path = pathArgument(info[0]);
  return guarded(env, [&] { return kinovar::readConfigDeviceId(path.c_str()); });
}

// The C++ rules that lib/api.js applies before converting, so that the two never differ.
Napi::Value FileStem(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) {
    throwWrongArguments(env);
    return env.Undefined();
  }
  return Napi::String::New(env, kinovar::fileStem(info[0].As<Napi::String>().Utf8Value()));
}

// Whether a recording's first block (a Buffer of at least 512 bytes) holds a settings record.
Napi::Value HasSettingsRecord(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsBuffer() || info[0].As<Napi::Buffer<uint8_t>>().Length() < kinovar::kSettingsBlockSize) {
    throwWrongArguments(env);
    return env.Undefined();
  }
  return Napi::Boolean::New(env, kinovar::firstSettingsRecord(info[0].As<Napi::Buffer<uint8_t>>().Data()) >= 0);
}

// ---- Entry points the JavaScript layer wraps (lib/data.js); not part of the
// five classic functions.

// Hands a vector's memory to JavaScript as it is. Where the runtime forbids
// buffers outside its own heap (Electron's memory cage) the values are copied.
Napi::ArrayBuffer takeBuffer(Napi::Env env, std::vector<double>&& values) {
  const size_t bytes = values.size() * sizeof(double);
  if (bytes > 0) {
    auto* owned = new std::vector<double>(std::move(values));
    napi_value buffer;
    const napi_status status = napi_create_external_arraybuffer(
        env, owned->data(), bytes,
        [](napi_env, void*, void* hint) { delete static_cast<std::vector<double>*>(hint); }, owned, &buffer);
    if (status == napi_ok) return Napi::ArrayBuffer(env, buffer);
    values = std::move(*owned);
    delete owned;
    if (status != 22 /* napi_no_external_buffers_allowed */) NAPI_THROW_IF_FAILED(env, status, Napi::ArrayBuffer());
  }
  Napi::ArrayBuffer copy = Napi::ArrayBuffer::New(env, bytes);
  if (bytes) std::memcpy(copy.Data(), values.data(), bytes);
  return copy;
}

// One stream as {divisor, time, <channel>: Float64Array, ...}; the channels
// are views into the stream's one channel-major buffer.
Napi::Object streamObject(Napi::Env env, const TableColumn& column, int32_t rate,
                          std::initializer_list<const char*> names) {
  SampleStream& stream = const_cast<SampleStream&>(*column.stream);
  const uint64_t n = stream.count;
  Napi::Object object = Napi::Object::New(env);
  object.Set("divisor", Napi::Number::New(env, static_cast<double>(column.divisor)));
  object.Set("rate", Napi::Number::New(env, rate));
  object.Set("time", Napi::Float64Array::New(env, n, takeBuffer(env, std::move(stream.times)), 0));
  Napi::ArrayBuffer values = takeBuffer(env, std::move(stream.values));
  size_t c = 0;
  for (const char* name : names) object.Set(name, Napi::Float64Array::New(env, n, values, c++ * n * sizeof(double)));
  return object;
}

// The streams the table has, in its column order, taken out of the map.
Napi::Object recordingObject(Napi::Env env, const std::string& info, const std::string& quality,
                             const DeviceSettings& settings, StreamMap& streams) {
  const TableLayout table = tableLayout(settings, streams);
  Napi::Object result = Napi::Object::New(env);
  result.Set("info", Napi::String::New(env, info));
  result.Set("quality", Napi::String::New(env, quality));
  result.Set("rows", Napi::Number::New(env, static_cast<double>(table.rows)));
  result.Set("frequency", Napi::Number::New(env, settings.frequency));
  Napi::Object out = Napi::Object::New(env);
  const int32_t gyroRate = settings.gyro.frequency;
  if (table.gyro.stream) out.Set("gyro", streamObject(env, table.gyro, gyroRate, {"x", "y", "z"}));
  if (table.accel.stream) out.Set("accel", streamObject(env, table.accel, settings.accel.frequency, {"x", "y", "z"}));
  if (table.baro.stream)
    out.Set("baro", streamObject(env, table.baro, settings.baro.frequency, {"pressure", "temperature"}));
  if (table.event.stream) out.Set("events", streamObject(env, table.event, 0, {"value"}));
  if (table.quaternion.stream) out.Set("orientation", streamObject(env, table.quaternion, gyroRate, {"w", "x", "y", "z"}));
  result.Set("streams", out);
  return result;
}

// loadRecording(path, options) -> {parsed, info, rows, frequency, streams}
Napi::Value LoadRecording(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!stringArguments(info, 1)) return env.Undefined();
  ConversionOptions options;
  if (!conversionOptions(info, 1, options)) return env.Undefined();
  std::string path = pathArgument(info[0]);
  return guarded(env, [&]() -> Napi::Value {
    LoadedRecording loaded = loadRecording(path.c_str(), options);
    Napi::Object result = recordingObject(env, loaded.info, loaded.quality, loaded.recording.settings, loaded.recording.streams);
    result.Set("parsed", Napi::Boolean::New(env, loaded.parsed));
    return result;
  });
}

std::vector<std::string> pathList(const Napi::Value& value, bool& ok) {
  std::vector<std::string> paths;
  ok = value.IsArray();
  if (!ok) return paths;
  Napi::Array array = value.As<Napi::Array>();
  for (uint32_t i = 0; i < array.Length() && ok; ++i) {
    ok = array.Get(i).IsString();
    if (ok) paths.push_back(pathArgument(array.Get(i), ""));
  }
  return paths;
}

// loadRecordingSet(paths, options) -> {status, recordings: [...]}
Napi::Value LoadRecordingSet(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!checkArgs(info, 1)) return env.Undefined();
  bool pathsOk = false;
  const std::vector<std::string> paths = pathList(info[0], pathsOk);
  if (!pathsOk) {
    throwWrongArguments(env);
    return env.Undefined();
  }
  ConversionOptions options;
  if (!conversionOptions(info, 1, options)) return env.Undefined();
  return guarded(env, [&]() -> Napi::Value {
    LoadedSet set = loadRecordingSet(paths, options);
    Napi::Object result = setOutcome(env, set.outcome);
    Napi::Array recordings = Napi::Array::New(env, set.recordings.size());
    for (size_t i = 0; i < set.recordings.size(); ++i) {
      Recording& recording = set.recordings[i];
      recordings.Set(static_cast<uint32_t>(i), recordingObject(env, set.infos[i], set.qualities[i], recording.settings, recording.streams));
    }
    result.Set("recordings", recordings);
    return result;
  });
}

// convertRecordingSet(recordings, outputs, options): what readAndSyncReport tells,
// each recording written to its own output file.
Napi::Value ConvertRecordingSet(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!checkArgs(info, 2)) return env.Undefined();
  bool recordingsOk = false, outputsOk = false;
  const std::vector<std::string> paths = pathList(info[0], recordingsOk);
  const std::vector<std::string> outputs = pathList(info[1], outputsOk);
  if (!recordingsOk || !outputsOk || outputs.size() != paths.size()) {
    throwWrongArguments(env);
    return env.Undefined();
  }
  ConversionOptions options;
  if (!conversionOptions(info, 2, options)) return env.Undefined();
  return guarded(env, [&]() -> Napi::Value { return setOutcome(env, readAndSyncInto(paths, outputs, options)); });
}

// The bytes of the page's pyramids, {budget} of the options at index.
uint64_t viewBudget(const Napi::CallbackInfo& info, size_t index) {
  uint64_t budget = 16'000'000;
  if (info.Length() > index && info[index].IsObject()) {
    Napi::Value value = info[index].As<Napi::Object>().Get("budget");
    if (value.IsNumber() && value.As<Napi::Number>().DoubleValue() >= 1)
      budget = static_cast<uint64_t>(value.As<Napi::Number>().Int64Value());
  }
  return budget;
}

// The viewer's data of samples already in memory (a Parquet file read in JS):
// viewSamples(streams, created, {budget, quality}), streams shaped as
// loadRecording gives them ({accel: {time, x, y, z}, ...}, Float64Arrays).
Napi::Value ViewSamples(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!checkArgs(info, 2)) return env.Undefined();
  if (!info[0].IsObject() || !info[1].IsString()) {
    throwWrongArguments(env);
    return env.Undefined();
  }
  struct Layout {
    const char* name;
    uint32_t key;
    std::vector<const char*> channels;
  };
  static const Layout layouts[] = {{"accel", kAccelKey, {"x", "y", "z"}},
                                   {"gyro", kGyroKey, {"x", "y", "z"}},
                                   {"baro", kBaroKey, {"pressure", "temperature"}},
                                   {"events", kEventKey, {"value"}},
                                   {"orientation", kQuaternionKey, {"w", "x", "y", "z"}}};
  Napi::Object given = info[0].As<Napi::Object>();
  auto doubles = [](const Napi::Value& value, size_t n) -> const double* {
    if (!value.IsTypedArray() || value.As<Napi::TypedArray>().TypedArrayType() != napi_float64_array) return nullptr;
    Napi::Float64Array array = value.As<Napi::Float64Array>();
    return array.ElementLength() == n ? array.Data() : nullptr;
  };
  StreamMap streams;
  for (const Layout& layout : layouts) {
    Napi::Value value = given.Get(layout.name);
    if (value.IsUndefined()) continue;
    Napi::Value time = value.IsObject() ? value.As<Napi::Object>().Get("time") : env.Undefined();
    const size_t n = time.IsTypedArray() ? time.As<Napi::TypedArray>().ElementLength() : 0;
    const double* times = doubles(time, n);
    if (!times) {
      Napi::TypeError::New(env, std::string(layout.name) + ": time must be a Float64Array").ThrowAsJavaScriptException();
      return env.Undefined();
    }
    SampleStream stream(layout.channels.size(), n);
    std::copy(times, times + n, stream.times.begin());
    for (size_t c = 0; c < layout.channels.size(); ++c) {
      const double* values = doubles(value.As<Napi::Object>().Get(layout.channels[c]), n);
      if (!values) {
        Napi::TypeError::New(env, std::string(layout.name) + "." + layout.channels[c] +
                                      ": must be a Float64Array as long as its time")
            .ThrowAsJavaScriptException();
        return env.Undefined();
      }
      std::copy(values, values + n, stream.values.data() + c * n);
    }
    streams.emplace(layout.key, std::move(stream));
  }
  std::string quality;
  if (info.Length() > 2 && info[2].IsObject()) {
    Napi::Value q = info[2].As<Napi::Object>().Get("quality");
    if (q.IsString()) quality = q.As<Napi::String>().Utf8Value();
  }
  const std::string created = info[1].As<Napi::String>().Utf8Value();
  return guarded(env, [&]() -> Napi::Value {
    const std::vector<uint8_t> page = viewSamples(streams, created, viewBudget(info, 2), quality);
    return Napi::Buffer<uint8_t>::Copy(env, page.data(), page.size());
  });
}

// The viewer's data of a recording ("recording") or a classic CSV ("csv"),
// as a Buffer: viewData(path, kind, {orientation, budget}). A file that is not
// what it should be throws an Error with code ERR_KINOVAR_FORMAT and its path.
Napi::Value ViewData(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!stringArguments(info, 2)) return env.Undefined();
  kinovar::ConversionOptions options;
  if (!conversionOptions(info, 2, options)) return env.Undefined();
  const uint64_t budget = viewBudget(info, 2);
  const std::string path = pathArgument(info[0]);
  const bool csv = info[1].As<Napi::String>().Utf8Value() == "csv";
  std::vector<uint8_t> page;
  std::string error;
  bool ok = false;
  const char* code = "ERR_KINOVAR_FORMAT";
  try {
    ok = csv ? kinovar::viewClassicCsv(path.c_str(), budget, page, error)
             : kinovar::viewRecording(path.c_str(), options, budget, page, error);
  } catch (const std::bad_alloc&) {
    code = "ERR_KINOVAR_OUT_OF_MEMORY";
    error = "out of memory";
  }
  if (!ok) {
    Napi::Error failure = Napi::Error::New(env, path + ": " + error);
    failure.Set("code", Napi::String::New(env, code));
    failure.Set("path", Napi::String::New(env, path));
    failure.ThrowAsJavaScriptException();
    return env.Undefined();
  }
  return Napi::Buffer<uint8_t>::Copy(env, page.data(), page.size());
}

// The bytes of a Uint8Array, or of a string taken as UTF-8; false when the
// value is neither.
bool bytesArgument(const Napi::Value& value, std::string& text, std::span<const uint8_t>& bytes) {
  if (value.IsString()) {
    text = value.As<Napi::String>().Utf8Value();
    bytes = {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
    return true;
  }
  if (!value.IsTypedArray()) return false;
  Napi::TypedArray array = value.As<Napi::TypedArray>();
  bytes = {static_cast<const uint8_t*>(array.ArrayBuffer().Data()) + array.ByteOffset(), array.ByteLength()};
  return true;
}

// replaceFiles(paths, contents): each content (a Uint8Array or a string,
// taken as UTF-8) becomes its file's whole content, each file taking its name
// only once all are complete. Throws the system's error for the first file
// that could not be written; the files then keep their content.
Napi::Value ReplaceFiles(const Napi::CallbackInfo& info, bool one) {
  Napi::Env env = info.Env();
  if (!checkArgs(info, 2)) return env.Undefined();
  std::vector<std::string> paths;
  std::vector<Napi::Value> values;
  if (one && info[0].IsString()) {
    paths.push_back(info[0].As<Napi::String>().Utf8Value());
    values.push_back(info[1]);
  } else if (!one && info[0].IsArray() && info[1].IsArray() &&
             info[0].As<Napi::Array>().Length() == info[1].As<Napi::Array>().Length()) {
    Napi::Array names = info[0].As<Napi::Array>(), contents = info[1].As<Napi::Array>();
    for (uint32_t i = 0; i < names.Length(); ++i) {
      if (!names.Get(i).IsString()) break;
      paths.push_back(names.Get(i).As<Napi::String>().Utf8Value());
      values.push_back(contents.Get(i));
    }
    if (paths.size() != names.Length()) paths.clear(), values.assign(1, env.Undefined());
  } else {
    values.push_back(env.Undefined());
  }
  std::vector<std::string> texts(values.size());
  std::vector<std::span<const uint8_t>> contents(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    if (!bytesArgument(values[i], texts[i], contents[i])) {
      throwWrongArguments(env);
      return env.Undefined();
    }
  }
  for (const std::string& path : paths) {
    if (path.find('\0') != std::string::npos) {
      systemError(env, std::make_error_code(std::errc::invalid_argument), "open", path).ThrowAsJavaScriptException();
      return env.Undefined();
    }
  }
  kinovar::OutputFailure failure;
  Napi::Value done = guarded(env, [&]() -> Napi::Value {
    kinovar::replaceFiles(paths, contents, &failure);
    return env.Undefined();
  });
  if (failure.error && !env.IsExceptionPending()) {
    systemError(env, failure.error, failure.step, failure.path).ThrowAsJavaScriptException();
  }
  return done;
}

Napi::Value ReplaceFile(const Napi::CallbackInfo& info) { return ReplaceFiles(info, true); }
Napi::Value ReplaceFilesOfSet(const Napi::CallbackInfo& info) { return ReplaceFiles(info, false); }

// outputClash(paths): the first two output paths that the file system would
// file under one name, as [first, second], or null when all differ.
Napi::Value OutputClash(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  bool ok = false;
  const std::vector<std::string> paths = info.Length() < 1 ? std::vector<std::string>{} : pathList(info[0], ok);
  if (!ok) {
    throwWrongArguments(env);
    return env.Undefined();
  }
  std::map<std::string, uint32_t> seen;
  for (uint32_t i = 0; i < paths.size(); ++i) {
    const auto [first, fresh] = seen.emplace(kinovar::outputNameKey(paths[i]), i);
    if (fresh) continue;
    Napi::Array pair = Napi::Array::New(env, 2);
    pair.Set(0u, first->second);
    pair.Set(1u, i);
    return pair;
  }
  return env.Null();
}

// isDeviceName(path): whether Windows opens a device, not a file, under the
// path's file name (on every platform, for messages about Windows).
Napi::Value IsDeviceName(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) {
    throwWrongArguments(env);
    return env.Undefined();
  }
  return Napi::Boolean::New(env, kinovar::reservedDeviceName(info[0].As<Napi::String>().Utf8Value()));
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  exports.Set("read", Napi::Function::New(env, Read, "read"));
  exports.Set("readAndSync2", Napi::Function::New(env, ReadAndSync2, "readAndSync2"));
  exports.Set("readConfig", Napi::Function::New(env, ReadConfig, "readConfig"));
  exports.Set("writeConfig", Napi::Function::New(env, WriteConfig, "writeConfig"));
  exports.Set("readConfigDeviceId", Napi::Function::New(env, ReadConfigDeviceId, "readConfigDeviceId"));
  // For lib/api.js: the two conversions with their options, and whole-file writes.
  exports.Set("readWithOptions", Napi::Function::New(env, ReadWithOptions, "readWithOptions"));
  exports.Set("readAndSyncWithOptions", Napi::Function::New(env, ReadAndSyncWithOptions, "readAndSyncWithOptions"));
  exports.Set("inspect", Napi::Function::New(env, Inspect, "inspect"));
  exports.Set("fileStem", Napi::Function::New(env, FileStem, "fileStem"));
  exports.Set("hasSettingsRecord", Napi::Function::New(env, HasSettingsRecord, "hasSettingsRecord"));
  exports.Set("loadRecording", Napi::Function::New(env, LoadRecording, "loadRecording"));
  exports.Set("loadRecordingSet", Napi::Function::New(env, LoadRecordingSet, "loadRecordingSet"));
  exports.Set("convertRecordingSet", Napi::Function::New(env, ConvertRecordingSet, "convertRecordingSet"));
  exports.Set("readAndSyncReport", Napi::Function::New(env, ReadAndSyncReport, "readAndSyncReport"));
  exports.Set("viewData", Napi::Function::New(env, ViewData, "viewData"));
  exports.Set("viewSamples", Napi::Function::New(env, ViewSamples, "viewSamples"));
  exports.Set("replaceFile", Napi::Function::New(env, ReplaceFile, "replaceFile"));
  exports.Set("replaceFiles", Napi::Function::New(env, ReplaceFilesOfSet, "replaceFiles"));
  exports.Set("outputClash", Napi::Function::New(env, OutputClash, "outputClash"));
  exports.Set("isDeviceName", Napi::Function::New(env, IsDeviceName, "isDeviceName"));
  return exports;
}

}  // namespace

NODE_API_MODULE(addon, Init)
