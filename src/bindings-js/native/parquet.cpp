// Parquet files: a recording's table written by the core from its file
// (convertParquet), or by the core's encoder from rows the JavaScript layer
// reads in pieces (a set's, epochs): parquetWriter(columns, utc, groupRows)
// -> handle, parquetAppend(handle, from, to, columns) and
// parquetFinish(handle, metadata), each answering the file's bytes made
// meanwhile, in order.
#include "bindings-js/native/native.h"
#include "export/parquet.h"
#include "ops/parquet_table.h"

#include <memory>

namespace kinovar::native {
namespace {

struct ParquetHandle {
  std::vector<uint8_t> made;
  std::unique_ptr<parquet::Writer> writer;
};

ParquetHandle* parquetHandle(const Napi::Value& value) {
  return value.IsExternal() ? value.As<Napi::External<ParquetHandle>>().Data() : nullptr;
}

Napi::Value made(Napi::Env env, ParquetHandle& handle) {
  Napi::Buffer<uint8_t> bytes = Napi::Buffer<uint8_t>::Copy(env, handle.made.data(), handle.made.size());
  handle.made.clear();
  return bytes;
}

}  // namespace

Napi::Value ParquetWriter(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 3 || !info[0].IsArray() || !info[2].IsNumber()) return wrongArguments(env, "parquetWriter");
  Napi::Array given = info[0].As<Napi::Array>();
  std::vector<parquet::ColumnLayout> columns;
  for (uint32_t i = 0; i < given.Length(); ++i) {
    Napi::Object column = given.Get(i).As<Napi::Object>();
    const std::string type = column.Get("type").As<Napi::String>().Utf8Value();
    columns.push_back({column.Get("name").As<Napi::String>().Utf8Value(),
                       type == "int32" ? parquet::ColumnType::Int32
                       : type == "timestamp" ? parquet::ColumnType::Timestamp
                                             : parquet::ColumnType::Double});
  }
  auto handle = std::make_unique<ParquetHandle>();
  ParquetHandle* into = handle.get();
  const int64_t groupRows = info[2].As<Napi::Number>().Int64Value();
  handle->writer = std::make_unique<parquet::Writer>(
      std::move(columns), info[1].ToBoolean().Value(),
      [into](const uint8_t* data, size_t n) { into->made.insert(into->made.end(), data, data + n); },
      static_cast<size_t>(std::max<int64_t>(groupRows, 1)));
  return Napi::External<ParquetHandle>::New(env, handle.release(), [](Napi::Env, ParquetHandle* done) { delete done; });
}

Napi::Value ParquetAppend(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  ParquetHandle* handle = info.Length() > 3 ? parquetHandle(info[0]) : nullptr;
  if (!handle || !handle->writer || !info[1].IsNumber() || !info[2].IsNumber() || !info[3].IsArray())
    return wrongArguments(env, "parquetAppend");
  const int64_t first = info[1].As<Napi::Number>().Int64Value(), last = info[2].As<Napi::Number>().Int64Value();
  if (first < 0 || last < first) return wrongArguments(env, "parquetAppend");
  const size_t from = static_cast<size_t>(first), to = static_cast<size_t>(last);
  Napi::Array given = info[3].As<Napi::Array>();
  std::vector<parquet::ColumnPiece> pieces(given.Length());
  for (uint32_t i = 0; i < given.Length(); ++i) {
    Napi::Object column = given.Get(i).As<Napi::Object>();
    Napi::Value values = column.Get("values"), valid = column.Get("valid");
    if (values.IsNull()) continue;  // no row has a value
    if (!values.IsTypedArray()) return wrongArguments(env, "parquetAppend");
    Napi::TypedArray array = values.As<Napi::TypedArray>();
    if (array.ElementLength() < to) return wrongArguments(env, "parquetAppend");
    pieces[i].values = static_cast<const uint8_t*>(array.ArrayBuffer().Data()) + array.ByteOffset();
    if (valid.IsTypedArray()) {
      Napi::TypedArray bitmap = valid.As<Napi::TypedArray>();
      pieces[i].valid = static_cast<const uint8_t*>(bitmap.ArrayBuffer().Data()) + bitmap.ByteOffset();
    }
  }
  return run(env, [&]() -> Napi::Value {
    handle->writer->append(pieces, from, to);
    return made(env, *handle);
  });
}

