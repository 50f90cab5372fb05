// kinovar._core: the Python face of the core's operations. It only binds:
// arguments arrive checked by the package (kinovar/__init__.py), paths as
// the file system's bytes; answers leave as plain values, numpy arrays that
// are views of the memory the core filled, and JSON text the package parses.
// The GIL is let go while the core works.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "export/csv.h"
#include "export/opensim.h"
#include "export/resample.h"
#include "io/failure.h"
#include "io/paths.h"
#include "io/json_writer.h"
#include "ops/bids.h"
#include "ops/epochs.h"
#include "ops/existing.h"
#include "ops/load.h"
#include "ops/names.h"
#include "ops/operations.h"
#include "ops/parquet_table.h"
#include "ops/targets.h"
#include "settings/settings_record.h"

namespace py = pybind11;
using namespace kinovar;

namespace {

// The package's KinovarError carries the failure's code.
using CodedError = CodedFailure;

// What the package passes of each conversion: names the core knows (anything
// else is the package's fault) and the calibration asked for.
struct Asked {
  std::string orientation, calibrate;
  bool otherDevice;  // a calibration file of another device applies too
  unsigned threads;
};

ConversionOptions conversionOptions(const Asked& asked, const std::string& format = "csv", const std::string& clock = "offset") {
  ConversionOptions options;
  const std::string& orientation = asked.orientation;
  options.threads = asked.threads;
  calibrationNamed(asked.calibrate, options);
  options.calibrationOtherDevice = asked.otherDevice;
  if (!estimatorNamed(orientation, options.estimator) || !outputFormatNamed(format, options.format))
    throw std::invalid_argument("unknown orientation '" + orientation + "' or format '" + format + "'");
  options.clock = clock == "drift" ? SetClock::Drift : SetClock::Offset;
  return options;
}

// The time a conversion's rows take: on a grid when resampled (0: none); absolute from the creation time,
// in UTC when the zone's offset is known.
void timed(ConversionOptions& options, double resample, bool absolute, std::optional<double> utcOffset) {
  options.resample = resample;
  options.absoluteTime = absolute;
  if (utcOffset) options.utcOffset = *utcOffset;
}

// A set written to files: its outcome as JSON, or (errno, step, path) when the system refused a file.
py::object setAnswer(const SetOutcome& outcome) {
  if (outcome.written.error)
    return py::make_tuple(outcome.written.error.value(), outcome.written.step, outcome.written.path);
  return py::str(jsonText([&](JsonSink& json) { writeSetOutcome(json, outcome); }));
}

LoadWindow loadWindow(double start, double stop, const std::vector<std::string>& streams) {
  LoadWindow window;
  window.from = start;
  window.to = stop;
  window.streams = streams;
  return window;
}

// Runs the core without the GIL; what it throws becomes a CodedError.
template <typename Operation>
auto released(Operation&& operation) -> decltype(operation()) {
  py::gil_scoped_release release;
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    throw CodedError("ERR_KINOVAR_OUT_OF_MEMORY", "out of memory");
  } catch (const CodedFailure&) {
    throw;
  } catch (const std::exception& e) {
    throw CodedError("ERR_KINOVAR_INTERNAL", e.what());
  }
}

// The values of a vector, moved into memory a capsule owns, as arrays of
// `parts` equal pieces (a stream's channels lie one after the other).
template <typename T>
std::vector<py::array> views(std::vector<T>&& values, size_t parts, size_t n) {
  auto* owned = new std::vector<T>(std::move(values));
  py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  std::vector<py::array> arrays;
  for (size_t c = 0; c < parts; ++c)
    arrays.push_back(py::array_t<T>({n}, {sizeof(T)}, owned->data() + c * n, owner));
  return arrays;
}

// {name: (rate, time, {channel: values})} of a loaded recording, its
// samples taken out of it.
py::dict streamsOf(Recording& recording, double resampled) {
  py::dict streams;
  for (const LoadedStream& loaded : loadedStreams(recording, resampled)) {
    SampleStream& stream = *loaded.stream;
    const size_t n = static_cast<size_t>(stream.count);
    py::array time = views(std::move(stream.times), 1, n)[0];
    std::vector<py::array> values = views(std::move(stream.values), loaded.layout->channels.size(), n);
    py::dict channels;
    for (size_t c = 0; c < values.size(); ++c) channels[loaded.layout->channels[c]] = values[c];
    streams[loaded.layout->name] = py::make_tuple(loaded.rate, time, channels);
  }
  return streams;
}

