// The JavaScript layer's entry (lib/native.js), a module of its own so that
// the classic module keeps its five functions. Its functions take plain
// option objects the layer has already checked, return objects, and throw
// the one error class the layer hands in at load (init), each with a code.
#include <napi.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bindings-js/binding.h"
#include "io/memory.h"
#include "ops/epochs.h"
#include "ops/load.h"
#include "ops/names.h"
#include "ops/operations.h"
#include "reader/calendar.h"

namespace {

using namespace kinovar;
using namespace kinovar::binding;

// ---- Errors: the class handed in at init, per instance of the module.

struct Instance {
  Napi::FunctionReference errorClass;
};

Napi::Error makeError(Napi::Env env, const std::string& message, const char* code,
                      Napi::Object details = Napi::Object()) {
  Instance* instance = env.GetInstanceData<Instance>();
  if (details.IsEmpty()) details = Napi::Object::New(env);
  if (!instance || instance->errorClass.IsEmpty()) {
    Napi::Error error = Napi::Error::New(env, "kinovar: the native entry was used before init; " + message);
    error.Set("code", Napi::String::New(env, code));
    return error;
  }
  Napi::Value error = instance->errorClass.New({Napi::String::New(env, message), Napi::String::New(env, code), details});
  return Napi::Error(env, error);
}

// An argument the JavaScript layer should have checked: a fault of the layer.
Napi::Value wrongArguments(Napi::Env env, const char* entry) {
  makeError(env, std::string(entry) + ": wrong arguments", "ERR_KINOVAR_INTERNAL").ThrowAsJavaScriptException();
  return env.Undefined();
}

template <typename Operation>
Napi::Value run(Napi::Env env, Operation&& operation) {
  return guarded(env, operation, [&](const char* code, const std::string& message) {
    makeError(env, message, code).ThrowAsJavaScriptException();
  });
}

// A file system failure as Node reports its own: `code` is the system's
// name for it, `syscall` the step that failed, `path` the file.
Napi::Error systemError(Napi::Env env, const OutputFailure& failure) {
  const char* name = errnoName(failure.error.value());
  Napi::Object details = Napi::Object::New(env);
  details.Set("errno", failure.error.value());
  details.Set("syscall", failure.step);
  details.Set("path", failure.path);
  return makeError(env, std::string(name) + ": " + failure.error.message() + ", " + failure.step + " '" + failure.path + "'",
                   name, details);
}

Napi::Value Init(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsFunction()) return wrongArguments(env, "init");
  Instance* instance = env.GetInstanceData<Instance>();
  if (!instance) {
    instance = new Instance();
    env.SetInstanceData(instance);
  }
  instance->errorClass = Napi::Persistent(info[0].As<Napi::Function>());
  return env.Undefined();
}

// ---- Documents as JavaScript values, written by the core's document writers.

class ValueSink : public JsonSink {
 public:
  explicit ValueSink(Napi::Env env) : env_(env) {}
  Napi::Value result() const { return result_; }

 protected:
  void open(bool array) override {
    Napi::Value value = array ? Napi::Array::New(env_).As<Napi::Value>() : Napi::Object::New(env_).As<Napi::Value>();
    put(value);
    levels_.push_back({value.As<Napi::Object>(), array, 0});
  }
  void close(bool) override { levels_.pop_back(); }
  void memberName(std::string_view name) override { key_ = std::string(name); }
  void integer(int64_t number) override { put(Napi::Number::New(env_, static_cast<double>(number))); }
  void unsignedInteger(uint64_t number) override { put(Napi::Number::New(env_, static_cast<double>(number))); }
  void real(double number) override {
    put(std::isfinite(number) ? Napi::Number::New(env_, number).As<Napi::Value>() : env_.Null());
  }
  void string(std::string_view text) override { put(Napi::String::New(env_, text.data(), text.size())); }
  void nothing() override { put(env_.Null()); }
  void boolean(bool truth) override { put(Napi::Boolean::New(env_, truth)); }

 private:
  struct Level {
    Napi::Object value;
    bool array;
    uint32_t length;
  };
  void put(Napi::Value value) {
    if (levels_.empty()) {
      result_ = value;
    } else if (levels_.back().array) {
      levels_.back().value.Set(levels_.back().length++, value);
    } else {
      levels_.back().value.Set(key_, value);
    }
  }

  Napi::Env env_;
  std::vector<Level> levels_;
  std::string key_;
  Napi::Value result_;
};

template <typename Write>
Napi::Value document(Napi::Env env, Write&& write) {
  ValueSink sink(env);
  write(static_cast<JsonSink&>(sink));
  return sink.result();
}

// ---- Arguments.

// progress(fraction) of the options: JS can be called only from the thread
// that called us, so a fraction reported from another is kept for the next
// report on ours. A callback that throws stops the conversion.
ProgressFn progressCallback(Napi::Function callback) {
  // The handle lives as long as the call that converts: no reference to free.
  struct Shared {
    Napi::Function callback;
    std::thread::id caller = std::this_thread::get_id();
    std::atomic<double> latest{0.0};
  };
  auto shared = std::make_shared<Shared>();
  shared->callback = callback;
  return [shared](double fraction) {
    double seen = shared->latest.load();
    while (fraction > seen && !shared->latest.compare_exchange_weak(seen, fraction)) {
    }
    if (std::this_thread::get_id() != shared->caller) return;
    shared->callback.Call({Napi::Number::New(shared->callback.Env(), shared->latest.load())});
  };
}

// The flag of the task this thread runs (cancelOn), for conversions whose
// options do not name one: a pool worker runs one task at a time.
thread_local uint32_t taskCancel = 0;

// The conversion stops when the flag named by options.cancel or by the
// thread's task (cancelFlag()) is raised, and whenever the process is
// interrupted.
CancelToken cancelOf(const Napi::Value& options) {
  const Napi::Value id = options.IsObject() ? options.As<Napi::Object>().Get("cancel") : options.Env().Undefined();
  if (id.IsNumber()) return cancelToken(id.As<Napi::Number>().Uint32Value());
  return taskCancel ? cancelToken(taskCancel) : CancelToken(nullptr);
}

