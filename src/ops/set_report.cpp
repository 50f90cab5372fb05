#include <type_traits>

#include "export/resample.h"
#include "io/paths.h"
#include "ops/names.h"
#include "ops/operations.h"
#include "ops/streamed_set.h"

namespace kinovar {

namespace {

template <typename T>
void numbers(JsonSink& json, std::string_view name, const std::vector<T>& values) {
  json.key(name).beginArray();
  for (const T& v : values) {
    if constexpr (std::is_floating_point_v<T>) json.value(v);
    else json.value(static_cast<int64_t>(v));
  }
  json.endArray();
}

void writeRefusal(JsonSink& json, const SetOutcome& outcome) {
  const SyncReport& sync = outcome.sync;
  switch (outcome.failure) {
    case SetFailure::Unparsed:
      json.key("unparsed").beginArray();
      for (const UnparsedRecording& u : outcome.unparsed) {
        json.beginObject().member("recording", static_cast<uint64_t>(u.recording)).member("reason", unparsedName(u.reason));
        // The system's reason by its number and by its name, named here once for every host.
        if (u.reason == Unparsed::Missing) json.member("errno", u.systemError).member("code", errnoName(u.systemError));
        json.endObject();
      }
      json.endArray();
      break;
    case SetFailure::NoOrientation: numbers(json, "noOrientation", outcome.noOrientation); break;
    case SetFailure::NotSynchronised:
      json.member("method", syncMethodName(sync.method)).member("refusal", syncRefusalName(sync.refusal));
      numbers(json, "recordings", sync.recordings);
      json.member("masters", sync.masters);
      if (sync.refusal == SyncRefusal::OtherChannel) {
        json.member("channel", sync.channel);
        numbers(json, "channels", sync.channels);
      }
      break;
    case SetFailure::Output:
      json.member("output", outputProblemName(outcome.output));
      numbers(json, "recordings", outcome.outputRecordings);
      break;
    case SetFailure::None: break;
  }
}

// One count per stream of each recording: kept, or (drift) skipped, repeated, empty.
template <typename Count>
void streamCounts(JsonSink& json, std::string_view name, const std::vector<SyncStreamCount>& streams, Count count) {
  json.key(name).beginObject();
  for (const SyncStreamCount& s : streams) json.member(syncStreamName(s.key), static_cast<uint64_t>(count(s)));
  json.endObject();
}

void writeClock(JsonSink& json, const SyncReport& sync, size_t i) {
  const ClockModel& c = sync.clocks[i];
  json.beginObject().member("offset", c.offset).member("ppm", c.ppm());
  json.member("measured", c.master ? "master" : syncMethodName(sync.method)).member("rateMeasured", c.rateMeasured);
  // Unmeasured (radio settings): no uncertainty to give.
  if (c.rateMeasured) json.member("ppmUncertainty", c.ppmUncertainty);
  else json.key("ppmUncertainty").null();
  json.member("rateSignificant", c.rateSignificant()).member("pairs", static_cast<uint64_t>(c.pairs));
  json.member("outliers", static_cast<uint64_t>(c.outliers)).member("pieces", static_cast<uint64_t>(c.pieces.size()));
  json.key("residualsMs").beginObject().member("rms", c.rmsMs).member("largest", c.largestMs).endObject();
  json.member("offsetOnlyAtEndMs", c.endErrorMs);
  if (sync.drift && i < sync.samples.size()) {
    streamCounts(json, "skipped", sync.samples[i], [](const SyncStreamCount& s) { return s.skipped; });
    streamCounts(json, "repeated", sync.samples[i], [](const SyncStreamCount& s) { return s.repeated; });
    streamCounts(json, "empty", sync.samples[i], [](const SyncStreamCount& s) { return s.empty; });
  }
  json.endObject();
}

void writeWindow(JsonSink& json, const SyncReport& sync) {
  numbers(json, "offsets", sync.offsets);
  json.key("window").beginObject().member("start", sync.windowStart).member("end", sync.windowEnd).endObject();
  json.key("samples").beginArray();
  for (const auto& streams : sync.samples) {
    json.beginObject();
    for (const SyncStreamCount& s : streams) json.member(syncStreamName(s.key), static_cast<uint64_t>(s.samples));
    json.endObject();
  }
  json.endArray();
}

void writeClocks(JsonSink& json, const SyncReport& sync) {
  numbers(json, "events", sync.events);
  json.key("clocks").beginArray();
  for (size_t i = 0; i < sync.clocks.size(); ++i) writeClock(json, sync, i);
  json.endArray();
}

// Only a set aligned by drift says so: one aligned by offset reads as it always has.
void writeDrift(JsonSink& json, const SyncReport& sync) {
  if (sync.drift) json.member("clock", "drift");
}

void writeAlignment(JsonSink& json, const SyncReport& sync) {
  json.member("method", syncMethodName(sync.method));
  writeWindow(json, sync);
  writeDrift(json, sync);
  writeClocks(json, sync);
}

}  // namespace

const char* setStatus(SetFailure failure) {
  switch (failure) {
    case SetFailure::Unparsed: return "-10";
    case SetFailure::NoOrientation: return "-13";
    case SetFailure::NotSynchronised: return "-11";
    case SetFailure::Output: return "-12";
    case SetFailure::None: break;
  }
  return "OK";
}

const char* setFailureName(SetFailure failure) {
  switch (failure) {
    case SetFailure::Unparsed: return "unparsed";
    case SetFailure::NoOrientation: return "no-orientation";
    case SetFailure::NotSynchronised: return "not-synchronised";
    case SetFailure::Output: return "output";
    case SetFailure::None: break;
  }
  return nullptr;
}

void writeSetOutcome(JsonSink& json, const SetOutcome& outcome) {
  json.beginObject().member("status", setStatus(outcome.failure));
  if (const char* name = setFailureName(outcome.failure)) json.member("failure", name);
  else json.key("failure").null();
  writeRefusal(json, outcome);
  // A recording without a sample is what such a refusal comes of: hosts say so instead.
  const bool refused = outcome.failure == SetFailure::NoOrientation || outcome.failure == SetFailure::NotSynchronised;
  if (refused && !outcome.empty.empty()) numbers(json, "empty", outcome.empty);
  if (!outcome.calibrations.empty()) {
    json.key("calibrations").beginArray();
    for (const CalibrationReport& c : outcome.calibrations) writeCalibration(json, c);
    json.endArray();
  }
  if (!outcome.files.empty()) {
    json.key("files").beginArray();
    for (const std::string& file : outcome.files) json.value(file);
    json.endArray();
  }
  if (outcome.failure == SetFailure::None && outcome.sync.method != SyncMethod::None) writeAlignment(json, outcome.sync);
  json.endObject();
}

void writeSetReport(JsonSink& json, const SetOutcome& outcome, const std::vector<std::string>& recordings,
                    const std::string& folder, const ConversionOptions& options, bool format) {
  const SyncReport& sync = outcome.sync;
  const bool aligned = sync.method != SyncMethod::None;
  json.beginObject();
  if (format) json.member("format", kSetFormat);
  json.member("method", syncMethodName(sync.method));
  json.key("recordings").beginArray();
  if (aligned)
    for (const std::string& recording : recordings) json.value(relativePath(folder, recording));
  json.endArray();
  json.key("files").beginArray();
  for (const std::string& file : outcome.files) json.value(fileName(file));
  json.endArray();
  if (aligned) {
    writeDrift(json, sync);
    writeWindow(json, sync);
    writeClocks(json, sync);
    if (options.resample > 0) {
      json.key("resample").beginObject().member("rate", options.resample);
      json.member("grid", kResampleGrid).member("method", kResampleMethod).endObject();
    }
    if (options.calibrate != CalibrationMode::Off) {
      json.key("calibration").beginArray();
      for (const CalibrationReport& c : outcome.calibrations) writeCalibration(json, c);
      json.endArray();
    }
  } else {
    // Nothing aligned: an empty report of the same shape.
    json.key("offsets").beginArray().endArray();
    json.key("window").beginObject().member("start", 0).member("end", 0).endObject();
    for (const char* name : {"samples", "events", "clocks"}) json.key(name).beginArray().endArray();
  }
  json.member("time", kSetTime).endObject();
}

std::string setFileText(const SetOutcome& outcome, const std::vector<std::string>& recordings, const std::string& folder,
                        const ConversionOptions& options) {
  return jsonText([&](JsonSink& json) { writeSetReport(json, outcome, recordings, folder, options, true); },
                  JsonLayout::Indented) + "\n";
}

BesideFiles setFileBeside(const std::vector<std::string>& paths, const std::string& folder,
                          const ConversionOptions& options) {
  return [&paths, folder, &options](const SetOutcome& outcome) {
    return std::vector<std::pair<std::string, std::string>>{
        {joinPaths(folder, kSetFile), setFileText(outcome, paths, folder, options)}};
  };
}

}  // namespace kinovar