py::dict recordingOf(Recording& recording, const QualityReport& quality, double timeBase, double resampled,
                     const CalibrationReport& calibration) {
  py::dict result;
  result["calibration"] = calibrationJson(calibration);
  result["info"] = jsonText([&](JsonSink& json) { writeRecordingInfo(json, recording.settings); });
  result["quality"] = qualityJson(quality);
  result["time_base"] = timeBase;
  result["streams"] = streamsOf(recording, resampled);
  return result;
}

// The table of a loaded recording's streams ({name: (time, {channel: values})}):
// (rows, time, [(column, stream, channel, values, valid)]), where the time
// or a column's values are None when a stream's own arrays hold them on
// every row, and valid (a bit per row, bit r & 7 of byte r >> 3) None when
// every row has a value.
py::tuple heldRows(const py::dict& streams) {
  using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
  std::vector<Doubles> held;  // kept while the GIL is let go
  std::array<RowGroup, 5> groups;
  static constexpr double kNone = 0.0;  // an empty array may have no memory
  const auto pointer = [&](const py::handle& array) {
    held.push_back(Doubles::ensure(array));
    if (!held.back()) throw py::type_error("held_rows: a stream's arrays must be float64");
    return held.back().size() ? held.back().data() : &kNone;
  };
  for (const StreamLayout& layout : streamLayouts()) {
    if (!streams.contains(layout.name)) continue;
    const py::tuple stream = streams[py::str(layout.name)].cast<py::tuple>();
    RowGroup& group = groups[groupOf(layout.key)];
    group.times = pointer(stream[0]);
    group.count = static_cast<uint64_t>(held.back().size());
    const py::dict channels = stream[1].cast<py::dict>();
    for (size_t c = 0; c < layout.channels.size(); ++c) {
      group.channels[c] = pointer(channels[py::str(layout.channels[c])]);
      if (static_cast<uint64_t>(held.back().size()) != group.count)
        throw py::value_error("held_rows: a stream's channels must have as many values as its times");
    }
    group.quaternion = layout.key == kQuaternionKey;
  }
  HeldTable table = released([&] { return heldTable(groups); });
  RowPiece& rows = table.rows;
  const size_t n = static_cast<size_t>(rows.rows);
  const auto array = [](auto& values) {
    const size_t size = values.size();
    return size == 0 ? py::object(py::none()) : py::object(views(std::move(values), 1, size)[0]);
  };
  py::list columns;
  for (size_t c = 0; c < table.columns.layouts.size(); ++c) {
    const ColumnLayout& layout = table.columns.layouts[c];
    columns.append(
        py::make_tuple(layout.name, layout.stream, layout.channel, array(rows.values[c]), array(rows.valid[c])));
  }
  return py::make_tuple(n, array(rows.time), columns);
}


EpochRequest epochRequest(double seconds, std::optional<bool> nonwear, std::optional<double> sd,
                          std::optional<double> range, std::optional<int> window, bool alignToClock,
                          std::optional<double> validHours) {
  EpochRequest request;
  request.epochs.seconds = seconds;
  NonwearRule& rule = request.epochs.nonwear;
  rule.on = nonwear.value_or(rule.on);
  rule.sd = sd.value_or(rule.sd);
  rule.range = range.value_or(rule.range);
  rule.windowMinutes = window.value_or(rule.windowMinutes);
  request.alignToClock = alignToClock;
  request.days.on = validHours.has_value();
  request.days.validHours = validHours.value_or(request.days.validHours);
  return request;
}

// An epoch table read whole, without the GIL.
struct EpochTable {
  EpochRefusal refusal = EpochRefusal::None;
  std::string info, quality, calibration;
  double timeBase = 0.0;
  std::vector<EpochColumn> columns;
  std::vector<double> time;
  std::vector<std::vector<double>> values;
  EpochSummary summary;
};