// {orientation, format, threads, durable, progress}, checked by the JavaScript layer;
// absent fields keep the classic behaviour. False for a value it lets through
// by mistake.
bool conversionOptions(const Napi::Value& value, ConversionOptions& options) {
  options.cancel = cancelOf(value);
  if (!value.IsObject()) return value.IsUndefined();
  Napi::Object object = value.As<Napi::Object>();
  Napi::Value orientation = object.Get("orientation"), format = object.Get("format"), threads = object.Get("threads");
  if (!orientation.IsUndefined() &&
      !(orientation.IsString() && estimatorNamed(orientation.As<Napi::String>().Utf8Value(), options.estimator)))
    return false;
  if (!format.IsUndefined() &&
      !(format.IsString() && outputFormatNamed(format.As<Napi::String>().Utf8Value(), options.format)))
    return false;
  if (threads.IsNumber()) options.threads = threads.As<Napi::Number>().Uint32Value();
  const Napi::Value time = object.Get("time"), utcOffset = object.Get("utcOffset");
  options.absoluteTime = time.IsString() && time.As<Napi::String>().Utf8Value() == "absolute";
  if (utcOffset.IsNumber()) options.utcOffset = utcOffset.As<Napi::Number>().DoubleValue();
  const Napi::Value resample = object.Get("resample");
  if (resample.IsNumber()) options.resample = resample.As<Napi::Number>().DoubleValue();
  options.durable = object.Get("durable").ToBoolean().Value();
  // Undocumented: tests make the pieces tiny, which must not change a byte.
  if (const Napi::Value chunk = object.Get("chunkSamples"); chunk.IsNumber())
    options.chunkSamples = static_cast<uint64_t>(std::max(0.0, chunk.As<Napi::Number>().DoubleValue()));
  const Napi::Value progress = object.Get("progress");
  if (progress.IsFunction()) options.progress = progressCallback(progress.As<Napi::Function>());
  else if (!progress.IsUndefined()) return false;
  const Napi::Value clock = object.Get("clock");
  if (clock.IsString() && clock.As<Napi::String>().Utf8Value() == "drift") options.clock = SetClock::Drift;
  // calibrate: 'off', 'auto' or a calibration file's path, checked by the
  // layer; overwrite (--force) also applies a file of another device.
  if (const Napi::Value calibrate = object.Get("calibrate"); calibrate.IsString()) {
    const std::string mode = calibrate.As<Napi::String>().Utf8Value();
    if (mode == "auto") {
      options.calibrate = CalibrationMode::Auto;
    } else if (mode != "off") {
      options.calibrate = CalibrationMode::File;
      options.calibrationFile = pathArgument(calibrate);
    }
  } else if (!calibrate.IsUndefined()) {
    return false;
  }
  options.calibrationOtherDevice = object.Get("overwrite").ToBoolean().Value();
  return true;
}

Napi::Value calibrationObject(Napi::Env env, const CalibrationReport& report) {
  return document(env, [&](JsonSink& json) { writeCalibration(json, report); });
}

bool pathList(const Napi::Value& value, std::vector<std::string>& paths) {
  if (!value.IsArray()) return false;
  Napi::Array array = value.As<Napi::Array>();
  for (uint32_t i = 0; i < array.Length(); ++i) {
    if (!array.Get(i).IsString()) return false;
    paths.push_back(pathArgument(array.Get(i), ""));
  }
  return true;
}

template <typename T>
Napi::Array numbers(Napi::Env env, const std::vector<T>& values) {
  Napi::Array array = Napi::Array::New(env, values.size());
  for (uint32_t i = 0; i < values.size(); ++i) array.Set(i, Napi::Number::New(env, static_cast<double>(values[i])));
  return array;
}

// ---- Conversions.

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

// The outcome of a set as a plain object, with the system's reason for the
// first file not written as Node gives its own.
Napi::Object setOutcome(Napi::Env env, const SetOutcome& outcome) {
  Napi::Object result = document(env, [&](JsonSink& json) { writeSetOutcome(json, outcome); }).As<Napi::Object>();
  if (outcome.failure == SetFailure::Output && outcome.written.error)
    result.Set("systemError", systemError(env, outcome.written).Value());
  return result;
}

// convertSet(recordings, folder, options[, beside]) -> the set's outcome,
// printing nothing; the CSV files, <folder>/<stem>.csv, take their names
// together, with the files beside(outcome) gives as [[path, text], ...]
// once the CSV files are complete.
Napi::Value ConvertSet(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::vector<std::string> paths;
  ConversionOptions options;
  if (info.Length() < 2 || !pathList(info[0], paths) || !info[1].IsString() || !conversionOptions(info[2], options) ||
      (info.Length() > 3 && !info[3].IsFunction() && !info[3].IsUndefined()))
    return wrongArguments(env, "convertSet");
  const std::string folder = pathArgument(info[1]);
  BesideFiles beside;
  if (info.Length() > 3 && info[3].IsFunction()) {
    beside = [env, give = info[3].As<Napi::Function>()](const SetOutcome& outcome) {
      const Napi::Value given = give.Call({setOutcome(env, outcome)});
      std::vector<std::pair<std::string, std::string>> files;
      if (!given.IsArray()) throw Napi::TypeError::New(env, "convertSet: beside must give [[path, text], ...]");
      const Napi::Array list = given.As<Napi::Array>();
      for (uint32_t i = 0; i < list.Length(); ++i) {
        const Napi::Value item = list.Get(i);
        if (!item.IsArray() || !item.As<Napi::Array>().Get(0u).IsString() || !item.As<Napi::Array>().Get(1u).IsString())
          throw Napi::TypeError::New(env, "convertSet: beside must give [[path, text], ...]");
        files.emplace_back(pathArgument(item.As<Napi::Array>().Get(0u)), item.As<Napi::Array>().Get(1u).As<Napi::String>().Utf8Value());
      }
      return files;
    };
  }
  return run(env, [&]() -> Napi::Value { return setOutcome(env, readAndSyncSet(paths, folder, true, options, beside)); });
}

// inspect(recording[, {cancel}]) -> the quality report, or null when the
// file is not a recording that could be read to its end.
Napi::Value Inspect(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "inspect");
  const std::string path = pathArgument(info[0]);
  const CancelToken cancel = cancelOf(info.Length() > 1 ? info[1] : env.Undefined());
  return run(env, [&]() -> Napi::Value {
    QualityReport report;
    if (!inspectRecording(path.c_str(), report, cancel)) return env.Null();
    return document(env, [&](JsonSink& json) { writeQuality(json, report, QualityDetail::full); });
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

// calibrate(recording[, {cancel}]) -> the calibration its own still moments
// give, or null when the file is not a recording that could be read to its end.
Napi::Value Calibrate(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "calibrate");
  const std::string path = pathArgument(info[0]);
  const CancelToken cancel = cancelOf(info.Length() > 1 ? info[1] : env.Undefined());
  return run(env, [&]() -> Napi::Value {
    CalibrationReport report;
    if (!calibrateRecordingFile(path.c_str(), report, cancel)) return env.Null();
    return calibrationObject(env, report);
  });
}

// ticksOffClock(clock, rate) -> clock ticks per sample when the rate does
// not divide the clock, else 0.
Napi::Value TicksOffClock(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 2 || !info[0].IsNumber() || !info[1].IsNumber()) return wrongArguments(env, "ticksOffClock");
  return Napi::Number::New(env, ticksOffClock(info[0].As<Napi::Number>().Int32Value(), info[1].As<Napi::Number>().Int32Value()));
}

// ---- Recordings in memory.

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

// {timeBase, info, quality, streams}: timeBase the seconds since 1970 at
// time 0 (ops/options.h); each stream {rate, time, <channel>...}, its
// channels views into its one channel-major buffer, taken out of the
// recording.
Napi::Object recordingObject(Napi::Env env, Recording& recording, const QualityReport& quality, double timeBase,
                             double resampled) {
  Napi::Object result = Napi::Object::New(env);
  result.Set("timeBase", Napi::Number::New(env, timeBase));
  result.Set("info", document(env, [&](JsonSink& json) { writeRecordingInfo(json, recording.settings); }));
  result.Set("quality", document(env, [&](JsonSink& json) { writeQuality(json, quality); }));
  Napi::Object streams = Napi::Object::New(env);
  for (const LoadedStream& loaded : loadedStreams(recording, resampled)) {
    SampleStream& stream = *loaded.stream;
    const uint64_t n = stream.count;
    Napi::Object object = Napi::Object::New(env);
    object.Set("rate", Napi::Number::New(env, loaded.rate));
    object.Set("time", Napi::Float64Array::New(env, n, takeBuffer(env, std::move(stream.times)), 0));
    Napi::ArrayBuffer values = takeBuffer(env, std::move(stream.values));
    size_t c = 0;
    for (const char* name : loaded.layout->channels)
      object.Set(name, Napi::Float64Array::New(env, n, values, c++ * n * sizeof(double)));
    streams.Set(loaded.layout->name, object);
  }
  result.Set("streams", streams);
  return result;
}

