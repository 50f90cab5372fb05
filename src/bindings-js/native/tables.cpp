// A recording's or a set's table, read in pieces through a handle.
#include "bindings-js/native/native.h"

#include <algorithm>
#include <memory>
#include <array>
#include <cstdint>

namespace kinovar::native {

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

// A piece of a table's rows as nextRows hands it. `lend`: a piece handed
// once (sampleRows), whose vectors JS takes as they are; an array the piece
// has none of is null (the caller holds it).
Napi::Value rowsObject(Napi::Env env, RowPiece& chunk, const std::vector<ColumnLayout>& layouts,
                       Napi::Object* store = nullptr, bool lend = false) {
  const size_t n = static_cast<size_t>(chunk.rows);
  const auto doubles = [&](const std::string& key, std::vector<double>& values) -> Napi::Value {
    if (values.empty() && n > 0) return env.Null();
    if (lend) return Napi::Float64Array::New(env, n, takeBuffer(env, std::move(values)), 0);
    return pieceArray(env, store, key, values);
  };
  Napi::Object result = Napi::Object::New(env);
  result.Set("rows", Napi::Number::New(env, static_cast<double>(n)));
  result.Set("time", doubles("time", chunk.time));
  Napi::Array columns = Napi::Array::New(env, chunk.values.size());
  for (uint32_t c = 0; c < chunk.values.size(); ++c) {
    Napi::Object column = Napi::Object::New(env);
    const std::string key = std::to_string(c);
    if (std::string_view(layouts[c].stream) == "events") {
      Napi::Int32Array values = pieceArray<int32_t>(env, store, "v" + key, n);
      for (size_t r = 0; r < n; ++r) values[r] = static_cast<int32_t>(chunk.values[c][r]);
      if (lend) std::vector<double>().swap(chunk.values[c]);
      column.Set("values", values);
    } else {
      column.Set("values", doubles("v" + key, chunk.values[c]));
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
    RowPiece chunk;
    if (!(*handle)->next(maxRows, chunk)) return env.Null();
    return rowsObject(env, chunk, (*handle)->columns(), store.IsEmpty() ? nullptr : &store);
  });
}

// A set's tables opened as its conversion opens them: openSetTable(paths,
// options) -> the set's outcome with {handle, timeBase, recordings: [{info,
// quality, columns, rates}]} (no handle after a failure; options.streams:
// only those); closeSetTable(handle).
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

// sampleRows(streams) -> the rows of a loaded recording's streams (by name,
// each {time, <channel>...} in Float64Arrays) as nextRows hands a piece: a
// column's values, and the time, null where a stream has a sample on every
// row (its own arrays hold them).
namespace {

const double* float64s(const Napi::Value& value, uint64_t& count) {
  if (!value.IsTypedArray() || value.As<Napi::TypedArray>().TypedArrayType() != napi_float64_array) return nullptr;
  const Napi::Float64Array array = value.As<Napi::Float64Array>();
  count = array.ElementLength();
  static constexpr double kNone = 0.0;  // an empty array may have no memory
  return array.Data() ? array.Data() : &kNone;
}

bool rowGroupsOf(const Napi::Value& value, std::array<RowGroup, 5>& groups) {
  if (!value.IsObject()) return false;
  const Napi::Object streams = value.As<Napi::Object>();
  for (const StreamLayout& layout : streamLayouts()) {
    const Napi::Value stream = streams.Get(layout.name);
    if (stream.IsUndefined() || stream.IsNull()) continue;
    if (!stream.IsObject()) return false;
    const size_t g = groupOf(layout.key);
    RowGroup& group = groups[g];
    const Napi::Object object = stream.As<Napi::Object>();
    if (!(group.times = float64s(object.Get("time"), group.count))) return false;
    size_t c = 0;
    for (const char* channel : layout.channels) {
      uint64_t count = 0;
      group.channels[c++] = float64s(object.Get(channel), count);
      if (!group.channels[c - 1] || count != group.count) return false;
    }
    group.quaternion = layout.key == kQuaternionKey;
  }
  return true;
}

}  // namespace

Napi::Value SampleRows(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::array<RowGroup, 5> groups;
  if (info.Length() < 1 || !rowGroupsOf(info[0], groups)) return wrongArguments(env, "sampleRows");
  return run(env, [&]() -> Napi::Value {
    HeldTable table = heldTable(groups);
    return rowsObject(env, table.rows, table.columns.layouts, nullptr, true);
  });
}

}  // namespace kinovar::native