// `offsetAt` (a zone's offset east of UTC at an instant), when given, makes
// the days local; it is called with the GIL held.
EpochTable readEpochs(const std::string& path, const ConversionOptions& options, const EpochRequest& request,
                      const std::optional<py::function>& offsetAt) {
  EpochTable made;
  EpochReader reader(path.c_str(), options, request);
  made.refusal = reader.refusal();
  made.info = jsonText([&](JsonSink& json) { writeReadResult(json, reader.settings()); });
  made.quality = qualityJson(reader.quality());
  made.timeBase = reader.timeBase();
  made.calibration = calibrationJson(reader.calibration());
  if (made.refusal != EpochRefusal::None) return made;
  if (request.days.on && offsetAt) reader.planLocalDays([&](double utc) {
    py::gil_scoped_acquire held;
    return (*offsetAt)(utc).cast<double>();
  });
  made.columns = reader.columns();
  made.values.resize(made.columns.size());
  std::vector<EpochRow> rows;
  while (reader.next(4096, rows)) {
    for (const EpochRow& row : rows) {
      made.time.push_back(reader.timeOf(row));
      for (size_t c = 0; c < made.columns.size(); ++c) made.values[c].push_back(reader.value(row, c));
    }
  }
  made.summary = reader.summary();
  return made;
}

// {time: [...], column: (unit, integer, [...])} of the days, named as their CSV names them.
py::dict daysOf(const EpochSummary& summary) {
  py::dict days;
  py::list time;
  for (const DayRow& day : summary.days) time.append(day.start);
  days["time"] = time;
  const std::span<const EpochColumn> fields = dayColumns();
  for (size_t c = 0; c < fields.size(); ++c) {
    py::list values;
    for (const DayRow& day : summary.days)
      values.append(c == 1 ? py::object(py::str(day.date)) : py::object(py::float_(dayValue(day, c))));
    days[fields[c].name] = py::make_tuple(fields[c].unit, fields[c].integer, values);
  }
  return days;
}

py::dict epochsResult(EpochTable& table, bool days) {
  py::dict result;
  result["refusal"] = table.refusal == EpochRefusal::Unparsed  ? py::object(py::str("unparsed"))
                      : table.refusal == EpochRefusal::NoAccel ? py::object(py::str("no-accel"))
                                                               : py::object(py::none());
  result["info"] = table.info;
  result["quality"] = table.quality;
  result["calibration"] = table.calibration;
  result["time_base"] = table.timeBase;
  const size_t n = table.time.size();
  result["time"] = views(std::move(table.time), 1, n)[0];
  py::list columns;
  for (size_t c = 0; c < table.columns.size(); ++c)
    columns.append(py::make_tuple(table.columns[c].name, table.columns[c].unit, table.columns[c].integer,
                                  views(std::move(table.values[c]), 1, n)[0]));
  result["columns"] = columns;
  const EpochSummary& s = table.summary;
  py::dict summary(py::arg("epochs") = s.epochs, py::arg("recordedHours") = s.recordedHours,
                   py::arg("wornHours") = s.wornHours, py::arg("notWornHours") = s.notWornHours,
                   py::arg("clippedSamples") = s.clippedSamples);
  if (days) {
    summary["validDays"] = s.validDays;
    result["days"] = daysOf(s);
  }
  result["summary"] = summary;
  return result;
}