// {from, to, streams} of load()'s options, checked by the JavaScript layer.
bool loadWindow(const Napi::Value& value, LoadWindow& window) {
  if (!value.IsObject()) return true;
  Napi::Object object = value.As<Napi::Object>();
  const Napi::Value from = object.Get("from"), to = object.Get("to"), streams = object.Get("streams");
  if (from.IsNumber()) window.from = from.As<Napi::Number>().DoubleValue();
  if (to.IsNumber()) window.to = to.As<Napi::Number>().DoubleValue();
  return streams.IsUndefined() || pathList(streams, window.streams);
}

// loadRecording(path, options) -> {parsed, info, quality, streams}; options
// may also hold {from, to, streams}, which samples to keep.
Napi::Value LoadRecording(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  ConversionOptions options;
  LoadWindow window;
  if (info.Length() < 1 || !info[0].IsString() || !conversionOptions(info[1], options) || !loadWindow(info[1], window))
    return wrongArguments(env, "loadRecording");
  const std::string path = pathArgument(info[0]);
  return run(env, [&]() -> Napi::Value {
    LoadedRecording loaded = loadRecording(path.c_str(), options, window);
    Napi::Object result = recordingObject(env, loaded.recording, loaded.quality, loaded.timeBase, loaded.resampled);
    result.Set("parsed", Napi::Boolean::New(env, loaded.parsed));
    result.Set("calibration", calibrationObject(env, loaded.calibration));
    return result;
  });
}

// loadSet(paths, options) -> the set's outcome with its recordings; options may hold {from, to, streams}
Napi::Value LoadSet(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::vector<std::string> paths;
  ConversionOptions options;
  LoadWindow window;
  if (info.Length() < 1 || !pathList(info[0], paths) || !conversionOptions(info[1], options) || !loadWindow(info[1], window))
    return wrongArguments(env, "loadSet");
  return run(env, [&]() -> Napi::Value {
    LoadedSet set = loadRecordingSet(paths, options, window);
    Napi::Object result = setOutcome(env, set.outcome);
    Napi::Array recordings = Napi::Array::New(env, set.recordings.size());
    for (size_t i = 0; i < set.recordings.size(); ++i)
      recordings.Set(static_cast<uint32_t>(i), recordingObject(env, set.recordings[i], set.qualities[i], set.timeBase, set.resampled));
    result.Set("recordings", recordings);
    return result;
  });
}

// A recording's table in pieces: openTable(path, options[, rows]) -> {handle,
// parsed, info, quality, timeBase, columns: [{name, unit, stream, channel}]}
// (rows: the first piece's size, made at once on a thread while JS gets ready);
// nextRows(handle, maxRows[, store]) -> {rows, time, columns: [{values, valid}]}
// (an event's values Int32Array, the others Float64Array; valid: a bit per
// row that has a value, null when every row has one), or null at the end;
// with a store (an object kept by the caller) the arrays are views of its
// buffers, overwritten by the next call with it;
// closeTable(handle) lets the file go at once (else when collected).
using TableHandle = std::unique_ptr<TableReader>;

TableHandle* tableHandle(const Napi::Value& value) {
  return value.IsExternal() ? value.As<Napi::External<TableHandle>>().Data() : nullptr;
}

Napi::Array columnsObject(Napi::Env env, const std::vector<ColumnLayout>& layouts) {
  Napi::Array columns = Napi::Array::New(env, layouts.size());
  for (uint32_t c = 0; c < layouts.size(); ++c) {
    Napi::Object column = Napi::Object::New(env);
    column.Set("name", layouts[c].name);
    column.Set("unit", layouts[c].unit);
    column.Set("stream", layouts[c].stream);
    column.Set("channel", layouts[c].channel);
    columns.Set(c, column);
  }
  return columns;
}

uint64_t maxRowsOf(const Napi::Value& value) {
  const double asked = value.As<Napi::Number>().DoubleValue();
  return asked >= 1 ? static_cast<uint64_t>(std::min(asked, 1e9)) : 1;
}

Napi::Value OpenTable(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  ConversionOptions options;
  if (info.Length() < 1 || !info[0].IsString() || !conversionOptions(info[1], options))
    return wrongArguments(env, "openTable");
  const std::string path = pathArgument(info[0]);
  options.progress = nullptr;  // JS is called only within the call that gave it; the handle outlives this one
  return run(env, [&]() -> Napi::Value {
    auto handle = std::make_unique<TableHandle>(std::make_unique<TableReader>(path.c_str(), options));
    TableReader& table = **handle;
    Napi::Object result = Napi::Object::New(env);
    result.Set("parsed", Napi::Boolean::New(env, table.parsed()));
    result.Set("info", document(env, [&](JsonSink& json) { writeRecordingInfo(json, table.settings()); }));
    result.Set("quality", document(env, [&](JsonSink& json) { writeQuality(json, table.quality()); }));
    result.Set("calibration", calibrationObject(env, table.calibration()));
    result.Set("timeBase", Napi::Number::New(env, table.timeBase()));
    result.Set("columns", columnsObject(env, table.columns()));
    // Once its description is read: the thread then has the reader to itself.
    if (table.parsed() && info.Length() > 2 && info[2].IsNumber()) table.ahead(maxRowsOf(info[2]));
    result.Set("handle", Napi::External<TableHandle>::New(env, handle.release(), [](Napi::Env, TableHandle* done) { delete done; }));
    return result;
  });
}

// A piece's arrays in memory the JavaScript heap owns: an external buffer is
// let go by a finalizer that Node runs only once its event loop turns, which
// a synchronous reader of every piece (a Parquet conversion) never lets it do.
// With a store, the buffer kept there under `key` is reused when it is big
// enough, so that a reader of every piece allocates them once.
template <typename T>
Napi::TypedArrayOf<T> pieceArray(Napi::Env env, Napi::Object* store, const std::string& key, size_t n) {
  if (!store) return Napi::TypedArrayOf<T>::New(env, n);
  const Napi::Value kept = store->Get(key);
  Napi::ArrayBuffer buffer;
  if (kept.IsArrayBuffer() && kept.As<Napi::ArrayBuffer>().ByteLength() >= n * sizeof(T)) {
    buffer = kept.As<Napi::ArrayBuffer>();
  } else {
    buffer = Napi::ArrayBuffer::New(env, n * sizeof(T));
    store->Set(key, buffer);
  }
  return Napi::TypedArrayOf<T>::New(env, n, buffer, 0);
}

