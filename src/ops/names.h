// The names hosts know the core's values by, and the layout of the streams
// they receive: one table each, here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/streams.h"
#include "ops/operations.h"

namespace kinovar {

const char* syncMethodName(SyncMethod method);
const char* syncRefusalName(SyncRefusal refusal);
const char* unparsedName(Unparsed reason);
const char* outputProblemName(OutputProblem problem);
// A file that is no recording: "missing" (ENOENT), "unreadable", "not-a-recording",
// "cut-short", "settings-file" or "no-samples"; nullptr for a recording.
const char* recordingFaultName(const RecordingCheck& check);
// Why a set failed, or nullptr when it did not.
const char* setFailureName(SetFailure failure);
// readAndSync2's answer: "OK", or the code of the first stage that failed.
const char* setStatus(SetFailure failure);
// Every failure of a set, in the order of its stages.
inline constexpr SetFailure kSetFailures[] = {SetFailure::Unparsed, SetFailure::NoOrientation,
                                              SetFailure::NotSynchronised, SetFailure::Output};
// A stream's name in a synchronised set's sample counts.
const char* syncStreamName(uint32_t key);

// The options by name ("classic", "accurate", "none"; "classic" or "csv", "plain"); false
// for any other name.
bool estimatorNamed(std::string_view name, Estimator& estimator);
bool outputFormatNamed(std::string_view name, OutputFormat& format);
// calibrate: "off", "auto", or else the path of a calibration file.
void calibrationNamed(const std::string& mode, ConversionOptions& options);


// A column of the table after its time, as hosts name it: the stream and
// channel by the names of streamLayouts().
struct ColumnLayout {
  const char* name;
  const char* unit;
  const char* stream;
  const char* channel;
};
std::vector<ColumnLayout> columnLayouts();
// The classic CSV's first line.
const char* csvBanner();

}  // namespace kinovar
