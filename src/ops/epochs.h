// Epoch summaries of a recording (epochs/epochs.h) read in pieces of rows,
// as a plain CSV file or for a host that writes them itself, with totals and
// days once the rows are done. One streaming pass over the recording.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "epochs/epochs.h"
#include "io/output_file.h"
#include "ops/options.h"
#include "reader/quality.h"
#include "reader/stream_reader.h"

namespace kinovar {

// Day boundaries: seconds since 1970 (UTC) at which each local day starts,
// with its date; the first day starts at or before the first epoch and the
// last entry ends the last day. Empty with `steps`: days run 24 h from the
// first epoch.
struct DayPlan {
  bool on = false;
  std::vector<double> starts;
  std::vector<std::string> dates;  // YYYY-MM-DD of each day; empty with 24 h steps
  double validHours = 16.0;
};

struct EpochRequest {
  EpochOptions epochs;  // clipLimit: from the recording's declared range unless set finite
  // Epochs start at whole clock times (seconds since 1970 divisible by the
  // epoch, in local time `utcOffset` east of UTC when options give it)
  // instead of at the first sample.
  bool alignToClock = false;
  DayPlan days;
};

// A column of the epoch table after time (and datetime).
struct EpochColumn {
  const char* name;
  const char* unit;
  bool integer;
  int decimals;  // in the CSV, its trailing zeros dropped
};

struct DayRow {
  int64_t day = 0;  // 1, 2, ...
  std::string date;  // empty with 24 h steps
  double start = 0.0;  // s from the first sample
  double hours = 24.0;  // the day's length: 23 or 25 across a change of daylight-saving time
  double recorded = 0.0, worn = 0.0, notWorn = 0.0, clipped = 0.0;  // hours
  double enmo = 0.0;  // mean over worn time, g; NaN without any
  bool valid = false;
};

// What the rows add up to, complete once every row is read.
struct EpochSummary {
  uint64_t epochs = 0;
  double recordedHours = 0.0, wornHours = 0.0, notWornHours = 0.0;
  uint64_t clippedSamples = 0;
  std::vector<DayRow> days;
  uint64_t validDays = 0;
};

// Why a recording gives no epochs.
enum class EpochRefusal { None, Unparsed, NoAccel };

class EpochReader {
 public:
  EpochReader(const char* utf8Path, const ConversionOptions& options, const EpochRequest& request);
  ~EpochReader();
  EpochRefusal refusal() const { return refusal_; }
  const DeviceSettings& settings() const { return reader_.settings(); }
  const QualityReport& quality() const { return quality_; }
  // Seconds since 1970 at the table's time 0 (the first sample).
  double timeBase() const { return timeBase_; }
  const std::vector<EpochColumn>& columns() const { return columns_; }
  // The next rows, at most maxRows; false at the end.
  bool next(uint64_t maxRows, std::vector<EpochRow>& rows);
  // An epoch's start, s from the first sample.
  double timeOf(const EpochRow& row) const { return grid_ + static_cast<double>(row.index) * request_.epochs.seconds; }
  // Column c's value in a row; NaN where the cell is empty.
  double value(const EpochRow& row, size_t c) const;
  const EpochSummary& summary() const { return summary_; }
  // The fraction of the accelerometer's samples read.
  double progress() const;

 private:
  void pump();
  void count(const EpochRow& row);
  void closeDays();
  void openDay(int64_t d);
  double dayStart(int64_t d) const;  // seconds since 1970
  int64_t dayOf(double at) const;

  RecordingReader reader_;
  EpochRequest request_;
  EpochRefusal refusal_ = EpochRefusal::None;
  QualityReport quality_;
  double timeBase_ = 0.0;
  double grid_ = 0.0;  // epoch 0's start, s from the first sample
  double rate_ = 0.0;  // accelerometer samples per second
  std::vector<EpochColumn> columns_;
  std::vector<int> fields_;  // which field each column reads
  struct Streams;
  std::unique_ptr<Streams> streams_;
  std::unique_ptr<EpochBuilder> builder_;
  EpochSummary summary_;
  int64_t day_ = 0;  // the day the rows have reached, counted in the plan
  double dayWornSamples_ = 0.0, dayEnmo_ = 0.0;
};

// The epochs of a recording as a plain CSV file (written beside the target
// and moved into place); false with the reason when it was not written.
bool writeEpochsCsv(EpochReader& epochs, const char* utf8CsvPath, const ConversionOptions& options,
                    OutputFailure* failure = nullptr);
// The days' columns, and column c's value of a day (NaN: the date, or no value).
std::span<const EpochColumn> dayColumns();
double dayValue(const DayRow& day, size_t c);
// The days as a plain CSV file.
bool writeDaysCsv(const EpochSummary& summary, const char* utf8CsvPath, const ConversionOptions& options,
                  OutputFailure* failure = nullptr);

}  // namespace kinovar
