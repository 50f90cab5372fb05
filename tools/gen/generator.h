// Synthetic recordings with known contents and known motion, for tests, the
// demo and the benchmarks. Deterministic for a given recipe (seed included).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/recording.h"

namespace kinovar::gen {

// Still (level, z up, or as `start` has it) for stillSeconds, then a constant
// rotation about axis, a world axis (for moveSeconds, if given, then still
// again).
struct Motion {
  double stillSeconds = 1.0;
  double axis[3] = {0.0, 0.0, 1.0};
  double rateDps = 90.0;
  double noise = 0.0;  // standard deviation of sensor noise, in raw counts
  double moveSeconds = 0.0;  // when positive: the rotation stops after this long
  double gyroBiasDps[3] = {0.0, 0.0, 0.0};  // added to every gyroscope sample
  double start[4] = {1.0, 0.0, 0.0, 0.0};  // orientation while still, sensor to world (w, x, y, z)
};

struct RadioSettings {  // a 3/9 record
  uint8_t mode = 1;
  uint32_t wordA = 0;
  uint32_t wordB = 0;
  uint8_t channel = 0;
};

struct RadioTimeRecipe {  // a 3/17 record and its frames
  uint8_t frameId = 0x17;
  uint16_t frequency = 10;
  uint8_t role = 1;
  uint8_t channel = 0;
  int64_t valueOffsetTicks = 0;  // each frame carries its own tick plus this
  double valueRate = 1.0;        // ...its own tick times this, for a master clock that runs apart
  double valueOffsetFraction = 0.0;  // ...and, running apart, the part of a tick the offset's whole ticks leave out
  double corrupt = 0.0;          // fraction of frames whose value is noise instead
};

struct TimeMarksRecipe {  // a 3/18 record
  uint8_t value4 = 0;     // seconds of mark 1
  uint16_t value5 = 0;    // milliseconds of mark 1
  uint32_t value6 = 0;    // device tick at mark 1
  uint8_t value9 = 0;
  uint16_t value10 = 0;
  uint32_t value11 = 0;
};

struct Tricky {
  bool swapBlocks = false;       // two data blocks written in reverse order
  bool duplicateTicks = false;   // a second accel frame on some ticks, later in the file
  bool unknownKinds = false;     // frames of a kind no group declares
  int shortFinalBlock = 0;       // bytes of a partial block appended at the end
  int cutBlocks = 0;             // data blocks cut out of the middle, as if the memory lost them
  double spikeAt = -1;           // when not negative: the accel sample nearest this second reads full scale on X
  int flipBit = -1;              // when not negative: this bit (0-31) of a data block's base tick flipped, a third of the way in
};

// A stretch of a free-living day: what the sensor saw for `seconds`.
//   Active    walking-like: gravity plus a 2 Hz swing of 0.4 g, worn
//   Nonwear   lying on a table: one posture, noise of noiseMg
//   Sleep     still, worn: the posture changes every 20 to 40 minutes
//   Gap       no sample of any sensor, as if the memory lost them
//   Clipped   a burst beyond the accelerometer's range on every axis
struct Stretch {
  enum class Kind { Active, Nonwear, Sleep, Gap, Clipped } kind = Kind::Active;
  double seconds = 60.0;
  double noiseMg = 2.0;
};

// A sensor that reads off, as every accelerometer does: described by the
// calibration that undoes it, a = (raw + offset) * scale + (T - referenceTemperature) * temperature,
// which is then the truth a fit is checked against.
struct Miscalibration {
  double offset[3] = {0.0, 0.0, 0.0};       // g
  double scale[3] = {1.0, 1.0, 1.0};
  double temperature[3] = {0.0, 0.0, 0.0};  // g per degree C
  double referenceTemperature = 21.5;       // degree C
};

// Still periods in many orientations instead of Motion: the sensor holds a
// posture, turns for turnSeconds to the next, and so on; the postures'
// gravity directions are drawn from the seed, within spreadDegrees of z up
// (180: anywhere on the sphere).
struct Postures {
  double holdSeconds = 0.0;  // 0: not used; else each hold lasts from half to one and a half of this
  double turnSeconds = 2.0;
  double spreadDegrees = 180.0;
};

// The barometer's temperature: 21.5 degree C plus a sine of this amplitude
// and period (the default keeps the few hundredths it always had).
struct TemperatureSwing {
  double amplitude = 0.0;     // degree C
  double periodSeconds = 3600.0;
};

struct RecordingRecipe {
  uint16_t clock = 1000;  // ticks per second of the timestamp clock
  uint16_t accelHz = 100; // 0: not declared
  uint16_t gyroHz = 100;
  uint16_t baroHz = 25;
  uint16_t eventHz = 0;   // 0: no event group; events fall every 1/eventHz seconds
  double eventPeriod = 0; // when positive: seconds between events instead
  double seconds = 10.0;
  uint32_t seed = 1;
  uint32_t startTick = 0;  // tick of the first sample (wraps past 0xFFFFFFFF)
  Motion motion;
  uint8_t accelFrameId = 0x13;
  uint8_t gyroFrameId = 0x14;
  uint8_t baroFrameId = 0x15;
  uint8_t eventFrameId = 0x16;
  uint8_t accelRangeCode = 1;  // 16 g
  uint8_t gyroRangeCode = 3;   // 2000 dps
  int32_t deviceId = 1234;
  uint8_t bodyLocation = 1;
  uint16_t measureId = 7;
  DateTimeFields createdAt{9, 5, 14, 21, 3, 2017};
  std::optional<DateTimeFields> endDate;  // empty: createdAt + seconds, when the recording really ends
  std::optional<uint8_t> radioMode;  // a 1/5 record: mode and radioChannel
  uint8_t radioChannel = 0;
  std::optional<RadioSettings> radio;
  std::optional<RadioTimeRecipe> radioTime;
  std::optional<TimeMarksRecipe> timeMarks;
  std::vector<std::vector<uint8_t>> extraRecords;  // appended whole to the settings block
  Tricky tricky;
  // When given, the accelerometer and gyroscope follow these stretches, one
  // after another from the first sample, instead of `motion`.
  std::vector<Stretch> scenario;
  // Stretches (start, seconds) where the accelerometer repeats one value, as a sensor left idle does.
  std::vector<std::pair<double, double>> idle;
  // Stretches (start, seconds) of shaking beyond the accelerometer's range, clipped at full scale.
  std::vector<std::pair<double, double>> clippedBursts;
  Miscalibration miscalibration;
  Postures postures;
  TemperatureSwing temperatureSwing;
};

// A scenario from text: KIND:SECONDS[:NOISE_MG] separated by commas, KIND
// one of active, nonwear, sleep, gap, clipped; false when it does not read.
bool parseScenario(const std::string& text, std::vector<Stretch>& scenario);

// What the faults of a recipe did to one stream, counted as they were made.
struct StreamFaults {
  uint64_t duplicates = 0;       // extra frames on ticks already taken
  uint64_t missing = 0;          // samples cut out
  uint64_t gaps = 0;             // runs of cut samples
  uint64_t longestGapTicks = 0;  // between the samples either side of the longest run
  uint64_t saturated = 0;        // kept samples with an axis at a raw full scale
  uint64_t inFlippedBlock = 0;   // samples in the block whose base tick has a flipped bit
};

// The raw samples the file carries, before calibration, in tick order.
struct GeneratedSamples {
  std::vector<int32_t> accelTicks, gyroTicks, baroTicks, eventTicks, radioTicks;
  std::vector<int16_t> accel, gyro;        // x, y, z interleaved
  std::vector<uint32_t> pressure;          // 24-bit, 1/4096 mbar
  std::vector<int16_t> temperature;        // 1/100 degree C
  std::vector<uint8_t> events;
  std::vector<double> trueQuaternion;      // w, x, y, z per gyro sample (sensor to world)
  StreamFaults accelFaults, gyroFaults, baroFaults;
  uint64_t blocksBackwards = 0;            // blocks placed after a block of later ticks
  int64_t flippedBlock = -1;               // the block whose base tick has a flipped bit (block 0: settings)
};

std::vector<uint8_t> settingsRecord(uint8_t type, uint8_t subtype, const std::vector<uint8_t>& payload);
// The date and time that many seconds after `start` (whole seconds, rounded).
DateTimeFields addSeconds(const DateTimeFields& start, double seconds);
// Takes the recording's bytes in file order, a block at a time; false when they could not be kept.
using ByteSink = std::function<bool(const uint8_t* bytes, size_t size)>;
// The recording in pieces, in memory that does not grow with its length
// (unless `samples` is asked for). False when the sink refused a piece.
bool streamRecording(const RecordingRecipe& recipe, GeneratedSamples* samples, const ByteSink& sink);
std::vector<uint8_t> buildRecording(const RecordingRecipe& recipe, GeneratedSamples* samples = nullptr);
bool writeRecording(const std::string& path, const RecordingRecipe& recipe, GeneratedSamples* samples = nullptr);

}  // namespace kinovar::gen