Napi::Value ParquetFinish(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  ParquetHandle* handle = info.Length() > 1 ? parquetHandle(info[0]) : nullptr;
  if (!handle || !handle->writer || !info[1].IsArray()) return wrongArguments(env, "parquetFinish");
  Napi::Array given = info[1].As<Napi::Array>();
  std::vector<std::pair<std::string, std::string>> metadata;
  for (uint32_t i = 0; i < given.Length(); ++i) {
    Napi::Array entry = given.Get(i).As<Napi::Array>();
    metadata.emplace_back(entry.Get(0u).As<Napi::String>().Utf8Value(), entry.Get(1u).As<Napi::String>().Utf8Value());
  }
  return run(env, [&]() -> Napi::Value {
    handle->writer->finish(metadata);
    handle->writer.reset();
    return made(env, *handle);
  });
}

namespace {

// A table's rows per group: options.rowGroupRows, else the writer's own.
size_t groupRowsOf(const Napi::Value& options) {
  const Napi::Value rows = options.As<Napi::Object>().Get("rowGroupRows");
  return rows.IsNumber() ? static_cast<size_t>(std::max(1.0, rows.As<Napi::Number>().DoubleValue())) : parquet::kGroupRows;
}

}  // namespace

// convertParquet(recording, target, options, calibrated) -> {parsed, written,
// info, quality, calibration}: nothing written when not parsed or without
// samples; throws the system's reason when the file could not be written.
// options.rowGroupRows: rows per row group.
Napi::Value ConvertParquet(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  ConversionOptions options;
  if (info.Length() < 4 || !info[0].IsString() || !info[1].IsString() || !conversionOptions(info[2], options))
    return wrongArguments(env, "convertParquet");
  const std::string recording = pathArgument(info[0]), target = pathArgument(info[1]);
  const size_t groupRows = groupRowsOf(info[2]);
  const bool calibrated = info[3].ToBoolean().Value();
  ParquetTableOutcome done;
  Napi::Value answer = run(env, [&]() -> Napi::Value {
    done = writeParquetTable(recording.c_str(), target.c_str(), options, calibrated, groupRows);
    Napi::Object result = Napi::Object::New(env);
    result.Set("parsed", Napi::Boolean::New(env, done.parsed));
    result.Set("written", Napi::Boolean::New(env, done.written));
    result.Set("info", document(env, [&](JsonSink& json) { writeRecordingInfo(json, done.settings); }));
    result.Set("quality", document(env, [&](JsonSink& json) { writeQuality(json, done.quality); }));
    result.Set("calibration", calibrationObject(env, done.calibration));
    return result;
  });
  if (done.failure.error && !env.IsExceptionPending()) {
    systemError(env, done.failure).ThrowAsJavaScriptException();
    return env.Undefined();
  }
  return answer;
}

// convertParquetSet(recordings, folder, options, calibrated) -> the set's
// outcome; a Parquet file per recording, <folder>/<stem>.parquet, the files
// taking their names together once all are complete.
Napi::Value ConvertParquetSet(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::vector<std::string> paths;
  ConversionOptions options;
  if (info.Length() < 4 || !pathList(info[0], paths) || !info[1].IsString() || !conversionOptions(info[2], options))
    return wrongArguments(env, "convertParquetSet");
  const std::string folder = pathArgument(info[1]);
  const size_t groupRows = groupRowsOf(info[2]);
  const bool calibrated = info[3].ToBoolean().Value();
  return run(env, [&]() -> Napi::Value {
    return setOutcome(env, writeParquetSet(paths, folder, options, calibrated, groupRows));
  });
}

// datetimes(time, timeBase) -> BigInt64Array: the datetime column of rows at `time`.
Napi::Value Datetimes(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 2 || !info[0].IsTypedArray() || !info[1].IsNumber()) return wrongArguments(env, "datetimes");
  Napi::Float64Array time = info[0].As<Napi::Float64Array>();
  const double timeBase = info[1].As<Napi::Number>().DoubleValue();
  Napi::BigInt64Array micros = Napi::BigInt64Array::New(env, time.ElementLength());
  for (size_t r = 0; r < time.ElementLength(); ++r) micros[r] = datetimeMicros(time[r], timeBase);
  return micros;
}

}  // namespace kinovar::native