template <typename T>
Napi::TypedArrayOf<T> pieceArray(Napi::Env env, Napi::Object* store, const std::string& key, const std::vector<T>& values) {
  Napi::TypedArrayOf<T> array = pieceArray<T>(env, store, key, values.size());
  if (!values.empty()) std::memcpy(array.Data(), values.data(), values.size() * sizeof(T));
  return array;
}

// A piece of a table's rows as nextRows hands it.
Napi::Value rowsObject(Napi::Env env, const TableChunk& chunk, const std::vector<ColumnLayout>& layouts,
                       Napi::Object* store = nullptr) {
  const size_t n = static_cast<size_t>(chunk.rows);
  Napi::Object result = Napi::Object::New(env);
  result.Set("rows", Napi::Number::New(env, static_cast<double>(n)));
  result.Set("time", pieceArray(env, store, "time", chunk.time));
  Napi::Array columns = Napi::Array::New(env, chunk.values.size());
  for (uint32_t c = 0; c < chunk.values.size(); ++c) {
    Napi::Object column = Napi::Object::New(env);
    const std::string key = std::to_string(c);
    if (std::string_view(layouts[c].stream) == "events") {
      Napi::Int32Array values = pieceArray<int32_t>(env, store, "v" + key, n);
      for (size_t r = 0; r < n; ++r) values[r] = static_cast<int32_t>(chunk.values[c][r]);
      column.Set("values", values);
    } else {
      column.Set("values", pieceArray(env, store, "v" + key, chunk.values[c]));
    }
    column.Set("valid", chunk.valid[c].empty() ? env.Null() : Napi::Value(pieceArray(env, store, "b" + key, chunk.valid[c])));
    columns.Set(c, column);
  }
  result.Set("columns", columns);
  return result;
}

Napi::Value NextRows(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  TableHandle* handle = info.Length() > 1 ? tableHandle(info[0]) : nullptr;
  if (!handle || !info[1].IsNumber()) return wrongArguments(env, "nextRows");
  if (!*handle) return env.Null();
  const uint64_t maxRows = maxRowsOf(info[1]);
  Napi::Object store = info.Length() > 2 && info[2].IsObject() ? info[2].As<Napi::Object>() : Napi::Object();
  return run(env, [&]() -> Napi::Value {
    TableChunk chunk;
    if (!(*handle)->next(maxRows, chunk)) return env.Null();
    return rowsObject(env, chunk, (*handle)->columns(), store.IsEmpty() ? nullptr : &store);
  });
}

// A set's tables in pieces: openSetTable(paths, options) -> the set's outcome
// with {handle, timeBase, recordings: [{info, quality, columns, rates}]} (no
// handle after a failure; options.streams: only those; rates: per stream's
// name); nextSetRows(handle, i, maxRows) -> recording i's next rows as
// nextRows, or null at its end; setTableOutcome(handle) -> the outcome with
// the slips of the tables read to their end; closeSetTable(handle).
using SetTableHandle = std::unique_ptr<SetTableReader>;

SetTableHandle* setTableHandle(const Napi::Value& value) {
  return value.IsExternal() ? value.As<Napi::External<SetTableHandle>>().Data() : nullptr;
}

Napi::Value OpenSetTable(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::vector<std::string> paths;
  ConversionOptions options;
  LoadWindow window;
  if (info.Length() < 1 || !pathList(info[0], paths) || !conversionOptions(info[1], options) || !loadWindow(info[1], window))
    return wrongArguments(env, "openSetTable");
  options.progress = nullptr;  // as openTable's: the handle outlives this call
  return run(env, [&]() -> Napi::Value {
    auto handle = std::make_unique<SetTableHandle>(std::make_unique<SetTableReader>(paths, options, window.streams));
    const SetTableReader& set = **handle;
    Napi::Object result = setOutcome(env, set.outcome());
    if (set.outcome().failure != SetFailure::None) return result;
    Napi::Array recordings = Napi::Array::New(env, set.size());
    for (uint32_t i = 0; i < set.size(); ++i) {
      Napi::Object recording = Napi::Object::New(env);
      recording.Set("info", document(env, [&](JsonSink& json) { writeRecordingInfo(json, set.settings(i)); }));
      recording.Set("quality", document(env, [&](JsonSink& json) { writeQuality(json, set.quality(i)); }));
      recording.Set("columns", columnsObject(env, set.columns(i)));
      Napi::Object rates = Napi::Object::New(env);
      for (const LoadedStream& stream : set.streams(i)) rates.Set(stream.layout->name, stream.rate);
      recording.Set("rates", rates);
      recordings.Set(i, recording);
    }
    result.Set("recordings", recordings);
    result.Set("timeBase", Napi::Number::New(env, set.timeBase()));
    result.Set("handle",
               Napi::External<SetTableHandle>::New(env, handle.release(), [](Napi::Env, SetTableHandle* done) { delete done; }));
    return result;
  });
}

Napi::Value NextSetRows(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  SetTableHandle* handle = info.Length() > 2 ? setTableHandle(info[0]) : nullptr;
  if (!handle || !*handle || !info[1].IsNumber() || !info[2].IsNumber()) return wrongArguments(env, "nextSetRows");
  const double i = info[1].As<Napi::Number>().DoubleValue();
  if (!(i >= 0 && i < static_cast<double>((*handle)->size()))) return wrongArguments(env, "nextSetRows");
  const uint64_t maxRows = maxRowsOf(info[2]);
  return run(env, [&]() -> Napi::Value {
    TableChunk chunk;
    const size_t recording = static_cast<size_t>(i);
    if (!(*handle)->next(recording, maxRows, chunk)) return env.Null();
    return rowsObject(env, chunk, (*handle)->columns(recording));
  });
}

Napi::Value SetTableOutcome(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  SetTableHandle* handle = info.Length() > 0 ? setTableHandle(info[0]) : nullptr;
  if (!handle || !*handle) return wrongArguments(env, "setTableOutcome");
  return setOutcome(env, (*handle)->outcome());
}

Napi::Value CloseSetTable(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  SetTableHandle* handle = info.Length() > 0 ? setTableHandle(info[0]) : nullptr;
  if (!handle) return wrongArguments(env, "closeSetTable");
  handle->reset();
  return env.Undefined();
}

Napi::Value CloseTable(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  TableHandle* handle = info.Length() > 0 ? tableHandle(info[0]) : nullptr;
  if (!handle) return wrongArguments(env, "closeTable");
  handle->reset();
  return env.Undefined();
}

// ---- Epoch summaries: openEpochs(path, options, request) -> {handle,
// refusal ('unparsed', 'noAccel' or null), info, quality, timeBase, columns:
// [{name, unit, integer}]}; request {epoch, align, nonwear: {on, sd, range,
// window}, days: {validHours}}. nextEpochs(handle, maxRows[, store]) ->
// {rows, time, columns: [{values, valid}]}, or null at the end;
// nextEpochText(handle, maxRows, header, options) -> the same rows as plain
// CSV text; epochProgress(handle) -> the fraction read; epochSummary(handle)
// -> the totals and days once every row is read; dayText(handle) -> the days
// as plain CSV text; closeEpochs(handle).
using EpochHandle = std::unique_ptr<EpochReader>;

EpochHandle* epochHandle(const Napi::Value& value) {
  return value.IsExternal() ? value.As<Napi::External<EpochHandle>>().Data() : nullptr;
}

