// Calibration of the accelerometer against gravity and of the gyroscope's
// bias at rest, after van Hees et al. (2014): every still moment of a
// recording sees 1 g, so the means of its still 10 s windows must lie on the
// unit sphere; offset, scale and a temperature term per axis are fitted to
// put them there. The fit keeps the still windows' means only, so a
// recording of any length costs one pass and a few bytes per still window.
//
// Model, per axis: a' = (a + offset) * scale + (T - referenceTemperature) * temperature,
// and gyro' = gyro - bias; T the barometer's temperature at the sample's time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/json_reader.h"
#include "io/json_writer.h"
#include "reader/stream_reader.h"

namespace kinovar {

struct CalibrationParameters {
  double windowSeconds = 10.0;
  double stillSd = 0.013;            // g: every axis below this
  double stillMean = 2.0;            // g: every axis's |mean| below this
  uint64_t minWindows = 50;
  double coverage = 0.3;             // g: each axis has still means below -coverage and above +coverage
  double maxErrorAfter = 0.010;      // g
  double maxScaleChange = 0.2;
  double maxTemperature = 0.02;      // g per degree C
  double tolerance = 1e-6;           // largest coefficient change that ends the iterations
  int maxIterations = 1000;
  double maxWeight = 100.0;          // 1 / 10 mg: a window on the sphere cannot take every weight
  double restGyroSd = 2.0;           // deg/s: a still window's gyroscope rests when every axis is below this
  double restGyroMean = 10.0;        // deg/s: larger is turning, not bias
  double minRestSeconds = 10.0;
  double warnErrorBefore = 0.010;    // g: a raw error at rest above this is worth a warning
};

// What is applied to the samples.
struct CalibrationModel {
  bool accel = false;  // the accelerometer terms apply
  double offset[3] = {0.0, 0.0, 0.0};       // g
  double scale[3] = {1.0, 1.0, 1.0};
  double temperature[3] = {0.0, 0.0, 0.0};  // g per degree C
  double referenceTemperature = 0.0;        // degree C
  bool gyro = false;  // the bias applies
  double bias[3] = {0.0, 0.0, 0.0};  // deg/s
  bool empty() const { return !accel && !gyro; }
  // One accelerometer sample, in place.
  void applyAccel(double a[3], double temperatureC) const {
    for (int k = 0; k < 3; ++k)
      a[k] = (a[k] + offset[k]) * scale[k] + (temperatureC - referenceTemperature) * temperature[k];
  }
};

// One still window: the means of its samples.
struct StillWindow {
  double mean[3] = {0.0, 0.0, 0.0};  // g, raw
  double temperature = 0.0;          // degree C, 0 without a barometer
  double gyro[3] = {0.0, 0.0, 0.0};  // deg/s
  double gyroSeconds = 0.0;          // rest time its gyroscope samples cover; 0: not at rest
};

struct StillWindows {
  std::vector<StillWindow> still;
  uint64_t windows = 0;  // every window with samples
  uint64_t idle = 0;     // left out: a value that never changes (SD 0, or repeated samples)
  bool temperature = false;
};

struct AccelFit {
  bool accepted = false;
  std::string status;  // why, in words
  double offset[3] = {0.0, 0.0, 0.0};
  double scale[3] = {1.0, 1.0, 1.0};
  double temperature[3] = {0.0, 0.0, 0.0};
  double referenceTemperature = 0.0;
  bool temperatureTerm = false;  // fitted (a barometer's temperature was there)
  double errorBeforeMg = 0.0, errorAfterMg = 0.0;  // mean | |a| - 1 | over the still windows
  uint64_t windows = 0;  // still windows used
  uint64_t idleWindows = 0;
  int iterations = 0;
  double lowest[3] = {0.0, 0.0, 0.0}, highest[3] = {0.0, 0.0, 0.0};  // each axis's still means: the sphere's coverage
};

struct GyroFit {
  bool found = false;
  std::string status;
  double bias[3] = {0.0, 0.0, 0.0};
  double restSeconds = 0.0;
};

// What was applied to a recording and why.
enum class CalibrationSource { Off, Fitted, File };

struct CalibrationReport {
  CalibrationSource source = CalibrationSource::Off;
  bool hasAccel = false, hasGyro = false;  // whether the recording has the sensor at all
  AccelFit accel;
  GyroFit gyro;
  int32_t deviceId = -1;
  std::string file;  // the calibration file applied
  CalibrationModel model() const;
};

// Windows of `seconds` from the accelerometer's first sample, classified and
// the still ones' means kept; the temperature from the barometer when the
// recording has one. One pass over the raw samples.
StillWindows collectStillWindows(const RecordingReader& reader, const CalibrationParameters& parameters = {});

// The fit over still windows' means (and the gyroscope's bias at rest).
AccelFit fitAccel(const StillWindows& windows, const CalibrationParameters& parameters = {});
GyroFit fitGyro(const StillWindows& windows, const CalibrationParameters& parameters = {});

// Both, over one recording.
CalibrationReport calibrateRecording(const RecordingReader& reader, const CalibrationParameters& parameters = {});

// Why the raw accelerometer is worth calibrating (its error at rest above
// warnErrorBefore) and what to do, or "" when it is not or nothing was measured.
std::string rawErrorWarning(const CalibrationReport& report, const CalibrationParameters& parameters = {});

// The report as JSON.
// With `warn`, a "warning" member when the raw error at rest is large.
void writeCalibration(JsonSink& json, const CalibrationReport& report, bool warn = false);
std::string calibrationJson(const CalibrationReport& report);

// What a calibration did to the samples, on one line of plain ASCII (the
// viewer's page and OpenSim's header state it), from the report as JSON:
// raw, or the coefficients applied and where they came from; a sensor left
// raw says why.
std::string calibrationSummary(const JsonValue& report);
std::string calibrationSummary(const CalibrationReport& report);

// A calibration file: the report, its format named first so that the file
// is known for ours (and its version) by its first bytes.
inline constexpr const char* kCalibrationFormat = "kinovar calibration 1";
std::string calibrationFileText(const CalibrationReport& report);

// A calibration file's report; throws CalibrationFileError saying what is
// wrong with it.
CalibrationReport readCalibrationFile(const char* utf8Path);

// Makes every accelerometer and gyroscope cursor of the reader calibrated by
// the model (nothing when it is empty). The reader must outlive its cursors.
void applyCalibration(RecordingReader& reader, const CalibrationModel& model);

class TemperatureTrack;

// The model's accelerometer terms applied to samples in time order (pieces
// of any size), the barometer's temperature read alongside them.
class AccelCorrector {
 public:
  // Both must outlive this.
  AccelCorrector(const RecordingReader& reader, const CalibrationModel& model);
  ~AccelCorrector();
  void apply(const double* time, double* x, double* y, double* z, uint64_t n);

 private:
  const RecordingReader& reader_;
  const CalibrationModel& model_;
  std::unique_ptr<TemperatureTrack> track_;
};

// The barometer's temperature at non-decreasing times, linear between its
// samples and held beyond its ends.
class TemperatureTrack {
 public:
  // Starts at the sample before time `from`; reads through `reader`'s raw cursors.
  TemperatureTrack(const RecordingReader& reader, double from);
  double at(double time);

 private:
  std::unique_ptr<StreamCursor> cursor_;
  SampleStream piece_;
  uint64_t next_ = 0;  // in piece_
  double t0_ = 0, v0_ = 0, t1_ = 0, v1_ = 0;
  bool have0_ = false, have1_ = false;
  bool more();
};

}  // namespace kinovar
