#include "ops/names.h"

#include <cerrno>

#include "export/csv.h"

namespace kinovar {

const char* syncMethodName(SyncMethod method) {
  switch (method) {
    case SyncMethod::TimeMarks: return "time-marks";
    case SyncMethod::RadioSettings: return "radio-settings";
    case SyncMethod::RadioStream: return "radio-stream";
    case SyncMethod::None: break;
  }
  return "none";
}

const char* syncRefusalName(SyncRefusal refusal) {
  switch (refusal) {
    case SyncRefusal::TooFewRecordings: return "too-few-recordings";
    case SyncRefusal::NoMaster: return "no-master";
    case SyncRefusal::SeveralMasters: return "several-masters";
    case SyncRefusal::OtherChannel: return "other-channel";
    case SyncRefusal::NoRadioData: return "no-radio-data";
    case SyncRefusal::NoClock: return "no-clock";
    case SyncRefusal::NoCommonStreams: return "no-common-streams";
    case SyncRefusal::None: break;
  }
  return "none";
}

const char* unparsedName(Unparsed reason) {
  switch (reason) {
    case Unparsed::Missing: return "unreadable";
    case Unparsed::NotARecording: return "not-a-recording";
    case Unparsed::CutShort: return "cut-short";
    case Unparsed::None: break;
  }
  return "unknown";
}

const char* recordingFaultName(const RecordingCheck& check) {
  switch (check.fault) {
    case RecordingFault::Unreadable: return check.systemError == ENOENT ? "missing" : "unreadable";
    case RecordingFault::NotARecording: return "not-a-recording";
    case RecordingFault::CutShort: return "cut-short";
    case RecordingFault::SettingsFile: return "settings-file";
    case RecordingFault::NoSamples: return "no-samples";
    case RecordingFault::None: break;
  }
  return nullptr;
}

const char* outputProblemName(OutputProblem problem) {
  switch (problem) {
    case OutputProblem::SameName: return "same-name";
    case OutputProblem::ReplacesRecording: return "replaces-recording";
    case OutputProblem::DeviceName: return "device-name";
    case OutputProblem::NotWritten:
    case OutputProblem::None: break;
  }
  return "not-written";
}

const char* syncStreamName(uint32_t key) {
  // Sync reports have always counted the orientation under this name.
  return key == kQuaternionKey ? "quaternion" : streamName(key);
}

bool estimatorNamed(std::string_view name, Estimator& estimator) {
  if (name == "classic") estimator = Estimator::Classic;
  else if (name == "accurate") estimator = Estimator::Accurate;
  else if (name == "none") estimator = Estimator::None;
  else return false;
  return true;
}

bool outputFormatNamed(std::string_view name, OutputFormat& format) {
  if (name == "classic" || name == "csv") format = OutputFormat::ClassicCsv;  // "csv": its name in 0.1
  else if (name == "plain") format = OutputFormat::PlainCsv;
  else return false;
  return true;
}

void calibrationNamed(const std::string& mode, ConversionOptions& options) {
  options.calibrate = mode == "auto" ? CalibrationMode::Auto : mode == "off" ? CalibrationMode::Off : CalibrationMode::File;
  options.calibrationFile = options.calibrate == CalibrationMode::File ? mode : std::string();
}

std::vector<ColumnLayout> columnLayouts() {
  std::vector<ColumnLayout> columns;
  for (const ColumnName& column : tableColumns()) {
    for (const StreamLayout& layout : streamLayouts()) {
      if (layout.key == column.key) columns.push_back({column.name, layout.units.at(column.channel), layout.name, layout.channels.at(column.channel)});
    }
  }
  return columns;
}

const char* csvBanner() { return kCsvBanner; }

}  // namespace kinovar
