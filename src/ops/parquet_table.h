// A recording's table (a row per instant a sample was taken at, its time
// in seconds from the first) written as a Parquet file, its rows streamed
// from the recording: what a host's convert writes without a JavaScript
// layer. The file is written beside the target and takes its name whole.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "calibration/calibration.h"
#include "export/parquet.h"
#include "io/output_file.h"
#include "ops/operations.h"
#include "ops/options.h"
#include "reader/quality.h"
#include "model/recording.h"

namespace kinovar {

struct ParquetTableOutcome {
  bool parsed = false;   // false: a data block could not be read; nothing was written
  bool written = false;  // false with parsed: no samples, or the system refused the file (failure says)
  DeviceSettings settings;  // the recording's description
  QualityReport quality;
  CalibrationReport calibration;
  OutputFailure failure;
};

// `calibrated`: the calibration report goes into the file's description.
// options.absoluteTime adds the datetime column (UTC where utcOffset is
// known, else the device's local time); options.progress is told the
// fraction of the recording's time the rows have reached.
ParquetTableOutcome writeParquetTable(const char* utf8Path, const char* utf8Target, const ConversionOptions& options,
                                      bool calibrated, size_t groupRows = parquet::kGroupRows);

// A set's tables, a Parquet file each as <folder>/<stem>.parquet, its rows
// streamed as the CSV set's are; each carries the set's report, and all
// take their names together once the last table is read. The outcome tells
// what was done, or why not (no file then).
SetOutcome writeParquetSet(const std::vector<std::string>& utf8Paths, const std::string& folder,
                           const ConversionOptions& options, bool calibrated, size_t groupRows = parquet::kGroupRows);

// A row's date in a table's datetime column: microseconds since 1970 of
// `time` seconds after `timeBase`, the whole seconds of the base apart so
// that no digit of its fraction is lost; halves round up.
int64_t datetimeMicros(double time, double timeBase);

// A JSON text with its numbers as JavaScript's JSON.stringify writes them
// (shortest digits; exponents past 1e21 and below 1e-6 only; -0 as 0), so
// that every host writes a description into a file with the same bytes.
std::string scriptJson(const std::string& json);

}  // namespace kinovar
