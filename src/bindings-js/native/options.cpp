// A conversion's options, checked by the layer, as the core's.
#include "bindings-js/native/native.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

namespace kinovar::native {

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

// {orientation, format, threads, durable, progress, ...}, checked once by the
// JavaScript layer, where the request enters, and taken here as it is; absent
// fields keep the classic behaviour. False only when there is no options object.
bool conversionOptions(const Napi::Value& value, ConversionOptions& options) {
  options.cancel = cancelOf(value);
  if (!value.IsObject()) return value.IsUndefined();
  Napi::Object object = value.As<Napi::Object>();
  Napi::Value orientation = object.Get("orientation"), format = object.Get("format"), threads = object.Get("threads");
  if (orientation.IsString()) estimatorNamed(orientation.As<Napi::String>().Utf8Value(), options.estimator);
  if (format.IsString()) outputFormatNamed(format.As<Napi::String>().Utf8Value(), options.format);
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
  const Napi::Value clock = object.Get("clock");
  if (clock.IsString() && clock.As<Napi::String>().Utf8Value() == "drift") options.clock = SetClock::Drift;
  // calibrate: 'off', 'auto' or a calibration file's path, checked by the
  // layer; overwrite (--force) also applies a file of another device.
  if (const Napi::Value calibrate = object.Get("calibrate"); calibrate.IsString())
    calibrationNamed(pathArgument(calibrate), options);
  options.calibrationOtherDevice = object.Get("overwrite").ToBoolean().Value();
  return true;
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

}  // namespace kinovar::native