bool epochRequest(const Napi::Value& value, EpochRequest& request) {
  if (!value.IsObject()) return false;
  const Napi::Object object = value.As<Napi::Object>();
  const auto number = [](const Napi::Object& from, const char* key, double& into) {
    const Napi::Value v = from.Get(key);
    if (v.IsNumber()) into = v.As<Napi::Number>().DoubleValue();
    return v.IsUndefined() || v.IsNumber();
  };
  if (!number(object, "epoch", request.epochs.seconds)) return false;
  request.alignToClock = object.Get("align").ToBoolean().Value();
  if (const Napi::Value nonwear = object.Get("nonwear"); nonwear.IsObject()) {
    const Napi::Object rule = nonwear.As<Napi::Object>();
    double window = request.epochs.nonwear.windowMinutes;
    request.epochs.nonwear.on = rule.Get("on").ToBoolean().Value();
    if (!number(rule, "sd", request.epochs.nonwear.sd) || !number(rule, "range", request.epochs.nonwear.range) ||
        !number(rule, "window", window))
      return false;
    request.epochs.nonwear.windowMinutes = static_cast<int>(window);
  }
  if (const Napi::Value days = object.Get("days"); days.IsObject()) {
    request.days.on = true;
    if (!number(days.As<Napi::Object>(), "validHours", request.days.validHours)) return false;
  }
  return true;
}

Napi::Value OpenEpochs(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  ConversionOptions options;
  EpochRequest request;
  if (info.Length() < 3 || !info[0].IsString() || !conversionOptions(info[1], options) || !epochRequest(info[2], request))
    return wrongArguments(env, "openEpochs");
  const std::string path = pathArgument(info[0]);
  options.progress = nullptr;  // the handle outlives this call
  return run(env, [&]() -> Napi::Value {
    auto handle = std::make_unique<EpochHandle>(std::make_unique<EpochReader>(path.c_str(), options, request));
    const EpochReader& epochs = **handle;
    Napi::Object result = Napi::Object::New(env);
    const EpochRefusal refusal = epochs.refusal();
    result.Set("refusal", refusal == EpochRefusal::Unparsed  ? Napi::String::New(env, "unparsed").As<Napi::Value>()
                          : refusal == EpochRefusal::NoAccel ? Napi::String::New(env, "noAccel").As<Napi::Value>()
                                                             : env.Null());
    result.Set("info", document(env, [&](JsonSink& json) { writeReadResult(json, epochs.settings()); }));
    result.Set("quality", document(env, [&](JsonSink& json) { writeQuality(json, epochs.quality()); }));
    result.Set("calibration", calibrationObject(env, epochs.calibration()));
    result.Set("timeBase", Napi::Number::New(env, epochs.timeBase()));
    Napi::Array columns = Napi::Array::New(env, epochs.columns().size());
    for (uint32_t c = 0; c < epochs.columns().size(); ++c) {
      Napi::Object column = Napi::Object::New(env);
      column.Set("name", epochs.columns()[c].name);
      column.Set("unit", epochs.columns()[c].unit);
      column.Set("integer", epochs.columns()[c].integer);
      columns.Set(c, column);
    }
    result.Set("columns", columns);
    result.Set("handle", Napi::External<EpochHandle>::New(env, handle.release(), [](Napi::Env, EpochHandle* done) { delete done; }));
    return result;
  });
}

Napi::Value NextEpochs(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  EpochHandle* handle = info.Length() > 1 ? epochHandle(info[0]) : nullptr;
  if (!handle || !*handle || !info[1].IsNumber()) return wrongArguments(env, "nextEpochs");
  Napi::Object store = info.Length() > 2 && info[2].IsObject() ? info[2].As<Napi::Object>() : Napi::Object();
  Napi::Object* kept = store.IsEmpty() ? nullptr : &store;
  return run(env, [&]() -> Napi::Value {
    EpochReader& epochs = **handle;
    std::vector<EpochRow> rows;
    if (!epochs.next(maxRowsOf(info[1]), rows)) return env.Null();
    const size_t n = rows.size();
    Napi::Object result = Napi::Object::New(env);
    result.Set("rows", Napi::Number::New(env, static_cast<double>(n)));
    Napi::Float64Array time = pieceArray<double>(env, kept, "time", n);
    for (size_t r = 0; r < n; ++r) time[r] = epochs.timeOf(rows[r]);
    result.Set("time", time);
    Napi::Array columns = Napi::Array::New(env, epochs.columns().size());
    for (uint32_t c = 0; c < epochs.columns().size(); ++c) {
      const std::string key = std::to_string(c);
      Napi::Float64Array values = pieceArray<double>(env, kept, "v" + key, n);
      Napi::Uint8Array valid = pieceArray<uint8_t>(env, kept, "b" + key, (n + 7) / 8);
      std::fill_n(valid.Data(), valid.ElementLength(), 0);
      for (size_t r = 0; r < n; ++r) {
        const double v = epochs.value(rows[r], c);
        values[r] = v == v ? v : 0.0;
        if (v == v) valid[r >> 3] |= static_cast<uint8_t>(1u << (r & 7));
      }
      Napi::Object column = Napi::Object::New(env);
      column.Set("values", values);
      column.Set("valid", valid);
      columns.Set(c, column);
    }
    result.Set("columns", columns);
    return result;
  });
}

Napi::Value NextEpochText(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  EpochHandle* handle = info.Length() > 2 ? epochHandle(info[0]) : nullptr;
  ConversionOptions options;
  if (!handle || !*handle || !info[1].IsNumber() || !conversionOptions(info[3], options))
    return wrongArguments(env, "nextEpochText");
  return run(env, [&]() -> Napi::Value {
    std::string text;
    if (!nextEpochText(**handle, maxRowsOf(info[1]), info[2].ToBoolean().Value(), options, text)) return env.Null();
    return Napi::String::New(env, text);
  });
}

Napi::Value DayText(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  EpochHandle* handle = info.Length() > 0 ? epochHandle(info[0]) : nullptr;
  if (!handle || !*handle) return wrongArguments(env, "dayText");
  return Napi::String::New(env, dayText(**handle));
}

Napi::Value EpochProgress(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  EpochHandle* handle = info.Length() > 0 ? epochHandle(info[0]) : nullptr;
  if (!handle || !*handle) return wrongArguments(env, "epochProgress");
  return Napi::Number::New(env, (*handle)->progress());
}

// planDays(handle, {starts, dates}): local days instead of 24 h steps.
Napi::Value PlanDays(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  EpochHandle* handle = info.Length() > 1 ? epochHandle(info[0]) : nullptr;
  if (!handle || !*handle || !info[1].IsObject()) return wrongArguments(env, "planDays");
  const Napi::Object plan = info[1].As<Napi::Object>();
  std::vector<double> starts;
  std::vector<std::string> dates;
  const Napi::Value given = plan.Get("starts");
  if (given.IsArray())
    for (uint32_t i = 0; i < given.As<Napi::Array>().Length(); ++i) {
      const Napi::Value start = given.As<Napi::Array>().Get(i);
      if (!start.IsNumber()) return wrongArguments(env, "planDays");
      starts.push_back(start.As<Napi::Number>().DoubleValue());
    }
  if (plan.Get("dates").IsArray() && !pathList(plan.Get("dates"), dates)) return wrongArguments(env, "planDays");
  if (!starts.empty()) (*handle)->planDays(starts, dates);
  return env.Undefined();
}

