// Recordings loaded into memory for the host instead of written to a file:
// the same parse, orientation stage and synchronisation as the conversions.
#pragma once

#include <array>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "io/ahead.h"
#include "ops/names.h"
#include "ops/operations.h"
#include "ops/options.h"
#include "ops/stream_recording.h"
#include "model/recording.h"

namespace kinovar {

// Loaded streams keep the samples' own times, counted as the tables count
// them (from the first sample of the recording, or from a set's window
// start), and a quaternion without an estimate reads NaN.
struct LoadedRecording {
  Recording recording;  // its settings are the description read answers with
  bool parsed = false;
  QualityReport quality;  // what happened in the recording
  CalibrationReport calibration;  // what was done to its samples
  double timeBase = 0.0;  // seconds since 1970 at time 0 (ops/options.h timeBase)
  double resampled = 0.0;  // the grid's rate, 0: none
};

// The samples load() keeps: those whose time on the table (seconds from the
// first sample) lies from `from` up to, not including, `to`, of the streams named as
// streamLayouts() names them (none named: every one). Only those are read
// into memory; a stream without a sample there is left out.
struct LoadWindow {
  double from = -std::numeric_limits<double>::infinity();
  double to = std::numeric_limits<double>::infinity();
  std::vector<std::string> streams;
};

LoadedRecording loadRecording(const char* utf8Path, const ConversionOptions& options = {},
                              const LoadWindow& window = {});

// The columns of a table and where each takes its values from.
struct TableColumns {
  std::vector<ColumnLayout> layouts;
  std::vector<RowColumn> of;
};
TableColumns columnsOf(const PlainColumns& plain);
// The table of samples a host holds (load()'s streams), whole: its columns
// and rows, times as the samples'. `groups` are numbered as rowGroups()
// numbers them, a group without times absent. A column whose group has a
// sample on every row, and the time then, carry no values (the host's arrays
// hold them), events excepted (hosts change their type).
struct HeldTable {
  TableColumns columns;
  RowPiece rows;
};
HeldTable heldTable(const std::array<RowGroup, 5>& groups);
// A recording's table read a piece of rows at a time (openTable): the rows
// of load()'s sampleTable (export/rows.h).
class TableReader {
 public:
  TableReader(const char* utf8Path, const ConversionOptions& options);
  ~TableReader();
  bool parsed() const { return parsed_; }
  const DeviceSettings& settings() const { return reader_.settings(); }
  const QualityReport& quality() const { return quality_; }
  const CalibrationReport& calibration() const { return calibration_; }
  double timeBase() const { return timeBase_; }
  // The table's columns after its time, in order.
  const std::vector<ColumnLayout>& columns() const { return columns_.layouts; }
  // The next rows, at most maxRows; false at the end. With threads to spare
  // the pieces after are made ahead, on a thread of its own, of the first
  // call's size.
  bool next(uint64_t maxRows, RowPiece& chunk);
  // Starts making pieces of maxRows rows while the caller gets ready for them.
  void ahead(uint64_t maxRows);

 private:
  bool make(uint64_t maxRows, RowPiece& chunk);

  RecordingReader reader_;
  bool parsed_ = false;
  QualityReport quality_;
  CalibrationReport calibration_;
  double timeBase_ = 0.0;
  std::unique_ptr<RecordingStreams> streams_;
  StreamSource source_;
  TableLayout table_;
  std::unique_ptr<TableRows> rows_;
  double origin_ = 0.0;
  TableColumns columns_;
  TablePiece piece_;
  bool ahead_ = false;  // whether pieces are made while the caller uses the ones before
  // Pieces made ahead, of the first call's size. Last: its thread stops
  // before what it reads goes.
  std::unique_ptr<Ahead<RowPiece>> made_;
};

// The tables of a set read in pieces, one per recording, aligned and cut as
// the CSV set does it: loadSet's sampleTable of each, without holding one
// whole. The report's slips are complete once every table is read to its end.
// `streams` keeps only those columns (named as LoadWindow's); the slips of
// the streams left out are still counted, their cut read through once the
// table's last rows are, so that the report is the whole table's. The tables
// may be read in any order, interleaved.
struct StreamedSet;
struct LoadedStream;
class SetTableReader {
 public:
  SetTableReader(const std::vector<std::string>& utf8Paths, const ConversionOptions& options,
                 const std::vector<std::string>& streams = {});
  ~SetTableReader();
  const SetOutcome& outcome() const;
  size_t size() const { return tables_.size(); }
  const DeviceSettings& settings(size_t i) const;
  const QualityReport& quality(size_t i) const;
  double timeBase() const;
  const std::vector<ColumnLayout>& columns(size_t i) const { return tables_[i].columns.layouts; }
  // Recording i's streams in its table, with their rates, as loadSet gives them.
  std::vector<LoadedStream> streams(size_t i) const;
  bool next(size_t i, uint64_t maxRows, RowPiece& chunk);

 private:
  struct Table {
    TableLayout layout;
    std::unique_ptr<TableRows> rows;
    TableColumns columns;
    TablePiece piece;
    std::vector<uint32_t> leftOut;  // keys whose slips are still to count
  };
  double resampled_ = 0.0;
  std::unique_ptr<StreamedSet> set_;
  std::vector<Table> tables_;
};

// A set parsed, oriented and synchronised as readAndSync2 does it, without
// the files and printing nothing: the outcome readAndSyncSet tells (what was
// done or why not), and without a failure the recordings, synchronised, with
// their quality reports.
struct LoadedSet {
  SetOutcome outcome;
  std::vector<Recording> recordings;
  std::vector<QualityReport> qualities;
  double timeBase = 0.0;  // seconds since 1970 at the window start, for every recording
  double resampled = 0.0;  // the grid's rate, 0: none
};

// Each recording read in pieces, only what `window` keeps (its times from
// the set's window start) staying in memory.
LoadedSet loadRecordingSet(const std::vector<std::string>& utf8Paths, const ConversionOptions& options = {},
                           const LoadWindow& window = {});

// A loaded recording's streams, the table's, in the order of streamLayouts(),
// with their rates (events: 0; the grid's when resampled).
struct LoadedStream {
  const StreamLayout* layout = nullptr;
  SampleStream* stream = nullptr;
  int32_t rate = 0;
};
std::vector<LoadedStream> loadedStreams(Recording& recording, double resampled = 0.0);

}  // namespace kinovar
