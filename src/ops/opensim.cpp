#include <cerrno>
#include <cstdio>
#include <string_view>

#include "export/opensim.h"
#include "io/failure.h"
#include "io/js_number.h"
#include "io/paths.h"
#include "ops/load.h"
#include "ops/operations.h"
#include "ops/streamed_set.h"
#include "ops/targets.h"

namespace kinovar {

namespace {

// The rate of every sensor's orientation, refused when one has none or they differ.
double orientationRate(const SetTableReader& set, const std::vector<std::string>& paths) {
  double rate = 0.0;
  for (size_t i = 0; i < set.size(); ++i) {
    double own = 0.0;
    for (const LoadedStream& stream : set.streams(i))
      if (stream.layout->key == kQuaternionKey) own = stream.rate;
    if (!(own > 0))
      throw CodedFailure("ERR_KINOVAR_NO_ORIENTATION",
                         paths[i] + ": has no orientation estimate (it needs accelerometer and gyroscope at one rate)",
                         paths[i]);
    if (i > 0 && own != rate)
      throw CodedFailure("ERR_KINOVAR_FORMAT", "the sensors estimate orientation at different rates (" + jsNumber(rate) +
                                                   " and " + jsNumber(own) + " Hz); an OpenSim table has one rate for all");
    rate = own;
  }
  return rate;
}

// Recording i's orientation, a piece of rows at a time.
QuaternionPieces quaternionsOf(SetTableReader& set, size_t i, uint64_t pieceRows) {
  std::vector<size_t> at(4, 0);
  const std::vector<ColumnLayout>& columns = set.columns(i);
  for (size_t c = 0; c < columns.size(); ++c)
    if (std::string_view(columns[c].stream) == "orientation")
      at[std::string_view("wxyz").find(columns[c].channel[0])] = c;
  return [&set, i, pieceRows, at, chunk = RowPiece{}](QuaternionPiece& piece) mutable {
    if (!set.next(i, pieceRows, chunk)) return false;
    piece.rows = chunk.rows;
    std::swap(piece.time, chunk.time);
    for (size_t c = 0; c < 4; ++c) std::swap(piece.wxyz[c], chunk.values[at[c]]);
    std::swap(piece.valid, chunk.valid[at[0]]);
    return true;
  };
}

}  // namespace

SetOutcome writeOpenSimSet(const std::vector<std::string>& paths, const std::string& folder,
                           const std::vector<std::string>& names, const ConversionOptions& options) {
  ConversionOptions reading = options;
  reading.progress = nullptr;
  SetTableReader set(paths, reading, {"orientation"});
  SetOutcome outcome = set.outcome();
  if (outcome.failure != SetFailure::None) return outcome;
  const std::string target = joinPaths(folder, "orientations.sto");
  if (const TargetClash clash = targetClash(paths, {target}); clash.problem != OutputProblem::None) {
    outcome.failure = SetFailure::Output;
    outcome.output = clash.problem;
    outcome.outputRecordings = clash.indices;
    return outcome;
  }
  const double rate = orientationRate(set, paths);
  std::vector<std::string> calibrations;
  for (size_t i = 0; i < paths.size(); ++i)
    calibrations.push_back(calibrationSummary(i < outcome.calibrations.size() ? outcome.calibrations[i] : CalibrationReport{}));

  const uint64_t pieceRows = options.chunkSamples ? options.chunkSamples : kOpenSimPieceRows;
  std::vector<OutputFile> outputs;
  OutputFile& file = outputs.emplace_back(target.c_str(), OutputFile::Mode::Binary, options.durable);
  const auto write = [&file](const std::string& text) {
    if (file && std::fwrite(text.data(), 1, text.size(), file.file()) != text.size()) file.noteWriteError(errno);
  };
  write(openSimHeader(rate, names, calibrations));
  std::vector<QuaternionPieces> sensors;
  for (size_t i = 0; i < paths.size(); ++i) sensors.push_back(quaternionsOf(set, i, pieceRows));
  const double span = outcome.sync.windowEnd - outcome.sync.windowStart;
  openSimRows(sensors, rate, pieceRows, write, [&](double t) { reportProgress(options, t / (span > 0 ? span : 1.0)); });
  // Each sensor's orientation read to its end, for its slips (the first's is by now).
  for (size_t i = 1; i < paths.size(); ++i)
    for (RowPiece rest; set.next(i, kOpenSimPieceRows, rest);) {
    }
  outcome = set.outcome();
  outcome.files = {target};
  size_t bad = 0;
  if (!commitWithBeside(outputs, {target}, options, setFileBeside(paths, folder, options), outcome, bad, outcome.written)) {
    outcome.failure = SetFailure::Output;
    outcome.output = OutputProblem::NotWritten;
    for (size_t i = 0; i < paths.size(); ++i) outcome.outputRecordings.push_back(i);
  }
  return outcome;
}

}  // namespace kinovar