Napi::Value EpochSummaryOf(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  EpochHandle* handle = info.Length() > 0 ? epochHandle(info[0]) : nullptr;
  if (!handle || !*handle) return wrongArguments(env, "epochSummary");
  const EpochSummary& summary = (*handle)->summary();
  Napi::Object result = Napi::Object::New(env);
  result.Set("epochs", static_cast<double>(summary.epochs));
  result.Set("recordedHours", summary.recordedHours);
  result.Set("wornHours", summary.wornHours);
  result.Set("notWornHours", summary.notWornHours);
  result.Set("clippedSamples", static_cast<double>(summary.clippedSamples));
  result.Set("validDays", static_cast<double>(summary.validDays));
  Napi::Array days = Napi::Array::New(env, summary.days.size());
  const std::span<const EpochColumn> columns = dayColumns();
  for (uint32_t d = 0; d < summary.days.size(); ++d) {
    Napi::Object day = Napi::Object::New(env);
    day.Set("time", summary.days[d].start);
    for (size_t c = 0; c < columns.size(); ++c) {
      const double v = dayValue(summary.days[d], c);
      if (std::string_view(columns[c].name) == "date") day.Set("date", summary.days[d].date);
      else day.Set(columns[c].name, v == v ? Napi::Number::New(env, v).As<Napi::Value>() : env.Null());
    }
    days.Set(d, day);
  }
  result.Set("days", days);
  return result;
}

Napi::Value CloseEpochs(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  EpochHandle* handle = info.Length() > 0 ? epochHandle(info[0]) : nullptr;
  if (!handle) return wrongArguments(env, "closeEpochs");
  handle->reset();
  return env.Undefined();
}

// tableRows([times...]) -> {rows, rowOf: [Uint32Array...]}: the table's row
// of each sample of up to five streams, by their times (Float64Arrays).
Napi::Value TableRows(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsArray()) return wrongArguments(env, "tableRows");
  const Napi::Array list = info[0].As<Napi::Array>();
  if (list.Length() > kTableStreams) return wrongArguments(env, "tableRows");
  std::vector<std::span<const double>> times;
  for (uint32_t i = 0; i < list.Length(); ++i) {
    const Napi::Value item = list.Get(i);
    if (!item.IsTypedArray() || item.As<Napi::TypedArray>().TypedArrayType() != napi_float64_array)
      return wrongArguments(env, "tableRows");
    const Napi::Float64Array array = item.As<Napi::Float64Array>();
    times.emplace_back(array.Data(), array.ElementLength());
  }
  return run(env, [&]() -> Napi::Value {
    std::vector<std::vector<uint32_t>> rowOf;
    const uint64_t rows = tableRows(times, rowOf);
    Napi::Object result = Napi::Object::New(env);
    result.Set("rows", Napi::Number::New(env, static_cast<double>(rows)));
    Napi::Array arrays = Napi::Array::New(env, rowOf.size());
    for (size_t s = 0; s < rowOf.size(); ++s) {
      Napi::Uint32Array array = Napi::Uint32Array::New(env, rowOf[s].size());
      std::copy(rowOf[s].begin(), rowOf[s].end(), array.Data());
      arrays.Set(static_cast<uint32_t>(s), array);
    }
    result.Set("rowOf", arrays);
    return result;
  });
}

// ---- The viewer.

// The bytes of the page's pyramids: {budget} of the options.
uint64_t viewBudget(const Napi::Value& options) {
  uint64_t budget = ViewOptions{}.budgetBytes;
  if (options.IsObject()) {
    Napi::Value value = options.As<Napi::Object>().Get("budget");
    if (value.IsNumber() && value.As<Napi::Number>().DoubleValue() >= 1)
      budget = static_cast<uint64_t>(value.As<Napi::Number>().Int64Value());
  }
  return budget;
}

// viewData(path, 'recording' | 'csv', {orientation, budget}) -> the viewer's
// data; a file that is not what it should be throws ERR_KINOVAR_FORMAT.
Napi::Value ViewData(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  ConversionOptions options;
  if (info.Length() < 2 || !info[0].IsString() || !info[1].IsString() || !conversionOptions(info[2], options))
    return wrongArguments(env, "viewData");
  const uint64_t budget = viewBudget(info[2]);
  const std::string path = pathArgument(info[0]);
  const bool csv = info[1].As<Napi::String>().Utf8Value() == "csv";
  return run(env, [&]() -> Napi::Value {
    std::vector<uint8_t> page;
    std::string error;
    if (csv ? viewClassicCsv(path.c_str(), budget, page, error)
            : viewRecording(path.c_str(), options, budget, page, error))
      return Napi::Buffer<uint8_t>::Copy(env, page.data(), page.size());
    Napi::Object details = Napi::Object::New(env);
    details.Set("path", path);
    makeError(env, path + ": " + error, "ERR_KINOVAR_FORMAT", details).ThrowAsJavaScriptException();
    return env.Undefined();
  });
}

