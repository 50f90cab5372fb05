#include "ops/bids.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <thread>

#include "calibration/calibration.h"
#include "io/failure.h"
#include "io/js_number.h"
#include "io/json_reader.h"
#include "io/json_writer.h"
#include "io/paths.h"
#include "io/read_file.h"
#include "io/temporary.h"
#include "ops/load.h"
#include "ops/names.h"
#include "ops/parquet_table.h"

namespace kinovar {

namespace fs = std::filesystem;

namespace {

// Rows of the motion table per piece written.
constexpr uint64_t kPieceRows = 1 << 12;
// How long a lock may stand before it is taken for one left by a run that died holding it.
constexpr auto kStaleLock = std::chrono::seconds(60);

struct SystemStop {
  BidsSystemFailure failure;
};

[[noreturn]] void stop(const std::string& path, int errnum, const char* step, const char* action, bool reading = false) {
  throw SystemStop{{OutputFailure{path, std::error_code(errnum, std::generic_category()), step}, action, reading}};
}

CodedFailure notBids(const std::string& file, const std::string& message) {
  return CodedFailure("ERR_KINOVAR_NOT_BIDS", file + ": " + message, file);
}

enum class Kind { None, File, Folder };
Kind kindOf(const std::string& path) {
  std::error_code error;
  const fs::file_status status = fs::status(filePath(path), error);
  if (error || !fs::exists(status)) return Kind::None;
  return fs::is_directory(status) ? Kind::Folder : Kind::File;
}

// The file's bytes, false when it is missing.
bool readIfThere(const std::string& path, std::string& text) {
  std::vector<uint8_t> bytes;
  int errnum = 0;
  if (!readFile(path.c_str(), bytes, &errnum)) {
    if (errnum == ENOENT) return false;
    stop(path, errnum ? errnum : EIO, "open", "", true);
  }
  text.assign(bytes.begin(), bytes.end());
  return true;
}

// What a dataset's root holds while runs of ours are making it: hidden files, subjects, and the shared files' temporaries.
bool makingEntry(const std::string& name) {
  static const std::regex making(R"(^(\.|sub-[a-zA-Z0-9]+$|dataset_description\.json\.|participants\.tsv\.))");
  return std::regex_search(name, making);
}

std::string foreignEntry(const std::string& root) {
  std::vector<std::string> names;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(filePath(root), error))
    names.push_back(utf8Of(entry.path().filename()));
  std::sort(names.begin(), names.end());
  for (const std::string& name : names)
    if (!makingEntry(name)) return name;
  return "";
}

struct SharedFiles {
  std::string description;
  TsvTable participants, scans;
};

std::string newDescription(const BidsEntities& entities, const std::string& version) {
  return jsonText([&](JsonSink& json) {
    json.beginObject().member("Name", entities.task + " (kinovar)").member("BIDSVersion", "1.9.0");
    json.member("DatasetType", "raw").key("GeneratedBy").beginArray().beginObject().member("Name", "kinovar");
    json.member("Version", version).member("Description", "Motion-BIDS from Kinovar inertial sensor recordings");
    json.endObject().endArray().endObject();
  }, JsonLayout::Indented) + '\n';
}

// The dataset's shared files as they stand, with the run's subject; an error names what in them is not BIDS.
SharedFiles sharedFiles(const BidsLayout& layout, const BidsRun& run) {
  SharedFiles shared;
  if (!readIfThere(layout.description, shared.description))
    shared.description = newDescription(run.entities, run.version);
  JsonValue parsed;
  std::string error;
  const JsonValue* version = parseJson(shared.description, parsed, error) ? parsed.find("BIDSVersion") : nullptr;
  if (!version || version->type != JsonValue::Type::String)
    throw notBids(layout.description, "is not a BIDS dataset description (no BIDSVersion); mend it, or give another folder");
  std::string text;
  shared.participants = readIfThere(layout.participants, text) ? parseTsv(text) : TsvTable{{"participant_id"}, {}};
  if (shared.participants.header.empty() || shared.participants.header[0] != "participant_id")
    throw notBids(layout.participants, "does not begin with a participant_id column; mend it, or give another folder");
  addParticipant(shared.participants, layout.subject);
  shared.scans = readIfThere(layout.scans, text) ? parseTsv(text) : TsvTable{{"filename", "acq_time"}, {}};
  if (shared.scans.header.empty() || shared.scans.header[0] != "filename")
    throw notBids(layout.scans, "does not begin with a filename column; mend it");
  return shared;
}

// Throws unless the run may be written into the root: a new or empty
// folder, or a BIDS dataset without this run (unless overwrite), whose
// shared tables can take its rows. Nothing is written.
void checkRoot(const BidsLayout& layout, const BidsRun& run) {
  const Kind root = kindOf(run.root);
  if (root == Kind::File) throw notBids(run.root, "is a file, not a folder; give the root folder of the dataset");
  // Without a description the root may hold only what runs of ours make first (other runs may be under way).
  // Another run may name its description while the folder is listed: a root that has one now is a dataset.
  const std::string foreign = root == Kind::Folder && kindOf(layout.description) == Kind::None ? foreignEntry(run.root) : "";
  if (!foreign.empty() && kindOf(layout.description) == Kind::None)
    throw notBids(run.root, "is a folder that is not a BIDS dataset: it holds " + foreign +
                                " but no dataset_description.json; give a new or empty folder, or the root of a BIDS dataset");
  for (const std::string& folder : layout.folders)
    if (kindOf(folder) == Kind::File) throw notBids(folder, "is a file where the dataset needs a folder; move it away");
  for (const std::string& file : layout.own) {
    const Kind found = kindOf(file);
    if (found == Kind::Folder) throw notBids(file, "is a folder where the dataset needs a file; move it away");
    if (found == Kind::File && !run.overwrite)
      throw CodedFailure("ERR_KINOVAR_BIDS_EXISTS",
                         file + " exists: this subject" + (run.entities.session.empty() ? "" : ", session") +
                             ", task and tracking system are already in the dataset. Give another --run (or --session, "
                             "--acquisition), or replace them on purpose with --force (overwrite: true)",
                         file);
  }
  sharedFiles(layout, run);
}

// The dataset's lock, a file made only when absent: runs writing into one
// dataset at once read and replace its shared tables one at a time.
class DatasetLock {
 public:
  explicit DatasetLock(const std::string& root) : file_(joinPaths(root, ".kinovar-lock")) {
    for (;;) {
      if (FilePtr made = createNewFile(file_.c_str())) return;
      if (errno != EEXIST) stop(file_, errno, "open", "lock the dataset");
      std::error_code error;
      const auto since = fs::last_write_time(filePath(file_), error);
      if (!error && fs::file_time_type::clock::now() - since > kStaleLock) fs::remove(filePath(file_), error);
      else std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~DatasetLock() {
    std::error_code error;
    fs::remove(filePath(file_), error);
  }
  DatasetLock(const DatasetLock&) = delete;
  DatasetLock& operator=(const DatasetLock&) = delete;

 private:
  std::string file_;
};

// The folders of the run, made as needed: those made, outermost first, to remove after a failure.
std::vector<std::string> ensureFolder(const std::string& folder) {
  std::vector<std::string> missing;
  for (fs::path dir = fs::absolute(filePath(folder)).lexically_normal(); !fs::exists(dir); dir = dir.parent_path()) {
    missing.insert(missing.begin(), utf8Of(dir));
    if (dir.parent_path() == dir) break;
  }
  std::error_code error;
  fs::create_directories(filePath(folder), error);
  // The folder's own name taken by a file: that part of the path is not a folder.
  if (error) stop(folder, error.value() == EEXIST ? ENOTDIR : error.value(), "mkdir", "create the folder");
  for (const std::string& dir : missing) noteMadeFolder(dir);
  return missing;
}

void removeFolders(const std::vector<std::string>& made) {
  for (auto dir = made.rbegin(); dir != made.rend(); ++dir) {
    std::error_code error;
    if (!fs::remove(filePath(*dir), error)) return;
  }
}

}  // namespace

// The tables of the run, one recording's or a set's, read a piece at a time.
struct BidsTables {
  std::unique_ptr<TableReader> one;
  std::unique_ptr<SetTableReader> set;
  size_t size() const { return set ? set->size() : 1; }
  const std::vector<ColumnLayout>& columns(size_t i) const { return set ? set->columns(i) : one->columns(); }
  const DeviceSettings& settings(size_t i) const { return set ? set->settings(i) : one->settings(); }
  double timeBase() const { return set ? set->timeBase() : one->timeBase(); }
  bool next(size_t i, RowPiece& piece) { return set ? set->next(i, kPieceRows, piece) : one->next(kPieceRows, piece); }
  // The rate written for a stream (a set's are its first recording's); NaN: none.
  double rate(size_t i, const std::string& stream) const;
  CalibrationReport calibration(size_t i) const;
  // The seconds the rows run over, for progress.
  double span() const;
};

double BidsTables::span() const {
  if (set) return set->outcome().sync.windowEnd - set->outcome().sync.windowStart;
  double first = 0.0, last = 0.0;
  bool any = false;
  for (const StreamQuality& s : one->quality().streams) {
    if (!s.samples) continue;
    first = any ? std::min(first, s.first) : s.first;
    last = any ? std::max(last, s.last) : s.last;
    any = true;
  }
  return last - first;
}

double BidsTables::rate(size_t i, const std::string& stream) const {
  if (set) {
    for (const LoadedStream& s : set->streams(0))
      if (stream == s.layout->name) return s.rate;
    return std::nan("");
  }
  (void)i;
  const auto of = [this](const char* name) {
    for (const StreamQuality& s : one->quality().streams)
      if (s.samples && std::string_view(s.name) == name) return static_cast<double>(s.rate);
    return std::nan("");
  };
  if (stream != "orientation") return of(stream.c_str());
  const double accel = of("accel"), gyro = of("gyro");
  return accel == gyro ? accel : std::nan("");
}

CalibrationReport BidsTables::calibration(size_t i) const {
  if (!set) return one->calibration();
  const std::vector<CalibrationReport>& all = set->outcome().calibrations;
  return i < all.size() ? all[i] : CalibrationReport{};
}

namespace {

// JSON.stringify(value, null, 2) and a line break, as the sidecars were first written.
std::string indented(const JsonValue& value) {
  return jsonText([&](JsonSink& json) { writeJsonValue(json, value); }, JsonLayout::Indented) + '\n';
}

JsonValue& add(JsonValue& object, std::string key, JsonValue value) {
  object.keys.push_back(std::move(key));
  object.items.push_back(std::move(value));
  return object.items.back();
}
JsonValue texts(const std::vector<std::string>& values) {
  JsonValue list = JsonValue::of(JsonValue::Type::Array);
  for (const std::string& value : values) list.items.push_back(JsonValue::of(value));
  return list;
}
// A member of each of `values` (null where one has none).
JsonValue each(const std::vector<const JsonValue*>& values, std::string_view key) {
  JsonValue list = JsonValue::of(JsonValue::Type::Array);
  for (const JsonValue* value : values) {
    const JsonValue* member = value ? value->find(key) : nullptr;
    list.items.push_back(member ? *member : JsonValue{});
  }
  return list;
}
// The named members of an object, in that order (null for one missing).
JsonValue picked(const JsonValue& from, std::initializer_list<const char*> keys) {
  JsonValue out = JsonValue::of(JsonValue::Type::Object);
  for (const char* key : keys) {
    const JsonValue* member = from.find(key);
    add(out, key, member ? *member : JsonValue{});
  }
  return out;
}
// Number(value.toFixed(6)).
double sixPlaces(double value) { return std::strtod(jsFixed(value, 6).c_str(), nullptr); }

JsonValue parsed(const std::string& json) {
  JsonValue value;
  std::string error;
  parseJson(json, value, error);
  return value;
}

struct SidecarFacts {
  const BidsRun& run;
  const ConversionOptions& options;
  BidsTables& tables;
  const std::vector<BidsChannel>& channels;
  const MotionSpan& span;
  double rate;
};

JsonValue calibrationFilter(const SidecarFacts& f) {
  std::vector<JsonValue> reports;
  for (size_t i = 0; i < f.tables.size(); ++i) reports.push_back(parsed(calibrationJson(f.tables.calibration(i))));
  JsonValue filter = JsonValue::of(JsonValue::Type::Object);
  add(filter, "description", JsonValue::of("accelerometer fitted to gravity on still moments (offset, scale, temperature term per axis) and "
                                  "gyroscope bias removed, per tracked point; raw where refused (see the kinovar documentation)"));
  add(filter, "trackedPoints", texts(f.run.names));
  JsonValue source = JsonValue::of(JsonValue::Type::Array), applied = source, accel = source, gyro = source;
  for (const JsonValue& r : reports) {
    const JsonValue* from = r.find("source");
    source.items.push_back(from && from->type == JsonValue::Type::String ? *from : JsonValue::of("off"));
    const JsonValue* done = r.find("applied");
    applied.items.push_back(JsonValue::truth(done && done->type == JsonValue::Type::Bool && done->boolean));
    const JsonValue* a = r.find("accel");
    accel.items.push_back(a ? picked(*a, {"accepted", "status", "offset", "scale", "temperature", "referenceTemperature"}) : JsonValue{});
    const JsonValue* g = r.find("gyro");
    gyro.items.push_back(g ? picked(*g, {"accepted", "status", "bias"}) : JsonValue{});
  }
  // Added once whole: a member taken by reference would move as the object grows.
  add(filter, "source", std::move(source));
  add(filter, "applied", std::move(applied));
  add(filter, "accel", std::move(accel));
  add(filter, "gyro", std::move(gyro));
  return filter;
}

JsonValue alignmentFilter(const SidecarFacts& f) {
  const JsonValue report = parsed(jsonText([&](JsonSink& json) { writeSetOutcome(json, f.tables.set->outcome()); }));
  const JsonValue* clock = report.find("clock");
  const JsonValue* clocks = report.find("clocks");
  std::vector<const JsonValue*> each_;
  if (clocks)
    for (const JsonValue& c : clocks->items) each_.push_back(&c);
  JsonValue filter = JsonValue::of(JsonValue::Type::Object);
  add(filter, "method", *report.find("method"));
  add(filter, "clock", clock ? *clock : JsonValue::of("offset"));
  add(filter, "trackedPoints", texts(f.run.names));
  add(filter, "offsets", *report.find("offsets"));
  add(filter, "ppm", each(each_, "ppm"));
  add(filter, "rateMeasured", each(each_, "rateMeasured"));
  add(filter, "window", *report.find("window"));
  add(filter, "skipped", each(each_, "skipped"));
  add(filter, "repeated", each(each_, "repeated"));
  return filter;
}

JsonValue softwareFilters(const SidecarFacts& f, const std::string& estimator) {
  JsonValue filters = JsonValue::of(JsonValue::Type::Object);
  JsonValue& orientation = add(filters, "kinovar orientation", JsonValue::of(JsonValue::Type::Object));
  add(orientation, "estimator", JsonValue::of(estimator));
  add(orientation, "description", JsonValue::of(estimator == "none" ? "no orientation channels"
                                       : "quaternions estimated from the accelerometer and gyroscope (see the kinovar documentation)"));
  if (f.options.calibrate != CalibrationMode::Off) add(filters, "kinovar calibration", calibrationFilter(f));
  if (f.options.resample > 0) {
    JsonValue& resampling = add(filters, "kinovar resampling", JsonValue::of(JsonValue::Type::Object));
    add(resampling, "rate (Hz)", JsonValue::of(f.options.resample));
    add(resampling, "method", JsonValue::of("linear interpolation (orientation: slerp); to a lower rate low-passed first by a 2nd-order "
                                   "Butterworth, forwards and backwards, cut-off 0.4 x the rate; no value across a gap longer than two periods"));
  }
  if (f.tables.set) add(filters, "kinovar clock alignment", alignmentFilter(f));
  return filters;
}

// The names in order, each once.
std::string distinct(const std::vector<std::string>& values, const char* by) {
  std::vector<std::string> seen;
  for (const std::string& value : values)
    if (std::find(seen.begin(), seen.end(), value) == seen.end()) seen.push_back(value);
  std::string out;
  for (size_t i = 0; i < seen.size(); ++i) out += (i ? by : "") + seen[i];
  return out;
}

std::string deviceOf(const DeviceSettings& s, int32_t DeviceSettings::*field) {
  return s.hasDeviceInfo ? std::to_string(s.*field) : "n/a";
}

// The motion sidecar: what was recorded, by what, and what was done to it.
std::string motionSidecar(const SidecarFacts& f, const std::string& estimator) {
  const size_t n = f.tables.size();
  std::vector<std::string> models, firmware, devices;
  for (size_t i = 0; i < n; ++i) {
    const DeviceSettings& s = f.tables.settings(i);
    models.push_back("Kinovar inertial sensor, device type " + deviceOf(s, &DeviceSettings::deviceType));
    firmware.push_back(std::to_string(s.majorVersion) + "." + std::to_string(s.minorVersion));
    devices.push_back(f.run.names[i] + ": " + deviceOf(s, &DeviceSettings::deviceId));
  }
  const auto count = [&f](const char* type) {
    return static_cast<double>(std::count_if(f.channels.begin(), f.channels.end(), [type](const BidsChannel& c) { return c.type == type; }));
  };
  const double span = f.span.rows > 1 ? f.span.last - f.span.first : 0.0;
  JsonValue v = JsonValue::of(JsonValue::Type::Object);
  add(v, "TaskName", JsonValue::of(f.run.entities.task));
  add(v, "TrackingSystemName", JsonValue::of(f.run.entities.tracksys));
  add(v, "SamplingFrequency", JsonValue::of(f.rate));
  add(v, "SamplingFrequencyEffective", JsonValue::of(span > 0 ? sixPlaces(static_cast<double>(f.span.rows - 1) / span) : f.rate));
  add(v, "RecordingType", JsonValue::of("continuous"));
  add(v, "RecordingDuration", JsonValue::of(sixPlaces(span + (f.span.rows ? 1 / f.rate : 0.0))));
  add(v, "Manufacturer", JsonValue::of("Kinovar"));
  add(v, "ManufacturersModelName", JsonValue::of(distinct(models, "; ")));
  std::string listed;
  for (size_t i = 0; i < n; ++i) listed += (i ? ", " : "") + devices[i];
  add(v, "DeviceSerialNumber", JsonValue::of(n == 1 ? deviceOf(f.tables.settings(0), &DeviceSettings::deviceId) : listed));
  add(v, "SoftwareVersions", JsonValue::of("kinovar " + f.run.version + "; firmware " + distinct(firmware, ", ")));
  add(v, "TrackedPointsCount", JsonValue::of(static_cast<double>(n)));
  add(v, "MotionChannelCount", JsonValue::of(static_cast<double>(f.channels.size() + 1)));
  add(v, "ACCELChannelCount", JsonValue::of(count("ACCEL")));
  add(v, "GYROChannelCount", JsonValue::of(count("GYRO")));
  add(v, "ORNTChannelCount", JsonValue::of(count("ORNT")));
  add(v, "MISCChannelCount", JsonValue::of(count("MISC")));
  add(v, "LATENCYChannelCount", JsonValue::of(1));
  add(v, "MissingValues", JsonValue::of("n/a"));
  add(v, "SoftwareFilters", softwareFilters(f, estimator));
  return indented(v);
}

// The tables opened as the run reads them: a set's motion streams (the
// barometer too when resampled, sharing the grid); a recording's whole table.
BidsTables openTables(const BidsRun& run, const ConversionOptions& options, BidsOutcome& outcome) {
  BidsTables tables;
  if (run.paths.size() == 1) {
    ConversionOptions reading = options;
    reading.progress = nullptr;
    tables.one = std::make_unique<TableReader>(run.paths[0].c_str(), reading);
    if (!tables.one->parsed())
      throw CodedFailure("ERR_KINOVAR_FORMAT", run.paths[0] + ": is not a recording that can be read", run.paths[0]);
    return tables;
  }
  ConversionOptions reading = options;
  reading.progress = nullptr;
  std::vector<std::string> streams{"accel", "gyro", "orientation", "events"};
  if (options.resample > 0) streams.push_back("baro");
  tables.set = std::make_unique<SetTableReader>(run.paths, reading, streams);
  outcome.set = tables.set->outcome();
  if (outcome.set.failure != SetFailure::None) return tables;
  const SyncReport& sync = outcome.set.sync;
  if (!sync.drift && !(options.resample > 0)) {
    const bool settings = std::string_view(syncMethodName(sync.method)) == "radio-settings";
    throw CodedFailure("ERR_KINOVAR_NO_GRID",
                       run.fn + ": this set is aligned by one offset per recording (" +
                           (settings ? "radio settings give no clock rate" : "--clock offset") +
                           "), so each recording's samples stand at instants of its own clock and one motion table would "
                           "interleave them; give --resample <Hz> (resample) to put them on one grid" +
                           (settings ? "" : ", or align by drift (leave out --clock offset)"));
  }
  return tables;
}

// Writes `text` to the file, noting a failed write for its commit.
void put(OutputFile& file, const std::string& text) {
  if (file && std::fwrite(text.data(), 1, text.size(), file.file()) != text.size()) file.noteWriteError(errno);
}

std::vector<MotionSource> sourcesOf(BidsTables& tables) {
  std::vector<MotionSource> sources;
  for (size_t i = 0; i < tables.size(); ++i) {
    MotionSource source{[&tables, i](RowPiece& piece) { return tables.next(i, piece); }, -1};
    const std::vector<ColumnLayout>& columns = tables.columns(i);
    for (size_t c = 0; c < columns.size(); ++c)
      if (std::string_view(columns[c].stream) == "events") source.event = static_cast<int>(c);
    sources.push_back(std::move(source));
  }
  return sources;
}

std::vector<BidsChannel> channelsOf(const BidsRun& run, const BidsTables& tables, bool withBaro) {
  std::vector<std::vector<BidsColumn>> columns;
  for (size_t i = 0; i < tables.size(); ++i) {
    columns.emplace_back();
    for (const ColumnLayout& c : tables.columns(i)) columns.back().push_back({c.name, c.stream, c.channel});
  }
  std::vector<std::string> placements = run.placements;
  placements.resize(run.names.size());
  return bidsChannels(columns, run.names, placements, withBaro,
                      [&tables](size_t i, const std::string& stream) { return tables.rate(i, stream); });
}

void writeFiles(const BidsRun& run, const ConversionOptions& options, const BidsLayout& layout, BidsTables& tables,
                const std::vector<std::string>& paths, std::vector<OutputFile>& files) {
  const std::vector<BidsChannel> channels = channelsOf(run, tables, options.resample > 0);
  double rate = options.resample;
  if (!(rate > 0)) {
    for (const char* stream : {"accel", "gyro", "orientation"}) {
      const double own = tables.rate(0, stream);
      if (own == own) rate = std::max(rate, own);
    }
  }
  std::vector<MotionSource> sources = sourcesOf(tables);
  MotionSpan span;
  const double window = tables.span();
  motionRows(sources, channels, options.chunkSamples ? options.chunkSamples : kPieceRows,
             [&files](const std::string& text) { put(files[kBidsMotion], text); },
             [&](double t) { if (window > 0) reportProgress(options, t / window); }, span);
  put(files[kBidsChannels], channelsText(channels));
  put(files[kBidsChannelsJson], kBidsFramesText);
  Estimator estimator = options.estimator;
  std::string named = "classic";
  for (const char* name : {"classic", "accurate", "none"})
    if (Estimator e; estimatorNamed(name, e) && e == estimator) named = name;
  put(files[kBidsMotionJson], motionSidecar({run, options, tables, channels, span, rate}, named));
  put(files[kBidsEvents], eventsText(span, run.names));
  put(files[kBidsEventsJson], kBidsEventsText);
  // The shared files as they stand once the lock is held, until they take their names.
  DatasetLock lock(run.root);
  const SharedFiles now = sharedFiles(layout, run);
  std::optional<int64_t> start;
  if (options.absoluteTime && span.rows) start = datetimeMicros(span.startTime, tables.timeBase());
  const size_t shared = files.size() - 2;
  if (shared > kBidsEventsJson + 1) put(files[kBidsEventsJson + 1], now.description);
  put(files[shared], scansText(now.scans, layout.scanName, bidsAcqTime(start, options.utcOffset == options.utcOffset)));
  put(files[shared + 1], tsvText(now.participants));
  size_t bad = 0;
  if (!commitTogether(files, options.durable, &bad))
    stop(paths[bad], files[bad].error().value(), files[bad].failedStep(), "");
}

}  // namespace

BidsOutcome writeBidsRun(const BidsRun& run, const ConversionOptions& options) {
  BidsOutcome outcome;
  const BidsLayout layout = bidsLayout(run.root, run.entities);
  outcome.files = layout.own;
  std::vector<std::string> made;
  bool writing = false;
  try {
    // Checked before any work; the shared files are read again under the lock when written.
    checkRoot(layout, run);
    BidsTables tables = openTables(run, options, outcome);
    if (outcome.set.failure != SetFailure::None) return outcome;
    writing = true;
    made = ensureFolder(joinPaths(layout.own[kBidsMotion], ".."));
    // A description that is there is left as it is; one made now may meet another run's, whose bytes it keeps.
    // It takes its name before the shared tables: a root with them but without it would look foreign to other runs.
    std::vector<std::string> paths(layout.own.begin(), layout.own.end());
    if (kindOf(layout.description) == Kind::None) paths.push_back(layout.description);
    paths.push_back(layout.scans);
    paths.push_back(layout.participants);
    std::vector<OutputFile> files;
    for (const std::string& path : paths) {
      OutputFile& file = files.emplace_back(path.c_str(), OutputFile::Mode::Binary, options.durable);
      if (!file) stop(path, file.error().value(), file.failedStep(), "");
    }
    writeFiles(run, options, layout, tables, paths, files);
    if (tables.set) {
      outcome.set = tables.set->outcome();
    } else {
      outcome.settings = tables.one->settings();
      outcome.quality = tables.one->quality();
      outcome.calibration = tables.one->calibration();
    }
    reportProgress(options, 1.0);
  } catch (const SystemStop& failure) {
    removeFolders(made);
    outcome.system = failure.failure;
    outcome.system.writing = writing;
  } catch (...) {
    removeFolders(made);
    throw;
  }
  return outcome;
}

}  // namespace kinovar