void bindRecordings(py::module_& m) {
  m.def("stream_layouts", [] {
    py::list list;
    for (const StreamLayout& layout : streamLayouts()) {
      std::vector<std::string> channels(layout.channels.begin(), layout.channels.end());
      list.append(py::make_tuple(layout.name, channels));
    }
    return list;
  }, "[(stream, [channel, ...])] in the tables' order");

  m.def("held_rows", &heldRows, py::arg("streams"));

  py::class_<Asked>(m, "Asked", "orientation, calibrate ('auto', 'off' or a file's path), other_device, threads")
      .def(py::init<std::string, std::string, bool, unsigned>(), py::arg("orientation"), py::arg("calibrate"),
           py::arg("other_device"), py::arg("threads"));

  m.def("load", [](const std::string& path, const Asked& asked, double start, double stop,
                   const std::vector<std::string>& streams) {
    const ConversionOptions options = conversionOptions(asked);
    const LoadWindow window = loadWindow(start, stop, streams);
    LoadedRecording loaded = released([&] { return loadRecording(path.c_str(), options, window); });
    py::dict result = recordingOf(loaded.recording, loaded.quality, loaded.timeBase, loaded.resampled, loaded.calibration);
    result["parsed"] = loaded.parsed;
    return result;
  }, py::arg("path"), py::arg("asked"), py::arg("start"), py::arg("stop"), py::arg("streams"));

  m.def("load_set", [](const std::vector<std::string>& paths, const Asked& asked, const std::string& clock, double start,
                       double stop, const std::vector<std::string>& streams) {
    const ConversionOptions options = conversionOptions(asked, "csv", clock);
    const LoadWindow window = loadWindow(start, stop, streams);
    LoadedSet set = released([&] { return loadRecordingSet(paths, options, window); });
    py::dict result;
    result["outcome"] = jsonText([&](JsonSink& json) { writeSetOutcome(json, set.outcome); });
    py::list recordings;
    for (size_t i = 0; i < set.recordings.size(); ++i)
      recordings.append(recordingOf(set.recordings[i], set.qualities[i], set.timeBase, set.resampled,
                                    set.outcome.calibrations.at(i)));
    result["recordings"] = recordings;
    return result;
  }, py::arg("paths"), py::arg("asked"), py::arg("clock"), py::arg("start"), py::arg("stop"), py::arg("streams"));

  m.def("calibrate", [](const std::string& path, std::optional<std::string> out) -> py::object {
    CalibrationReport report;
    OutputFailure failure;
    const bool read = released([&] {
      if (!calibrateRecordingFile(path.c_str(), report)) return false;
      if (out && !writeCalibrationFile(out->c_str(), report, true, &failure) && !failure.error)
        throw CodedFailure("ERR_KINOVAR_OUTPUT_NOT_WRITTEN", *out + ": the calibration file was not written; check the disk");
      return true;
    });
    if (failure.error) return py::make_tuple(failure.error.value(), failure.step, failure.path);
    return read ? py::object(py::str(calibrationJson(report))) : py::object(py::none());
  }, py::arg("path"), py::arg("out"),
     "the calibration the recording's still moments give, as JSON, written to `out` as a calibration file when given; "
     "(errno, step, path) when the system refused it; None when the recording cannot be read");

}

void bindEpochs(py::module_& m) {
  m.def("epochs", [](const std::string& path, const Asked& asked, double seconds, std::optional<bool> nonwear,
                     std::optional<double> sd, std::optional<double> range, std::optional<int> window, bool alignToClock,
                     std::optional<double> utcOffset, std::optional<double> validHours, std::optional<py::function> offsetAt) {
    ConversionOptions options = conversionOptions(asked);
    if (utcOffset) options.utcOffset = *utcOffset;
    const EpochRequest request = epochRequest(seconds, nonwear, sd, range, window, alignToClock, validHours);
    EpochTable table = released([&] { return readEpochs(path, options, request, offsetAt); });
    return epochsResult(table, request.days.on);
  }, py::arg("path"), py::arg("asked"), py::arg("seconds"), py::arg("nonwear"), py::arg("sd"), py::arg("range"),
     py::arg("window"), py::arg("align_to_clock"), py::arg("utc_offset"), py::arg("valid_hours"), py::arg("offset_at"));
}