// viewSamples(streams, created, {budget, quality}): the viewer's data of
// samples already in memory (a Parquet file read in JS), streams shaped as
// loadRecording gives them, the quality report as JSON text.
Napi::Value ViewSamples(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 2 || !info[0].IsObject() || !info[1].IsString()) return wrongArguments(env, "viewSamples");
  Napi::Object given = info[0].As<Napi::Object>();
  auto doubles = [](const Napi::Value& value, size_t n) -> const double* {
    if (!value.IsTypedArray() || value.As<Napi::TypedArray>().TypedArrayType() != napi_float64_array) return nullptr;
    Napi::Float64Array array = value.As<Napi::Float64Array>();
    return array.ElementLength() == n ? array.Data() : nullptr;
  };
  StreamMap streams;
  for (const StreamLayout& layout : streamLayouts()) {
    Napi::Value value = given.Get(layout.name);
    if (value.IsUndefined()) continue;
    Napi::Value time = value.IsObject() ? value.As<Napi::Object>().Get("time") : env.Undefined();
    const size_t n = time.IsTypedArray() ? time.As<Napi::TypedArray>().ElementLength() : 0;
    const double* times = doubles(time, n);
    if (!times) return wrongArguments(env, "viewSamples");
    SampleStream stream(layout.channels.size(), n);
    std::copy(times, times + n, stream.times.begin());
    for (size_t c = 0; c < layout.channels.size(); ++c) {
      const double* values = doubles(value.As<Napi::Object>().Get(layout.channels[c]), n);
      if (!values) return wrongArguments(env, "viewSamples");
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
  const uint64_t budget = viewBudget(info.Length() > 2 ? info[2] : env.Undefined());
  return run(env, [&]() -> Napi::Value {
    const std::vector<uint8_t> page = viewSamples(streams, created, budget, quality);
    return Napi::Buffer<uint8_t>::Copy(env, page.data(), page.size());
  });
}

// ---- Files and names.

// replaceFiles(paths, contents[, durable]): each content (a Uint8Array or a
// string, taken as UTF-8) becomes its file's whole content, each file taking
// its name only once all are complete; forced to the medium unless durable
// is false. Throws the system's error for the first file
// that could not be written; the files then keep their content.
Napi::Value ReplaceFiles(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::vector<std::string> paths;
  if (info.Length() < 2 || !pathList(info[0], paths) || !info[1].IsArray() ||
      info[1].As<Napi::Array>().Length() != paths.size())
    return wrongArguments(env, "replaceFiles");
  Napi::Array given = info[1].As<Napi::Array>();
  std::vector<std::string> texts(paths.size());
  std::vector<std::span<const uint8_t>> contents(paths.size());
  for (uint32_t i = 0; i < paths.size(); ++i) {
    Napi::Value value = given.Get(i);
    if (value.IsString()) {
      texts[i] = value.As<Napi::String>().Utf8Value();
      contents[i] = {reinterpret_cast<const uint8_t*>(texts[i].data()), texts[i].size()};
    } else if (value.IsTypedArray()) {
      Napi::TypedArray array = value.As<Napi::TypedArray>();
      contents[i] = {static_cast<const uint8_t*>(array.ArrayBuffer().Data()) + array.ByteOffset(), array.ByteLength()};
    } else {
      return wrongArguments(env, "replaceFiles");
    }
  }
  OutputFailure failure;
  Napi::Value done = run(env, [&]() -> Napi::Value {
    replaceFiles(paths, contents, &failure, !(info.Length() > 2 && info[2].IsBoolean() && !info[2].As<Napi::Boolean>().Value()));
    return env.Undefined();
  });
  if (failure.error && !env.IsExceptionPending()) systemError(env, failure).ThrowAsJavaScriptException();
  return done;
}

// Outputs written in pieces, for files made in JS that are too large to
// hold whole: openOutputs(paths) -> handle, appendOutput(handle, index,
// bytes or string), commitOutputs(handle, durable) where they take their
// names together, discardOutputs(handle). A handle dropped uncommitted
// removes its temporary files when it is collected; discard does it at once.
struct PieceOutputs {
  std::vector<std::string> paths;
  std::vector<OutputFile> files;
};

PieceOutputs* pieceOutputs(const Napi::Value& value) {
  return value.IsExternal() ? value.As<Napi::External<PieceOutputs>>().Data() : nullptr;
}

// Throws the failure of file `index` and discards every file of the handle.
Napi::Value failPieces(Napi::Env env, PieceOutputs& outputs, size_t index, std::error_code error, const char* step) {
  for (OutputFile& file : outputs.files) file.discard();
  systemError(env, OutputFailure{outputs.paths[index], error, step}).ThrowAsJavaScriptException();
  return env.Undefined();
}

Napi::Value OpenOutputs(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  auto outputs = std::make_unique<PieceOutputs>();
  if (info.Length() < 1 || !pathList(info[0], outputs->paths)) return wrongArguments(env, "openOutputs");
  outputs->files.reserve(outputs->paths.size());
  // Every target is opened before any is written: a refusal leaves all as they were.
  for (size_t i = 0; i < outputs->paths.size(); ++i) {
    outputs->files.emplace_back(outputs->paths[i].c_str(), OutputFile::Mode::Binary);
    if (!outputs->files.back()) {
      const OutputFile& failed = outputs->files.back();
      return failPieces(env, *outputs, i, failed.error(), failed.failedStep());
    }
  }
  return Napi::External<PieceOutputs>::New(env, outputs.release(), [](Napi::Env, PieceOutputs* done) { delete done; });
}

Napi::Value AppendOutput(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  PieceOutputs* outputs = info.Length() > 2 ? pieceOutputs(info[0]) : nullptr;
  if (!outputs || !info[1].IsNumber()) return wrongArguments(env, "appendOutput");
  const uint32_t index = info[1].As<Napi::Number>().Uint32Value();
  if (index >= outputs->files.size() || !outputs->files[index]) return wrongArguments(env, "appendOutput");
  std::string text;
  std::span<const uint8_t> bytes;
  if (info[2].IsString()) {
    text = info[2].As<Napi::String>().Utf8Value();
    bytes = {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
  } else if (info[2].IsTypedArray()) {
    Napi::TypedArray array = info[2].As<Napi::TypedArray>();
    bytes = {static_cast<const uint8_t*>(array.ArrayBuffer().Data()) + array.ByteOffset(), array.ByteLength()};
  } else {
    return wrongArguments(env, "appendOutput");
  }
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), outputs->files[index].file()) != bytes.size())
    return failPieces(env, *outputs, index, std::error_code(errno, std::generic_category()), "write");
  return env.Undefined();
}

Napi::Value CommitOutputs(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  PieceOutputs* outputs = info.Length() > 1 ? pieceOutputs(info[0]) : nullptr;
  if (!outputs || !info[1].IsBoolean()) return wrongArguments(env, "commitOutputs");
  size_t bad = 0;
  if (commitTogether(outputs->files, info[1].As<Napi::Boolean>().Value(), &bad)) return env.Undefined();
  const OutputFile& failed = outputs->files[bad];
  return failPieces(env, *outputs, bad, failed.error(), failed.failedStep());
}

Napi::Value DiscardOutputs(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  PieceOutputs* outputs = info.Length() > 0 ? pieceOutputs(info[0]) : nullptr;
  if (!outputs) return wrongArguments(env, "discardOutputs");
  for (OutputFile& file : outputs->files) file.discard();
  return env.Undefined();
}

// ---- Temporary files: named and listed here, so that one interrupted or
// killed run's are found and removed (io/temporary.h).

Napi::Value throwSystem(Napi::Env env, const std::string& path, int errnum, const char* step) {
  systemError(env, OutputFailure{path, std::error_code(errnum, std::generic_category()), step}).ThrowAsJavaScriptException();
  return env.Undefined();
}

// temporaryFolder([parent]) -> a new scratch folder of ours (in the
// system's temporary folder without a parent), held until discardTemporary.
Napi::Value TemporaryFolder(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() > 0 && !info[0].IsString() && !info[0].IsUndefined()) return wrongArguments(env, "temporaryFolder");
  const std::string parent = info.Length() > 0 && info[0].IsString() ? pathArgument(info[0]) : std::string();
  int errnum = 0;
  const std::string path = makeTemporaryFolder(parent, errnum);
  if (path.empty()) return throwSystem(env, parent, errnum, "mkdir");
  return Napi::String::New(env, path);
}

// discardTemporary(path): removes a temporary file or scratch folder of ours.
Napi::Value DiscardTemporary(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "discardTemporary");
  discardTemporary(pathArgument(info[0]));
  return env.Undefined();
}

// abandonTemporaries() -> {files, folders, targets}: an interruption; every
// temporary of this process is removed, with the output folders it made
// that are left empty, and none takes its name after this.
// limitAllocatorPools(): for the command line, which owns its process.
Napi::Value LimitAllocatorPools(const Napi::CallbackInfo& info) {
  limitAllocatorPools();
  return info.Env().Undefined();
}

Napi::Value AbandonTemporaries(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const Abandoned gone = abandonTemporaries();
  Napi::Object result = Napi::Object::New(env);
  const auto list = [&](const std::vector<std::string>& paths) {
    Napi::Array array = Napi::Array::New(env, paths.size());
    for (uint32_t i = 0; i < paths.size(); ++i) array.Set(i, paths[i]);
    return array;
  };
  result.Set("files", list(gone.files));
  result.Set("folders", list(gone.folders));
  result.Set("targets", list(gone.targets));
  return result;
}

