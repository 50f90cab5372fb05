#include "ops/parquet_table.h"

#include <cerrno>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "calibration/calibration.h"
#include "export/json.h"
#include "export/parquet.h"
#include "io/json_writer.h"
#include "ops/load.h"
#include "reader/quality.h"

namespace kinovar {
namespace {

// ECMAScript's Number::toString: the shortest digits, in plain notation
// from 1e-6 up to 1e21.
void scriptNumber(std::string& out, double v) {
  if (v == 0) {
    out += '0';
    return;
  }
  char buffer[40];
  const std::string_view s(buffer, static_cast<size_t>(
                                       std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::scientific).ptr -
                                       buffer));
  size_t at = 0;
  if (s[0] == '-') out += '-', at = 1;
  const size_t e = s.find('e');
  std::string digits(1, s[at]);
  if (e > at + 1) digits.append(s.substr(at + 2, e - at - 2));
  const int k = static_cast<int>(digits.size());
  const int n = std::atoi(std::string(s.substr(e + 1)).c_str()) + 1;
  if (k <= n && n <= 21) {
    out += digits;
    out.append(static_cast<size_t>(n - k), '0');
  } else if (0 < n && n <= 21) {
    out.append(digits, 0, static_cast<size_t>(n));
    out += '.';
    out.append(digits, static_cast<size_t>(n));
  } else if (-6 < n && n <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-n), '0');
    out += digits;
  } else {
    out += digits[0];
    if (k > 1) out += '.', out.append(digits, 1);
    out += n - 1 < 0 ? "e-" : "e+";
    out += std::to_string(std::abs(n - 1));
  }
}

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

// The rows into the writer a piece at a time; the events as the integers they are.
void writeRows(TableReader& table, parquet::Writer& writer, const ConversionOptions& options) {
  constexpr uint64_t kPieceRows = uint64_t{1} << 14;
  const std::vector<ColumnLayout>& columns = table.columns();
  const size_t first = options.absoluteTime ? 2 : 1;
  const Span span = spanOf(table.quality());
  std::vector<std::vector<int32_t>> integers(columns.size());
  std::vector<int64_t> micros;
  std::vector<parquet::ColumnPiece> pieces(columns.size() + first);
  RowPiece chunk;
  table.ahead(kPieceRows);
  while (table.next(kPieceRows, chunk)) {
    pieces[0] = {chunk.time.data(), nullptr};
    if (options.absoluteTime) {
      datetimes(chunk.time, table.timeBase(), micros);
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
    if (chunk.rows) reportProgress(options, (chunk.time[chunk.rows - 1] - span.first) / span.length);
  }
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
      scriptNumber(out, v);
      i = end - 1;
    } else {
      inString = c == '"';
      out += c;
    }
  }
  return out;
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
  std::vector<parquet::ColumnLayout> layouts = {{"time", parquet::ColumnType::Double}};
  if (options.absoluteTime) layouts.push_back({"datetime", parquet::ColumnType::Timestamp});
  for (const ColumnLayout& column : table.columns())
    layouts.push_back({column.name, isEvents(column) ? parquet::ColumnType::Int32 : parquet::ColumnType::Double});
  OutputFile file(utf8Target, OutputFile::Mode::Binary, options.durable);
  if (!file) {
    done.failure = {utf8Target, file.error(), file.failedStep()};
    return done;
  }
  const bool utc = options.utcOffset == options.utcOffset;
  parquet::Writer writer(std::move(layouts), utc, [&](const uint8_t* data, size_t n) {
    if (std::fwrite(data, 1, n, file.file()) != n) file.noteWriteError(errno ? errno : EIO);
  }, groupRows);
  writeRows(table, writer, options);
  // The description as the Node library writes it: the recording's, with its quality and calibration.
  const std::string info = jsonText([&](JsonSink& json) { writeRecordingInfo(json, done.settings); });
  std::string recording = info.substr(0, info.size() - 1) + ",\"quality\":" + qualityJson(done.quality);
  if (calibrated) recording += ",\"calibration\":" + calibrationJson(done.calibration);
  writer.finish({{parquet::kMetaFormat, parquet::kTableFormat},
                 {parquet::kMetaRecording, scriptJson(recording + "}")},
                 {parquet::kMetaUnits, unitsJson(table.columns(), options.absoluteTime)}});
  done.written = file.commit(options.durable);
  if (!done.written) done.failure = {utf8Target, file.error(), file.failedStep()};
  return done;
}

}  // namespace kinovar
