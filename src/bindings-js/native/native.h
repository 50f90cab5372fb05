// What the files of the JavaScript layer's entry share. Its entries take
// plain option objects the layer has already checked, return objects, and
// throw the one error class the layer hands in at load (init), each with a
// code. They only bind: every rule is the core's.
#pragma once

#include <napi.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bindings-js/binding.h"
#include "ops/epochs.h"
#include "ops/load.h"
#include "ops/names.h"
#include "ops/operations.h"

namespace kinovar::native {

using namespace kinovar::binding;

// Errors (errors.cpp).
Napi::Error makeError(Napi::Env env, const std::string& message, const char* code,
                      Napi::Object details = Napi::Object());
// An argument the JavaScript layer should have checked: a fault of the layer.
Napi::Value wrongArguments(Napi::Env env, const char* entry);
// A file system failure as Node reports its own: `code` is the system's
// name for it, `syscall` the step that failed, `path` the file.
Napi::Error systemError(Napi::Env env, const OutputFailure& failure);

template <typename Operation>
Napi::Value run(Napi::Env env, Operation&& operation) {
  return guarded(env, operation, [&](const char* code, const std::string& message, const std::string& path) {
    Napi::Object details = Napi::Object::New(env);
    if (!path.empty()) details.Set("path", path);
    makeError(env, message, code, details).ThrowAsJavaScriptException();
  });
}

// Values (values.cpp): a document of the core's writers as a JavaScript value.
Napi::Value document(Napi::Env env, const std::function<void(JsonSink&)>& write);
Napi::Value calibrationObject(Napi::Env env, const CalibrationReport& report);
bool pathList(const Napi::Value& value, std::vector<std::string>& paths);
Napi::Object setOutcome(Napi::Env env, const SetOutcome& outcome);

// Arguments (options.cpp, cancel.cpp).
CancelToken cancelOf(const Napi::Value& options);
bool conversionOptions(const Napi::Value& value, ConversionOptions& options);
bool loadWindow(const Napi::Value& value, LoadWindow& window);
// A piece's rows asked for: at least one, at most a billion.
uint64_t maxRowsOf(const Napi::Value& value);

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

// A vector's memory handed to JavaScript as it is (recordings.cpp).
Napi::ArrayBuffer takeBuffer(Napi::Env env, std::vector<double>&& values);

// The entries, by file; register.cpp names them.
// cancel.cpp
Napi::Value StopConversions(const Napi::CallbackInfo& info);
Napi::Value CancelFlag(const Napi::CallbackInfo& info);
Napi::Value Cancel(const Napi::CallbackInfo& info);
Napi::Value CancelOn(const Napi::CallbackInfo& info);
Napi::Value DropCancelFlag(const Napi::CallbackInfo& info);
Napi::Value ExitNow(const Napi::CallbackInfo& info);
// convert.cpp
Napi::Value ConvertRecording(const Napi::CallbackInfo& info);
Napi::Value ConvertSet(const Napi::CallbackInfo& info);
Napi::Value ConvertOpenSim(const Napi::CallbackInfo& info);
Napi::Value WriteBids(const Napi::CallbackInfo& info);
Napi::Value BidsLayoutOf(const Napi::CallbackInfo& info);
Napi::Value BidsLabelFits(const Napi::CallbackInfo& info);
Napi::Value BidsPlacementFits(const Napi::CallbackInfo& info);
Napi::Value MendedName(const Napi::CallbackInfo& info);
Napi::Value CalibrationSummary(const Napi::CallbackInfo& info);
Napi::Value Inspect(const Napi::CallbackInfo& info);
Napi::Value DateProblem(const Napi::CallbackInfo& info);
Napi::Value Calibrate(const Napi::CallbackInfo& info);
Napi::Value TicksOffClock(const Napi::CallbackInfo& info);
// epochs.cpp
Napi::Value OpenEpochs(const Napi::CallbackInfo& info);
Napi::Value NextEpochs(const Napi::CallbackInfo& info);
Napi::Value NextEpochText(const Napi::CallbackInfo& info);
Napi::Value DayText(const Napi::CallbackInfo& info);
Napi::Value EpochProgress(const Napi::CallbackInfo& info);
Napi::Value PlanDays(const Napi::CallbackInfo& info);
Napi::Value WallTimeOffset(const Napi::CallbackInfo& info);
Napi::Value WallTimeChange(const Napi::CallbackInfo& info);
Napi::Value EpochSummaryOf(const Napi::CallbackInfo& info);
Napi::Value CloseEpochs(const Napi::CallbackInfo& info);
// errors.cpp
Napi::Value Init(const Napi::CallbackInfo& info);
// names.cpp
Napi::Value FileStem(const Napi::CallbackInfo& info);
Napi::Value OutputClash(const Napi::CallbackInfo& info);
Napi::Value TargetClash(const Napi::CallbackInfo& info);
Napi::Value IsDeviceName(const Napi::CallbackInfo& info);
Napi::Value CheckRecordingFile(const Napi::CallbackInfo& info);
Napi::Value ExistingFileOf(const Napi::CallbackInfo& info);
Napi::Value Schema(const Napi::CallbackInfo& info);
// settings.cpp
Napi::Value ReadSettings(const Napi::CallbackInfo& info);
Napi::Value SettingsToWrite(const Napi::CallbackInfo& info);
Napi::Value SettingsLists(const Napi::CallbackInfo& info);
// outputs.cpp
Napi::Value ReplaceFiles(const Napi::CallbackInfo& info);
Napi::Value OpenOutputs(const Napi::CallbackInfo& info);
Napi::Value AppendOutput(const Napi::CallbackInfo& info);
Napi::Value CommitOutputs(const Napi::CallbackInfo& info);
Napi::Value DiscardOutputs(const Napi::CallbackInfo& info);
Napi::Value TemporaryFolder(const Napi::CallbackInfo& info);
Napi::Value DiscardTemporary(const Napi::CallbackInfo& info);
Napi::Value LimitAllocatorPools(const Napi::CallbackInfo& info);
Napi::Value AbandonTemporaries(const Napi::CallbackInfo& info);
Napi::Value NoteMadeFolder(const Napi::CallbackInfo& info);
// parquet.cpp
Napi::Value ParquetWriter(const Napi::CallbackInfo& info);
Napi::Value ParquetAppend(const Napi::CallbackInfo& info);
Napi::Value ParquetFinish(const Napi::CallbackInfo& info);
Napi::Value ConvertParquet(const Napi::CallbackInfo& info);
Napi::Value ConvertParquetSet(const Napi::CallbackInfo& info);
Napi::Value Datetimes(const Napi::CallbackInfo& info);
// recordings.cpp
Napi::Value LoadRecording(const Napi::CallbackInfo& info);
Napi::Value LoadSet(const Napi::CallbackInfo& info);
// tables.cpp
Napi::Value OpenTable(const Napi::CallbackInfo& info);
Napi::Value NextRows(const Napi::CallbackInfo& info);
Napi::Value OpenSetTable(const Napi::CallbackInfo& info);
Napi::Value CloseSetTable(const Napi::CallbackInfo& info);
Napi::Value CloseTable(const Napi::CallbackInfo& info);
Napi::Value SampleRows(const Napi::CallbackInfo& info);
// view.cpp
Napi::Value ViewData(const Napi::CallbackInfo& info);
Napi::Value ViewSamples(const Napi::CallbackInfo& info);

}  // namespace kinovar::native
