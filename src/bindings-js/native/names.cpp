// The core's rules and lists that lib/ applies before converting, so that
// the two never differ.
#include "bindings-js/native/native.h"
#include "export/opensim.h"
#include "export/parquet.h"
#include "export/resample.h"

#include <span>

#include "ops/existing.h"
#include "ops/operations.h"
#include "ops/targets.h"

namespace kinovar::native {

namespace {

Napi::Array indexList(Napi::Env env, const std::vector<size_t>& indices) {
  Napi::Array list = Napi::Array::New(env, indices.size());
  for (uint32_t i = 0; i < indices.size(); ++i) list.Set(i, static_cast<double>(indices[i]));
  return list;
}

}  // namespace

Napi::Value FileStem(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "fileStem");
  return Napi::String::New(env, fileStem(info[0].As<Napi::String>().Utf8Value()));
}

// mendedName(name) -> the name with what OpenSim's table cannot hold in a
// column's name made '_' (export/opensim.h).
Napi::Value MendedName(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "mendedName");
  return Napi::String::New(env, mendedName(info[0].As<Napi::String>().Utf8Value()));
}

// outputClash(paths): the first two output paths that the file system would
// file under one name, as [first, second], or null when all differ.
Napi::Value OutputClash(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::vector<std::string> paths;
  if (info.Length() < 1 || !pathList(info[0], paths)) return wrongArguments(env, "outputClash");
  const std::vector<size_t> pair = sameNamedTargets(paths);
  return pair.empty() ? env.Null() : indexList(env, pair);
}

// targetClash(inputs, targets): why the targets may not be written, as
// {problem, recordings} (the problem by its name, the indices it concerns),
// or null when nothing forbids them.
Napi::Value TargetClash(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::vector<std::string> inputs, targets;
  if (info.Length() < 2 || !pathList(info[0], inputs) || !pathList(info[1], targets)) {
    return wrongArguments(env, "targetClash");
  }
  const kinovar::TargetClash clash = targetClash(inputs, targets);
  if (clash.problem == OutputProblem::None) return env.Null();
  Napi::Object answer = Napi::Object::New(env);
  answer.Set("problem", outputProblemName(clash.problem));
  answer.Set("recordings", indexList(env, clash.indices));
  return answer;
}

// isDeviceName(path): whether Windows opens a device, not a file, under the
// path's file name (on every platform, for messages about Windows).
Napi::Value IsDeviceName(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "isDeviceName");
  return Napi::Boolean::New(env, reservedDeviceName(info[0].As<Napi::String>().Utf8Value()));
}

// checkRecordingFile(path): null for a recording; else {reason, bytes} (the
// reason by its name) and, for a file that cannot be read, {code, errno,
// syscall} as the system gave them.
Napi::Value CheckRecordingFile(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "checkRecordingFile");
  const RecordingCheck check = checkRecordingFile(info[0].As<Napi::String>().Utf8Value().c_str());
  if (check.fault == RecordingFault::None) return env.Null();
  Napi::Object answer = Napi::Object::New(env);
  answer.Set("reason", recordingFaultName(check));
  answer.Set("bytes", static_cast<double>(check.bytes));
  if (check.fault == RecordingFault::Unreadable) {
    answer.Set("code", errnoName(check.systemError));
    answer.Set("errno", check.systemError);
    answer.Set("syscall", check.step);
  }
  return answer;
}

// existingFile(path): what stands where an output would go, {kind, size,
// ours, format} (ours: an output may take its place unasked; format: that
// of an output of ours); for a file that
// cannot be looked at, {code, errno, syscall} as the system gave them.
Napi::Value ExistingFileOf(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "existingFile");
  const ExistingFile found = existingFile(info[0].As<Napi::String>().Utf8Value());
  Napi::Object answer = Napi::Object::New(env);
  if (found.systemError) {
    answer.Set("code", errnoName(found.systemError));
    answer.Set("errno", found.systemError);
    answer.Set("syscall", "open");
    return answer;
  }
  answer.Set("kind", existingName(found.kind));
  answer.Set("size", static_cast<double>(found.size));
  answer.Set("ours", replaceableByOutput(found.kind));
  if (found.format) answer.Set("format", found.format);
  return answer;
}

// schema(): what the tables look like, for the layer's writers and
// recognisers: {banner, streams: {name: [channel...]}, columns: [[name, unit, stream, channel]...],
// calibrationFormat, ...}, and the status readAndSync2 gives each failure of a set, by its name.
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
  schema.Set("calibrationFormat", kCalibrationFormat);
  schema.Set("viewGenerator", kViewGenerator);
  Napi::Object set = Napi::Object::New(env);
  set.Set("file", kSetFile);
  set.Set("format", kSetFormat);
  set.Set("resampleGrid", kResampleGrid);
  set.Set("resampleMethod", kResampleMethod);
  schema.Set("set", set);
  schema.Set("streams", streams);
  schema.Set("columns", columns);
  schema.Set("epochColumns", names(epochColumns()));
  schema.Set("dayColumns", names(dayColumns()));
  schema.Set("parquetGroupRows", static_cast<double>(parquet::kGroupRows));
  Napi::Object meta = Napi::Object::New(env);
  meta.Set("format", parquet::kMetaFormat);
  meta.Set("recording", parquet::kMetaRecording);
  meta.Set("units", parquet::kMetaUnits);
  meta.Set("set", parquet::kMetaSet);
  schema.Set("parquetMeta", meta);
  schema.Set("parquetVersion", parquet::kTableFormat);
  Napi::Object statuses = Napi::Object::New(env);
  for (const SetFailure failure : kSetFailures) statuses.Set(setFailureName(failure), setStatus(failure));
  schema.Set("setStatuses", statuses);
  return schema;
}

}  // namespace kinovar::native