// stopConversions(): the first step of an interruption; every conversion of
// the process stops at its next piece and no temporary takes its name.
Napi::Value StopConversions(const Napi::CallbackInfo& info) {
  stopConversions();
  return info.Env().Undefined();
}

// cancelFlag() -> a number that names a new flag, for options.cancel;
// cancel(id) raises it, from any thread; dropCancelFlag(id) once done.
Napi::Value CancelFlag(const Napi::CallbackInfo& info) { return Napi::Number::New(info.Env(), newCancelFlag()); }

Napi::Value Cancel(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsNumber()) return wrongArguments(env, "cancel");
  raiseCancelFlag(info[0].As<Napi::Number>().Uint32Value());
  return env.Undefined();
}

// cancelOn(id): the flag of the task this thread now runs; 0 when it is done.
Napi::Value CancelOn(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsNumber()) return wrongArguments(env, "cancelOn");
  taskCancel = info[0].As<Napi::Number>().Uint32Value();
  return env.Undefined();
}

Napi::Value DropCancelFlag(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsNumber()) return wrongArguments(env, "dropCancelFlag");
  dropCancelFlag(info[0].As<Napi::Number>().Uint32Value());
  return env.Undefined();
}

// exitNow(code): ends the process at once, without waiting for conversions
// under way on other threads (their temporaries abandoned first).
Napi::Value ExitNow(const Napi::CallbackInfo& info) {
  std::fflush(nullptr);
  std::_Exit(info.Length() > 0 && info[0].IsNumber() ? info[0].As<Napi::Number>().Int32Value() : 1);
}

// noteMadeFolder(folder): a folder made for outputs, removed at an interruption if left empty.
Napi::Value NoteMadeFolder(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "noteMadeFolder");
  noteMadeFolder(pathArgument(info[0]));
  return env.Undefined();
}

// The C++ rules that lib/ applies before converting, so that the two never differ.
Napi::Value FileStem(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "fileStem");
  return Napi::String::New(env, fileStem(info[0].As<Napi::String>().Utf8Value()));
}

// outputClash(paths): the first two output paths that the file system would
// file under one name, as [first, second], or null when all differ.
Napi::Value OutputClash(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::vector<std::string> paths;
  if (info.Length() < 1 || !pathList(info[0], paths)) return wrongArguments(env, "outputClash");
  std::map<std::string, uint32_t> seen;
  for (uint32_t i = 0; i < paths.size(); ++i) {
    const auto [first, fresh] = seen.emplace(outputNameKey(paths[i]), i);
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
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "isDeviceName");
  return Napi::Boolean::New(env, reservedDeviceName(info[0].As<Napi::String>().Utf8Value()));
}

// Whether a recording's first block (a Buffer of at least 512 bytes) holds a settings record.
Napi::Value HasSettingsRecord(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsBuffer()) return wrongArguments(env, "hasSettingsRecord");
  Napi::Buffer<uint8_t> block = info[0].As<Napi::Buffer<uint8_t>>();
  return Napi::Boolean::New(env, holdsSettingsRecord({block.Data(), block.Length()}));
}

// schema(): what the tables look like, for the layer's writers and
// recognisers: {banner, streams: {name: [channel...]}, columns: [[name, unit, stream, channel]...]}.
Napi::Value Schema(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  Napi::Object streams = Napi::Object::New(env);
  for (const StreamLayout& layout : streamLayouts()) {
    Napi::Array channels = Napi::Array::New(env, layout.channels.size());
    for (uint32_t c = 0; c < layout.channels.size(); ++c) channels.Set(c, layout.channels[c]);
    streams.Set(layout.name, channels);
  }
  const std::vector<ColumnLayout> layouts = columnLayouts();
  Napi::Array columns = Napi::Array::New(env, layouts.size());
  for (uint32_t i = 0; i < layouts.size(); ++i) {
    Napi::Array column = Napi::Array::New(env, 4);
    column.Set(0u, layouts[i].name);
    column.Set(1u, layouts[i].unit);
    column.Set(2u, layouts[i].stream);
    column.Set(3u, layouts[i].channel);
    columns.Set(i, column);
  }
  // The epoch and day tables' column names, by which their files are known as ours.
  const auto names = [&](std::span<const EpochColumn> from) {
    Napi::Array list = Napi::Array::New(env, from.size());
    for (uint32_t i = 0; i < from.size(); ++i) list.Set(i, from[i].name);
    return list;
  };
  Napi::Object schema = Napi::Object::New(env);
  schema.Set("banner", csvBanner());
  schema.Set("streams", streams);
  schema.Set("columns", columns);
  schema.Set("epochColumns", names(epochColumns()));
  schema.Set("dayColumns", names(dayColumns()));
  return schema;
}

Napi::Object Register(Napi::Env env, Napi::Object exports) {
  const std::pair<const char*, Napi::Function::Callback> entries[] = {
      {"init", Init},
      {"convertRecording", ConvertRecording},
      {"convertSet", ConvertSet},
      {"inspect", Inspect},
      {"calibrate", Calibrate},
      {"ticksOffClock", TicksOffClock},
      {"dateProblem", DateProblem},
      {"loadRecording", LoadRecording},
      {"openTable", OpenTable},
      {"openEpochs", OpenEpochs},
      {"planDays", PlanDays},
      {"nextEpochs", NextEpochs},
      {"nextEpochText", NextEpochText},
      {"epochProgress", EpochProgress},
      {"epochSummary", EpochSummaryOf},
      {"dayText", DayText},
      {"closeEpochs", CloseEpochs},
      {"nextRows", NextRows},
      {"closeTable", CloseTable},
      {"openSetTable", OpenSetTable},
      {"nextSetRows", NextSetRows},
      {"setTableOutcome", SetTableOutcome},
      {"closeSetTable", CloseSetTable},
      {"tableRows", TableRows},
      {"loadSet", LoadSet},
      {"viewData", ViewData},
      {"viewSamples", ViewSamples},
      {"replaceFiles", ReplaceFiles},
      {"openOutputs", OpenOutputs},
      {"appendOutput", AppendOutput},
      {"commitOutputs", CommitOutputs},
      {"discardOutputs", DiscardOutputs},
      {"fileStem", FileStem},
      {"outputClash", OutputClash},
      {"isDeviceName", IsDeviceName},
      {"hasSettingsRecord", HasSettingsRecord},
      {"schema", Schema},
      {"temporaryFolder", TemporaryFolder},
      {"discardTemporary", DiscardTemporary},
      {"abandonTemporaries", AbandonTemporaries},
      {"noteMadeFolder", NoteMadeFolder},
      {"exitNow", ExitNow},
      {"stopConversions", StopConversions},
      {"cancelFlag", CancelFlag},
      {"cancel", Cancel},
      {"dropCancelFlag", DropCancelFlag},
      {"cancelOn", CancelOn},
      {"limitAllocatorPools", LimitAllocatorPools},
  };
  for (const auto& [name, callback] : entries) exports.Set(name, Napi::Function::New(env, callback, name));
  return exports;
}

}  // namespace

NODE_API_MODULE(native, Register)
