#include "ops/parquet_table.h"

#include <cerrno>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "calibration/calibration.h"
#include "export/json.h"
#include "export/parquet.h"
#include "io/js_number.h"
#include "io/json_writer.h"
#include "io/paths.h"
#include "ops/load.h"
#include "ops/operations.h"
#include "ops/streamed_set.h"
#include "ops/targets.h"
#include "reader/quality.h"

namespace kinovar {
namespace {

std::string unitsJson(const std::vector<ColumnLayout>& columns, bool datetime) {
  return jsonText([&](JsonSink& json) {
    json.beginObject();
    json.member("time", "s");
    if (datetime) json.member("datetime", "");
    for (const ColumnLayout& column : columns) json.member(column.name, column.unit);
    json.endObject();
  });
}

bool isEvents(const ColumnLayout& column) { return std::string_view(column.stream) == "events"; }

void datetimes(const std::vector<double>& time, double timeBase, std::vector<int64_t>& micros) {
  micros.resize(time.size());
  for (size_t r = 0; r < time.size(); ++r) micros[r] = datetimeMicros(time[r], timeBase);
}

// Where the rows stand in the recording's time: from the first sample of any stream to the last.
struct Span {
  double first = 0.0, length = 1.0;
};
Span spanOf(const QualityReport& quality) {
  double first = INFINITY, last = -INFINITY;
  for (const auto& stream : quality.streams)
    if (stream.samples > 0) first = std::min(first, stream.first), last = std::max(last, stream.last);
  return {first, last - first > 0 ? last - first : 1.0};
}

// The rows into the writer a piece at a time; the events as the integers
// they are. `next` fills the next piece, false at the table's end; `reached`
// is told the time of each piece's last row.
template <typename Next, typename Reached>
void writeRows(const std::vector<ColumnLayout>& columns, double timeBase, parquet::Writer& writer,
               const ConversionOptions& options, Next next, Reached reached) {
  const size_t first = options.absoluteTime ? 2 : 1;
  std::vector<std::vector<int32_t>> integers(columns.size());
  std::vector<int64_t> micros;
  std::vector<parquet::ColumnPiece> pieces(columns.size() + first);
  RowPiece chunk;
  while (next(chunk)) {
    pieces[0] = {chunk.time.data(), nullptr};
    if (options.absoluteTime) {
      datetimes(chunk.time, timeBase, micros);
      pieces[1] = {micros.data(), nullptr};
    }
    for (size_t c = 0; c < columns.size(); ++c) {
      const void* values = chunk.values[c].empty() ? nullptr : chunk.values[c].data();
      if (values && isEvents(columns[c])) {
        integers[c].assign(chunk.values[c].begin(), chunk.values[c].end());
        values = integers[c].data();
      }
      pieces[c + first] = {values, chunk.valid[c].empty() ? nullptr : chunk.valid[c].data()};
    }
    writer.append(pieces, 0, static_cast<size_t>(chunk.rows));
    if (chunk.rows) reached(chunk.time[chunk.rows - 1]);
  }
}

constexpr uint64_t kPieceRows = uint64_t{1} << 14;

std::vector<parquet::ColumnLayout> parquetLayouts(const std::vector<ColumnLayout>& columns, bool datetime) {
  std::vector<parquet::ColumnLayout> layouts = {{"time", parquet::ColumnType::Double}};
  if (datetime) layouts.push_back({"datetime", parquet::ColumnType::Timestamp});
  for (const ColumnLayout& column : columns)
    layouts.push_back({column.name, isEvents(column) ? parquet::ColumnType::Int32 : parquet::ColumnType::Double});
  return layouts;
}

parquet::Writer::Sink sinkOf(OutputFile& file) {
  return [&file](const uint8_t* data, size_t n) {
    if (file && std::fwrite(data, 1, n, file.file()) != n) file.noteWriteError(errno ? errno : EIO);
  };
}

bool hasSamples(const QualityReport& quality) {
  for (const auto& stream : quality.streams)
    if (stream.samples > 0) return true;
  return false;
}

}  // namespace

int64_t datetimeMicros(double time, double timeBase) {
  const double whole = std::floor(timeBase);
  const double x = (timeBase - whole + time) * 1e6;
  double rounded = std::floor(x);
  if (x - rounded >= 0.5) rounded += 1;
  return static_cast<int64_t>(whole) * 1000000 + static_cast<int64_t>(rounded);
}

// Compact JSON with its numbers rewritten as JavaScript writes them, so the
// description is the bytes JSON.stringify gives in either binding.
std::string scriptJson(const std::string& json) {
  std::string out;
  out.reserve(json.size());
  bool inString = false;
  for (size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (inString) {
      out += c;
      if (c == '\\') out += json[++i];
      else if (c == '"') inString = false;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      size_t end = i + 1;
      while (end < json.size() && std::string_view("0123456789.eE+-").find(json[end]) != std::string_view::npos) ++end;
      double v = 0;
      std::from_chars(json.data() + i, json.data() + end, v);
      appendJsNumber(out, v);
      i = end - 1;
    } else {
      inString = c == '"';
      out += c;
    }
  }
  return out;
}

// A recording's description as the Node library writes it: its settings, with its quality and calibration.
static std::string recordingJson(const DeviceSettings& settings, const QualityReport& quality,
                                 const CalibrationReport* calibration) {
  const std::string info = jsonText([&](JsonSink& json) { writeRecordingInfo(json, settings); });
  std::string recording = info.substr(0, info.size() - 1) + ",\"quality\":" + qualityJson(quality);
  if (calibration) recording += ",\"calibration\":" + calibrationJson(*calibration);
  return scriptJson(recording + "}");
}

ParquetTableOutcome writeParquetTable(const char* utf8Path, const char* utf8Target, const ConversionOptions& options,
                                      bool calibrated, size_t groupRows) {
  ParquetTableOutcome done;
  TableReader table(utf8Path, options);
  done.parsed = table.parsed();
  done.settings = table.settings();
  done.quality = table.quality();
  done.calibration = table.calibration();
  if (!done.parsed || !hasSamples(table.quality())) return done;
  OutputFile file(utf8Target, OutputFile::Mode::Binary, options.durable);
  if (!file) {
    done.failure = {utf8Target, file.error(), file.failedStep()};
    return done;
  }
  const bool utc = options.utcOffset == options.utcOffset;
  parquet::Writer writer(parquetLayouts(table.columns(), options.absoluteTime), utc, sinkOf(file), groupRows);
  const Span span = spanOf(table.quality());
  table.ahead(kPieceRows);
  writeRows(table.columns(), table.timeBase(), writer, options,
            [&](RowPiece& chunk) { return table.next(kPieceRows, chunk); },
            [&](double t) { reportProgress(options, (t - span.first) / span.length); });
  writer.finish({{parquet::kMetaFormat, parquet::kTableFormat},
                 {parquet::kMetaRecording, recordingJson(done.settings, done.quality, calibrated ? &done.calibration : nullptr)},
                 {parquet::kMetaUnits, unitsJson(table.columns(), options.absoluteTime)}});
  done.written = file.commit(options.durable);
  if (!done.written) done.failure = {utf8Target, file.error(), file.failedStep()};
  return done;
}

SetOutcome writeParquetSet(const std::vector<std::string>& paths, const std::string& folder,
                           const ConversionOptions& options, bool calibrated, size_t groupRows) {
  ConversionOptions reading = options;
  reading.progress = nullptr;
  SetTableReader set(paths, reading);
  SetOutcome outcome = set.outcome();
  if (outcome.failure != SetFailure::None) return outcome;
  const std::vector<CalibrationReport> calibrations = outcome.calibrations;
  std::vector<std::string> targets;
  for (const std::string& path : paths) targets.push_back(joinPaths(folder, fileStem(path) + ".parquet"));
  if (const TargetClash clash = targetClash(paths, targets); clash.problem != OutputProblem::None) {
    outcome.failure = SetFailure::Output;
    outcome.output = clash.problem;
    outcome.outputRecordings = clash.indices;
    return outcome;
  }
  // Every file stays open until the last table is read: the report each
  // carries counts the slips of all.
  const size_t n = paths.size();
  const bool utc = options.utcOffset == options.utcOffset;
  const double span = outcome.sync.windowEnd - outcome.sync.windowStart;
  std::vector<OutputFile> outputs;
  outputs.reserve(n);  // the writers' sinks hold the files where they stand
  std::vector<std::unique_ptr<parquet::Writer>> writers;
  // Pieces no longer than a group, so that each group moves the fraction; told only as it grows.
  const uint64_t pieceRows = std::min<uint64_t>(groupRows, kPieceRows);
  double told = 0.0;
  const auto tell = [&](double fraction) {
    if (fraction > told) reportProgress(options, told = fraction);
  };
  for (size_t i = 0; i < n; ++i) {
    OutputFile& file = outputs.emplace_back(targets[i].c_str(), OutputFile::Mode::Binary, options.durable);
    writers.push_back(std::make_unique<parquet::Writer>(parquetLayouts(set.columns(i), options.absoluteTime), utc,
                                                        sinkOf(file), groupRows));
    writeRows(set.columns(i), set.timeBase(), *writers[i], options,
              [&](RowPiece& chunk) { return set.next(i, pieceRows, chunk); },
              [&](double t) {
                if (span > 0) tell((static_cast<double>(i) + std::min(1.0, t / span)) / n);
              });
    tell(static_cast<double>(i + 1) / n);
  }
  outcome = set.outcome();
  outcome.files = targets;
  const std::string report = jsonText([&](JsonSink& json) { writeSetReport(json, outcome, paths, folder, options, false); },
                                      JsonLayout::JavaScript);
  for (size_t i = 0; i < n; ++i) {
    const CalibrationReport* calibration = calibrated && i < calibrations.size() ? &calibrations[i] : nullptr;
    writers[i]->finish({{parquet::kMetaFormat, parquet::kTableFormat},
                        {parquet::kMetaRecording, recordingJson(set.settings(i), set.quality(i), calibration)},
                        {parquet::kMetaUnits, unitsJson(set.columns(i), options.absoluteTime)},
                        {parquet::kMetaSet, report}});
  }
  size_t bad = 0;
  if (!commitWithBeside(outputs, targets, options, {}, outcome, bad, outcome.written)) {
    outcome.failure = SetFailure::Output;
    outcome.output = OutputProblem::NotWritten;
    outcome.outputRecordings.push_back(bad);
  }
  return outcome;
}

}  // namespace kinovar