// A recording's table as Parquet, written by the core as the Node library writes it.
void bindParquet(py::module_& m) {
  m.def("convert_parquet", [](const std::string& path, const std::string& target, const Asked& asked, double resample,
                              bool absolute, std::optional<double> utcOffset) -> py::object {
    ConversionOptions options = conversionOptions(asked, "plain");
    timed(options, resample, absolute, utcOffset);
    const ParquetTableOutcome done =
        released([&] { return writeParquetTable(path.c_str(), target.c_str(), options, asked.calibrate != "off"); });
    if (done.failure.error) return py::make_tuple(done.failure.error.value(), done.failure.step, done.failure.path);
    return py::make_tuple(done.parsed, jsonText([&](JsonSink& json) { writeRecordingInfo(json, done.settings); }),
                          qualityJson(done.quality), calibrationJson(done.calibration));
  }, py::arg("path"), py::arg("target"), py::arg("asked"), py::arg("resample"), py::arg("absolute"),
     py::arg("utc_offset"),
     "(parsed, info, quality, calibration), JSON but parsed, the file written when parsed with samples; "
     "(errno, step, path) when the system refused the target");
  m.def("convert_parquet_set", [](const std::vector<std::string>& paths, const std::string& folder, const Asked& asked,
                                  const std::string& clock, double resample, bool absolute,
                                  std::optional<double> utcOffset) -> py::object {
    ConversionOptions options = conversionOptions(asked, "plain", clock);
    timed(options, resample, absolute, utcOffset);
    return setAnswer(released([&] { return writeParquetSet(paths, folder, options, asked.calibrate != "off"); }));
  }, py::arg("paths"), py::arg("folder"), py::arg("asked"), py::arg("clock"), py::arg("resample"), py::arg("absolute"),
     py::arg("utc_offset"),
     "the set's Parquet files as <folder>/<stem>.parquet, taking their names together: the set's outcome as JSON; "
     "(errno, step, path) when the system refused a file");
}

// What stands at a path, and the names outputs take: asked before any work.
void bindChecks(py::module_& m) {
  m.def("target_clash", [](const std::vector<std::string>& inputs, const std::vector<std::string>& targets) -> py::object {
    const TargetClash clash = targetClash(inputs, targets);
    if (clash.problem == OutputProblem::None) return py::none();
    return py::make_tuple(outputProblemName(clash.problem), clash.indices);
  }, py::arg("inputs"), py::arg("targets"), "(problem, indices) when the targets may not be written, else None");

  m.def("check_recording", [](const std::string& path) -> py::object {
    const RecordingCheck check = released([&] { return checkRecordingFile(path.c_str()); });
    if (check.fault == RecordingFault::None) return py::none();
    return py::make_tuple(recordingFaultName(check), check.systemError);
  }, py::arg("path"), "None for a recording; else (why by name, errno or 0)");

  m.def("existing_file", [](const std::string& path) {
    const ExistingFile found = released([&] { return existingFile(path); });
    return py::make_tuple(existingName(found.kind), found.size, replaceableByOutput(found.kind),
                          found.format ? py::object(py::str(found.format)) : py::none(), found.systemError);
  }, py::arg("path"),
        "(kind, size, ours, format, errno) of what stands where an output would go; ours: an output may take its "
        "place unasked; errno when it could not be looked at");

  m.def("imu_name", [](const std::string& path, const std::string& suffix) { return mendedName(fileStem(path) + suffix); },
        py::arg("path"), py::arg("suffix") = "_imu",
        "the column a recording takes in OpenSim's table when none is given: its file's stem (with suffix), mended");
  m.def("bids_label_fits", [](std::string_view key, std::string_view value) { return bidsLabelFits(key, value); },
        py::arg("key"), py::arg("value"), "Whether BIDS takes the label (a run's is a number).");
  m.def("bids_placement_fits", [](std::string_view text) { return bidsPlacementFits(text); }, py::arg("text"),
        "Whether a placement fits a cell of channels.tsv.");
  m.def("file_stem", [](const std::string& path) { return py::bytes(fileStem(path)); }, py::arg("path"),
        "the name a recording's outputs take: its file name without extension, as bytes");
  m.def("mended_name", &mendedName, py::arg("name"),
        "the name with what OpenSim's table cannot hold in a column's name (blanks, commas, controls) made '_'");
}

