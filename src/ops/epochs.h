// Epoch summaries of a recording (epochs/epochs.h) read in pieces of rows,
// as a plain CSV file or for a host that writes them itself, with totals and
// days once the rows are done. One streaming pass over the recording.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "calibration/calibration.h"
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

// Seconds east of UTC that a zone is at an instant (seconds since 1970, UTC):
// the zone rules are the host's.
using ZoneOffset = std::function<double(double utcSeconds)>;

// The offset at which a zone takes the wall time `local` (seconds since
// 1970, read as UTC): looked up at `local`, then again at the instant that
// first offset makes of it, so that a clock change between the two is seen.
double wallTimeOffset(const ZoneOffset& offsetAt, double local);

// Whether a change of daylight-saving time skips or repeats the wall time
// `local` in the zone: "skipped", "repeated" or "". The offsets a day
// either side are the ones it may have had.
const char* wallTimeChange(const ZoneOffset& offsetAt, double local);

// The zone's local days that overlap from..to (seconds since 1970, UTC):
// when each starts and its date, and the last one's end. A day that a change
// of daylight-saving time shortens or lengthens lasts 23 or 25 hours; a
// midnight the change skips starts at the first wall time that exists.
void localDays(const ZoneOffset& offsetAt, double from, double to, DayPlan& plan);

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
  // Over a recording already opened, which must outlive this; its owner
  // holds the quality report, so quality() stays empty.
  EpochReader(const RecordingReader& reader, const ConversionOptions& options, const EpochRequest& request);
  ~EpochReader();
  EpochRefusal refusal() const { return refusal_; }
  const DeviceSettings& settings() const { return reader_->settings(); }
  // The first sample's time on the streams' clock, which the table's time counts from.
  double origin() const;
  const QualityReport& quality() const { return quality_; }
  // What was done to the samples (ConversionOptions::calibrate).
  const CalibrationReport& calibration() const { return calibration_; }
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
  // Local days instead of 24 h steps (before the first row is read).
  void planDays(const std::vector<double>& starts, const std::vector<std::string>& dates);
  // The zone's local days over the recording's span, a day either side.
  void planLocalDays(const ZoneOffset& offsetAt);
  // The fraction of the accelerometer's samples read.
  double progress() const;

 private:
  void start(const ConversionOptions& options, bool parsed);
  void pump();
  void count(const EpochRow& row);
  void closeDays();
  void openDay(int64_t d);
  double dayStart(int64_t d) const;  // seconds since 1970
  int64_t dayOf(double at) const;

  std::unique_ptr<RecordingReader> own_;
  const RecordingReader* reader_;
  EpochRequest request_;
  CalibrationReport calibration_;
  CalibrationModel model_;
  std::unique_ptr<AccelCorrector> corrector_;
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
  double seconds_[3] = {0, 0, 0};  // recorded, worn, not worn
  double daySeconds_[4] = {0, 0, 0, 0};  // the same, and clipped
};

// Every column an epoch table may have, and the days' (after their time).
std::span<const EpochColumn> epochColumns();
std::span<const EpochColumn> dayColumns();
// Column c's value of a day; NaN for the date, or where there is none.
double dayValue(const DayRow& day, size_t c);

// The epochs as plain CSV text: the next rows (at most maxRows; the header
// line first when asked), appended to `text`; false at the end. Datetime as
// the plain tables write it, from `options`.
bool nextEpochText(EpochReader& epochs, uint64_t maxRows, bool header, const ConversionOptions& options,
                   std::string& text);
// The days as plain CSV text, once every row is read.
std::string dayText(const EpochReader& epochs);

// The epochs as a plain CSV file and, when `utf8DaysPath` is given, the
// days as another, taking their names together once both are complete;
// false with the reason when they were not written.
bool writeEpochsCsv(EpochReader& epochs, const char* utf8CsvPath, const char* utf8DaysPath,
                    const ConversionOptions& options, OutputFailure* failure = nullptr);

}  // namespace kinovar
