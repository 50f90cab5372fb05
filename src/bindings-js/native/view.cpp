// The viewer's data.
#include "bindings-js/native/native.h"

#include <algorithm>

namespace kinovar::native {

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

// viewSamples(streams, created, {budget, quality, calibration}): the viewer's
// data of samples already in memory (a Parquet file read in JS), streams
// shaped as loadRecording gives them, the quality report and the calibration
// they were written with as JSON text.
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
  std::string quality, calibration;
  if (info.Length() > 2 && info[2].IsObject()) {
    Napi::Value q = info[2].As<Napi::Object>().Get("quality");
    if (q.IsString()) quality = q.As<Napi::String>().Utf8Value();
    Napi::Value c = info[2].As<Napi::Object>().Get("calibration");
    if (c.IsString()) calibration = c.As<Napi::String>().Utf8Value();
  }
  const std::string created = info[1].As<Napi::String>().Utf8Value();
  const uint64_t budget = viewBudget(info.Length() > 2 ? info[2] : env.Undefined());
  return run(env, [&]() -> Napi::Value {
    const std::vector<uint8_t> page = viewSamples(streams, created, budget, quality, calibration);
    return Napi::Buffer<uint8_t>::Copy(env, page.data(), page.size());
  });
}

}  // namespace kinovar::native
