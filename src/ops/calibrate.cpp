#include "io/failure.h"
#include "io/output_file.h"
#include "ops/operations.h"

namespace kinovar {

CalibrationReport calibrationOf(const RecordingReader& reader, const ConversionOptions& options) {
  CalibrationReport report;
  switch (options.calibrate) {
    case CalibrationMode::Off:
      report.deviceId = reader.settings().deviceId;
      report.hasAccel = reader.count(kAccelKey) > 0;
      report.hasGyro = reader.count(kGyroKey) > 0;
      report.accel.status = report.gyro.status = "not asked for: the samples are raw";
      return report;
    case CalibrationMode::Auto:
      report = calibrateRecording(reader);
      break;
    case CalibrationMode::File: {
      report = readCalibrationFile(options.calibrationFile.c_str());
      const int32_t device = reader.settings().deviceId;
      if (report.deviceId != device && !options.calibrationOtherDevice)
        throw CodedFailure("ERR_KINOVAR_OTHER_DEVICE",
                           options.calibrationFile + " was fitted on device " + std::to_string(report.deviceId) +
                               ", the recording is of device " + std::to_string(device) +
                               "; calibrate this device (kinovar calibrate), or pass --force (overwrite: true) to apply it anyway");
      break;
    }
  }
  return report;
}

CalibrationReport calibrateReader(RecordingReader& reader, const ConversionOptions& options) {
  CalibrationReport report = calibrationOf(reader, options);
  applyCalibration(reader, report.model());
  return report;
}

bool calibrateRecordingFile(const char* utf8RecordingPath, CalibrationReport& report, const CancelToken& cancel) {
  RecordingReader reader(0, cancel);
  if (!reader.open(fileSource(utf8RecordingPath))) return false;
  report = calibrateRecording(reader);
  return true;
}

bool writeCalibrationFile(const char* utf8Path, const CalibrationReport& report, bool durable, OutputFailure* failure) {
  const std::string text = calibrationFileText(report);
  return replaceFile(utf8Path, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, failure, durable);
}

}  // namespace kinovar
