// What a caller may choose about one conversion. The defaults are the classic
// behaviour, which the five native functions always use.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "io/cancel.h"
#include "orientation/orientation.h"

namespace kinovar {

// How far a conversion has come: the fraction (0 to 1) of its input consumed.
using ProgressFn = std::function<void(double fraction)>;

// How a set's recordings are put on the common clock: one offset each (the
// classic rows), or each one's measured clock rate too (sync/sync.h).
enum class SetClock { Offset, Drift };

enum class OutputFormat {
  ClassicCsv,  // the banner, three header rows and one row per clock tick
  PlainCsv,    // one row of column names, the same rows without the trailing comma
};

// What is done to the accelerometer and gyroscope before anything else:
// nothing (the classic answers), a fit on the recording itself, or the
// coefficients of a calibration file fitted before on the same device.
enum class CalibrationMode { Off, Auto, File };

struct ConversionOptions {
  Estimator estimator = Estimator::Classic;
  OutputFormat format = OutputFormat::ClassicCsv;
  // The most threads the conversion keeps busy, the caller's included; 0: one
  // per core. A batch that runs conversions side by side divides the cores.
  unsigned threads = 0;
  // A recording without a single sample still gets its table of headers, as
  // the five functions' hosts rely on; false leaves the target as it was,
  // for callers that refuse such a recording.
  bool writeEmpty = true;
  // Plain CSV: a datetime column, the recording's creation time standing at
  // its first sample (a set's first recording's, carried onto the set's
  // base). utcOffset: seconds east of UTC of the zone it was made in, the
  // column then in UTC; NaN: the device's local time, without an offset.
  bool absoluteTime = false;
  double utcOffset = std::numeric_limits<double>::quiet_NaN();
  // Plain CSV and load(): samples per second of a uniform grid that the
  // sensors and quaternions are resampled onto (export/resample.h); 0: the
  // samples as they were taken.
  double resample = 0.0;
  // Called now and then (every few MB or chunks) from the thread that
  // started the conversion, with the fraction of the input consumed; 1 once
  // at the end. Empty: nobody is watching.
  ProgressFn progress;
  // Force the outputs' bytes to the medium before they take their names
  // (and the folder after): slower, but a power cut then cannot leave a
  // renamed output whose data never reached the disk.
  bool durable = false;
  // Samples a stream is read in, and rows a table is formatted in; 0: the
  // defaults. Tests make them tiny: the bytes never depend on them.
  uint64_t chunkSamples = 0;
  CalibrationMode calibrate = CalibrationMode::Off;
  std::string calibrationFile;      // File
  bool calibrationOtherDevice = false;  // File: applied to a recording of another device too
  // A set: placed by each clock's measured model, or by one offset each.
  SetClock clock = SetClock::Offset;
  // Asks the conversion to stop (checked as each piece of a recording is
  // read); it then throws Cancelled. The default never asks.
  CancelToken cancel;
};

// The share of a conversion's progress its first pass over the input takes
// (the parse and quality report, or a set's alignment) before any row is made.
inline constexpr double kFirstPassShare = 0.1;

inline void reportProgress(const ConversionOptions& options, double fraction) {
  if (options.progress) options.progress(fraction);
}

// Seconds since 1970-01-01 00:00:00 UTC at a recording's time 0, when it
// was created at `created` (read as UTC) and stood at time 0 `since` seconds
// after its creation; in the device's local time without an offset.
inline double timeBase(double created, double since, const ConversionOptions& options) {
  return created + since - (options.utcOffset == options.utcOffset ? options.utcOffset : 0.0);
}

}  // namespace kinovar
