// A run of a BIDS motion dataset written by the core.
#include "bindings-js/native/native.h"
#include "ops/bids.h"

namespace kinovar::native {

namespace {

bool textOf(const Napi::Object& from, const char* key, std::string& out) {
  const Napi::Value value = from.Get(key);
  if (value.IsUndefined()) return true;
  if (!value.IsString()) return false;
  out = value.As<Napi::String>().Utf8Value();
  return true;
}

bool textsOf(const Napi::Value& value, std::vector<std::string>& out) {
  if (!value.IsArray()) return false;
  const Napi::Array list = value.As<Napi::Array>();
  for (uint32_t i = 0; i < list.Length(); ++i) {
    const Napi::Value item = list.Get(i);
    out.push_back(item.IsString() ? item.As<Napi::String>().Utf8Value() : "");
  }
  return true;
}

bool entitiesOf(const Napi::Value& value, BidsEntities& e) {
  if (!value.IsObject()) return false;
  const Napi::Object from = value.As<Napi::Object>();
  return textOf(from, "subject", e.subject) && textOf(from, "session", e.session) && textOf(from, "task", e.task) &&
         textOf(from, "tracksys", e.tracksys) && textOf(from, "acquisition", e.acquisition) && textOf(from, "run", e.run);
}

bool runOf(const Napi::CallbackInfo& info, BidsRun& run) {
  if (info.Length() < 3 || !pathList(info[0], run.paths) || run.paths.empty() || !info[1].IsString() || !info[2].IsObject())
    return false;
  run.root = pathArgument(info[1]);
  const Napi::Object request = info[2].As<Napi::Object>();
  run.overwrite = request.Get("overwrite").ToBoolean();
  return entitiesOf(request.Get("entities"), run.entities) && textsOf(request.Get("names"), run.names) &&
         run.names.size() == run.paths.size() && textsOf(request.Get("placements"), run.placements) &&
         textOf(request, "fn", run.fn) && textOf(request, "version", run.version);
}

}  // namespace

// writeBids(recordings, root, {...conversion, names, placements, entities,
// overwrite, fn, version}) -> the set's outcome (for one recording its
// {info, quality, calibration}) with `files`, the run's own, and `systemError` with `action`,
// `reading` and `writing` when a system call failed; the refusals the
// layer words as given throw.
Napi::Value WriteBids(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  BidsRun bids;
  ConversionOptions options;
  if (!runOf(info, bids) || !conversionOptions(info[2], options)) return wrongArguments(env, "writeBids");
  return run(env, [&]() -> Napi::Value {
    const BidsOutcome outcome = writeBidsRun(bids, options);
    Napi::Object result = bids.paths.size() > 1 ? setOutcome(env, outcome.set) : Napi::Object::New(env);
    if (bids.paths.size() == 1 && !outcome.system.failure.error) {
      result.Set("info", document(env, [&](JsonSink& json) { writeRecordingInfo(json, outcome.settings); }));
      result.Set("quality", document(env, [&](JsonSink& json) { writeQuality(json, outcome.quality); }));
      result.Set("calibration", calibrationObject(env, outcome.calibration));
    }
    Napi::Array files = Napi::Array::New(env, outcome.files.size());
    for (uint32_t i = 0; i < outcome.files.size(); ++i) files.Set(i, outcome.files[i]);
    result.Set("files", files);
    if (outcome.system.failure.error) {
      Napi::Object failure = systemError(env, outcome.system.failure).Value();
      failure.Set("action", outcome.system.action);
      failure.Set("reading", outcome.system.reading);
      failure.Set("writing", outcome.system.writing);
      result.Set("systemError", failure);
    }
    return result;
  });
}

// bidsLayout(root, entities) -> the run's files by kind ({motion, channels,
// channelsJson, motionJson, events, eventsJson}), as writeBids names them.
Napi::Value BidsLayoutOf(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  BidsEntities entities;
  if (info.Length() < 2 || !info[0].IsString() || !entitiesOf(info[1], entities)) return wrongArguments(env, "bidsLayout");
  const BidsLayout layout = bidsLayout(pathArgument(info[0]), entities);
  const char* kinds[] = {"motion", "channels", "channelsJson", "motionJson", "events", "eventsJson"};
  Napi::Object own = Napi::Object::New(env);
  for (size_t i = 0; i < layout.own.size(); ++i) own.Set(kinds[i], layout.own[i]);
  return own;
}

// bidsLabelFits(key, value), bidsPlacementFits(text) -> whether BIDS takes it.
Napi::Value BidsLabelFits(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 2 || !info[0].IsString() || !info[1].IsString()) return wrongArguments(env, "bidsLabelFits");
  return Napi::Boolean::New(env, bidsLabelFits(info[0].As<Napi::String>().Utf8Value(), info[1].As<Napi::String>().Utf8Value()));
}

Napi::Value BidsPlacementFits(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "bidsPlacementFits");
  return Napi::Boolean::New(env, bidsPlacementFits(info[0].As<Napi::String>().Utf8Value()));
}

}  // namespace kinovar::native
