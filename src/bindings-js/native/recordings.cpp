// Recordings loaded whole into memory.
#include "bindings-js/native/native.h"

#include <cstring>

namespace kinovar::native {

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

}  // namespace kinovar::native