void bindFiles(py::module_& m) {
  m.def("wall_time_offset", [](const py::function& offsetAt, double local) {
    return wallTimeOffset([&](double utc) { return offsetAt(utc).cast<double>(); }, local);
  }, py::arg("offset_at"), py::arg("local"), "the offset at which a zone takes a wall time (seconds since 1970 read as UTC)");
  m.def("wall_time_change", [](const py::function& offsetAt, double local) {
    return wallTimeChange([&](double utc) { return offsetAt(utc).cast<double>(); }, local);
  }, py::arg("offset_at"), py::arg("local"),
        "'skipped' or 'repeated' when a change of daylight-saving time does that to the wall time, else ''");

  m.def("inspect", [](const std::string& path) -> py::object {
    QualityReport report;
    CalibrationReport calibration;
    if (!released([&] { return inspectRecording(path.c_str(), report, {}, &calibration); })) return py::none();
    return py::str(jsonText([&](JsonSink& json) { writeInspection(json, report, calibration); }));
  }, py::arg("path"), "the quality report with the calibration fit as JSON, or None when the file cannot be read to its end as a recording");

  m.def("convert", [](const std::string& path, const std::string& target, const Asked& asked, const std::string& format,
                      double resample, bool absolute, std::optional<double> utcOffset) -> py::object {
    ConversionOptions options = conversionOptions(asked, format);
    timed(options, resample, absolute, utcOffset);
    options.writeEmpty = false;  // a recording without samples leaves the target as it was
    DeviceSettings settings;
    QualityReport quality;
    OutputFailure failure;
    CalibrationReport calibration;
    const bool written = released(
        [&] { return convertRecording(path.c_str(), target.c_str(), options, settings, &quality, &failure, &calibration); });
    if (!written) {
      if (!failure.error) return py::none();
      return py::make_tuple(failure.error.value(), failure.step, failure.path);
    }
    return py::make_tuple(jsonText([&](JsonSink& json) { writeRecordingInfo(json, settings); }), qualityJson(quality),
                          calibrationJson(calibration));
  }, py::arg("path"), py::arg("target"), py::arg("asked"), py::arg("format"), py::arg("resample"), py::arg("absolute"),
     py::arg("utc_offset"),
     "(info, quality, calibration) as JSON; (errno, step, path) when the system refused the target; None when not written");

  m.attr("SET_FILE") = kSetFile;
  m.def("convert_set", [](const std::vector<std::string>& paths, const std::string& folder, const Asked& asked,
                          const std::string& clock, const std::string& format, double resample, bool absolute,
                          std::optional<double> utcOffset) -> py::object {
    ConversionOptions options = conversionOptions(asked, format, clock);
    timed(options, resample, absolute, utcOffset);
    return setAnswer(released([&] { return readAndSyncSet(paths, folder, true, options); }));
  }, py::arg("paths"), py::arg("folder"), py::arg("asked"), py::arg("clock"), py::arg("format"), py::arg("resample"),
     py::arg("absolute"), py::arg("utc_offset"),
     "the set's CSV files as <folder>/<stem>.csv, a plain set's with its set.json, taking their names together: the "
     "set's outcome as JSON; (errno, step, path) when the system refused a file");

  m.def("convert_opensim", [](const std::vector<std::string>& paths, const std::string& folder,
                              const std::vector<std::string>& names, const Asked& asked, const std::string& clock,
                              double resample) -> py::object {
    ConversionOptions options = conversionOptions(asked, "csv", clock);
    options.resample = resample;
    return setAnswer(released([&] { return writeOpenSimSet(paths, folder, names, options); }));
  }, py::arg("paths"), py::arg("folder"), py::arg("names"), py::arg("asked"), py::arg("clock"), py::arg("resample"),
     "OpenSim's table of the set as <folder>/orientations.sto, with its set.json: the set's outcome as JSON; (errno, step, path) when the "
     "system refused the table");
}

