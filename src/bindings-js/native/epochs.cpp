#include "bindings-js/native/native.h"

#include <algorithm>
#include <memory>
#include <span>

namespace kinovar::native {

// Epoch summaries: openEpochs(path, options, request) -> {handle,
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

namespace {

// A zone's offset east of UTC at an instant, asked of a JavaScript function;
// once it throws or answers no number, `failed` and 0 from then on.
ZoneOffset zoneOffsetOf(Napi::Env env, const Napi::Function& offsetAt, bool& failed) {
  return [env, offsetAt, &failed](double seconds) {
    if (failed) return 0.0;
    const Napi::Value offset = offsetAt.Call({Napi::Number::New(env, seconds)});
    failed = env.IsExceptionPending() || !offset.IsNumber();
    return failed ? 0.0 : offset.As<Napi::Number>().DoubleValue();
  };
}

}  // namespace

// planDays(handle, offsetAt): the local days of the zone whose offset east of
// UTC offsetAt(seconds since 1970, UTC) gives, instead of 24 h steps.
Napi::Value PlanDays(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  EpochHandle* handle = info.Length() > 1 ? epochHandle(info[0]) : nullptr;
  if (!handle || !*handle || !info[1].IsFunction()) return wrongArguments(env, "planDays");
  bool failed = false;
  (*handle)->planLocalDays(zoneOffsetOf(env, info[1].As<Napi::Function>(), failed));
  if (failed && !env.IsExceptionPending()) return wrongArguments(env, "planDays");
  return env.Undefined();
}

// wallTimeOffset(offsetAt, local) -> the offset at which the zone takes the
// wall time `local` (seconds since 1970, read as UTC).
Napi::Value WallTimeOffset(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 2 || !info[0].IsFunction() || !info[1].IsNumber()) return wrongArguments(env, "wallTimeOffset");
  bool failed = false;
  const double offset = wallTimeOffset(zoneOffsetOf(env, info[0].As<Napi::Function>(), failed),
                                       info[1].As<Napi::Number>().DoubleValue());
  if (env.IsExceptionPending()) return env.Undefined();
  if (failed) return wrongArguments(env, "wallTimeOffset");
  return Napi::Number::New(env, offset);
}

// wallTimeChange(offsetAt, local) -> "skipped" or "repeated" when a change
// of daylight-saving time skips or repeats the wall time, else "".
Napi::Value WallTimeChange(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 2 || !info[0].IsFunction() || !info[1].IsNumber()) return wrongArguments(env, "wallTimeChange");
  bool failed = false;
  const char* change = wallTimeChange(zoneOffsetOf(env, info[0].As<Napi::Function>(), failed),
                                      info[1].As<Napi::Number>().DoubleValue());
  if (env.IsExceptionPending()) return env.Undefined();
  if (failed) return wrongArguments(env, "wallTimeChange");
  return Napi::String::New(env, change);
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

}  // namespace kinovar::native