// A run of a BIDS motion dataset, written by the core.
void bindBids(py::module_& m) {
  m.def("write_bids", [](const std::vector<std::string>& paths, const std::string& root, const std::vector<std::string>& names,
                         const std::vector<std::string>& placements, const std::vector<std::string>& entities,
                         const Asked& asked, const std::string& clock, double resample, bool absolute,
                         std::optional<double> utcOffset, bool overwrite) -> py::object {
    ConversionOptions options = conversionOptions(asked, "csv", clock);
    timed(options, resample, absolute, utcOffset);
    const BidsRun run{paths, root, names, placements,
                      {entities.at(0), entities.at(1), entities.at(2), entities.at(3), entities.at(4), entities.at(5)},
                      overwrite, "convert", KINOVAR_VERSION};
    const BidsOutcome outcome = released([&] { return writeBidsRun(run, options); });
    const OutputFailure& failure = outcome.system.failure;
    if (failure.error)
      return py::make_tuple(failure.error.value(), failure.step, failure.path, outcome.system.action, outcome.system.reading);
    py::dict answer;
    answer["files"] = std::vector<std::string>(outcome.files.begin(), outcome.files.end());
    if (paths.size() > 1) {
      answer["outcome"] = jsonText([&](JsonSink& json) { writeSetOutcome(json, outcome.set); });
    } else {
      answer["info"] = jsonText([&](JsonSink& json) { writeRecordingInfo(json, outcome.settings); });
      answer["quality"] = qualityJson(outcome.quality);
      answer["calibration"] = calibrationJson(outcome.calibration);
    }
    return std::move(answer);
  }, py::arg("paths"), py::arg("root"), py::arg("names"), py::arg("placements"), py::arg("entities"), py::arg("asked"),
     py::arg("clock"), py::arg("resample"), py::arg("absolute"), py::arg("utc_offset"), py::arg("overwrite"),
     "a run of the BIDS dataset at root (entities: subject, session, task, tracksys, acquisition, run; '' absent): "
     "{files, outcome (a set's, JSON) or info, quality, calibration}; (errno, step, path, action, reading) when the "
     "system refused a file");
}

// Settings files: read, made from text, and written from a settings object.
void bindSettings(py::module_& m) {
  m.def("read_config", [](const std::string& path) { return released([&] { return readConfig(path.c_str()); }); },
        py::arg("path"), "the settings as JSON, or '' when the file holds none");

  m.def("read_settings", [](const std::string& path) {
    return released([&] { return readSettingsExact(path.c_str()); });
  }, py::arg("path"), "read_config's JSON with the calibration as the records hold it");

  m.def("write_config", [](const std::string& path, const std::string& text) {
    return released([&] { return writeConfig(path.c_str(), text.c_str()); });
  }, py::arg("path"), py::arg("text"));

  m.attr("settings_block_size") = kSettingsBlockSize;

  m.def("settings_write", [](const std::optional<py::bytes>& source, const std::string& json) -> py::tuple {
    const std::string bytes = source ? std::string(*source) : std::string();
    const SettingsWrite made = settingsToWrite({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}, json);
    const char* refusals[] = {"", "type", "range", "value"};
    if (made.problem.kind != SettingsRefusal::None) {
      return py::make_tuple(refusals[static_cast<int>(made.problem.kind)], made.problem.message);
    }
    if (!made.edit) return py::make_tuple("text", made.text);
    return py::make_tuple("edit", py::bytes(reinterpret_cast<const char*>(made.bytes.data()), made.bytes.size()));
  }, py::arg("source"), py::arg("json"),
     "('edit', block) or ('text', a new file's settings text); a refusal is ('type'|'range'|'value', message)");

  m.def("replace_file", [](const std::string& path, const py::bytes& content) -> py::object {
    const std::string bytes = content;
    OutputFailure failure;
    const std::span<const uint8_t> span{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
    if (released([&] { return replaceFile(path.c_str(), span, &failure); })) return py::none();
    return py::make_tuple(failure.error.value(), failure.step, failure.path);
  }, py::arg("path"), py::arg("content"), "None once written whole; (errno, step, path) when the system refused it");
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The native core of kinovar; use the functions of the kinovar package.";
  // How a resampled set's files were made, in the resampler's words, for its report.
  m.attr("RESAMPLE_GRID") = kResampleGrid;
  m.attr("RESAMPLE_METHOD") = kResampleMethod;

  py::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const CodedError& e) {
      py::object error = py::module_::import("kinovar._errors").attr("KinovarError")(e.what(), e.code);
      if (!e.path.empty()) error.attr("path") = e.path;
      PyErr_SetObject(error.get_type().ptr(), error.ptr());
    }
  });

  bindRecordings(m);
  bindEpochs(m);
  bindChecks(m);
  bindFiles(m);
  bindBids(m);
  bindParquet(m);
  bindSettings(m);
}
