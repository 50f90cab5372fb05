// The operations: each runs one conversion or settings edit from paths to
// its answer. With io/ (whose ordered writer writes a file's rows beside
// their formatting) the only place that starts threads; the only place that
// overlaps stages or opens outputs ahead of the stage that writes them.
// Free of any Node type.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "calibration/calibration.h"
#include "export/csv.h"
#include "export/json.h"
#include "io/output_file.h"
#include "ops/options.h"
#include "reader/quality.h"
#include "reader/stream_reader.h"
#include "reader/unparsed.h"
#include "settings/settings_edit.h"
#include "sync/report.h"
#include "view/view_data.h"

namespace kinovar {

// read: parse, estimate orientation, export CSV; the JSON answer or the error
// document. When `quality` is given it also receives what happened in the
// recording. Every output is written beside its target and moved into place
// when complete; with the error document, `failure` (when given) holds the
// system's reason if there was one.
std::string readRecording(const char* utf8RecordingPath, const char* utf8CsvPath,
                          const ConversionOptions& options = {}, QualityReport* quality = nullptr,
                          OutputFailure* failure = nullptr);

// read for a host that shows the outcome itself: false when the CSV file was
// not written (`failure`, when given, holds the system's reason if there was
// one); `settings` receives the recording's description (writeReadResult).
bool convertRecording(const char* utf8RecordingPath, const char* utf8CsvPath, const ConversionOptions& options,
                      DeviceSettings& settings, QualityReport* quality = nullptr, OutputFailure* failure = nullptr,
                      CalibrationReport* calibration = nullptr);

// The calibration the options ask for (ConversionOptions::calibrate): none,
// fitted on the reader's raw samples, or a calibration file's. A file of
// another device is refused (CodedFailure) unless the options allow it.
CalibrationReport calibrationOf(const RecordingReader& reader, const ConversionOptions& options);
// The same, applied to the reader's samples before any stage reads them.
CalibrationReport calibrateReader(RecordingReader& reader, const ConversionOptions& options);

// The calibration a recording's own still moments give, without converting
// it; false when the file is not a recording that could be read to its end.
bool calibrateRecordingFile(const char* utf8RecordingPath, CalibrationReport& report, const CancelToken& cancel = {});

// Writes the report as a calibration file, whole or not at all; false with
// the system's reason in `failure`.
bool writeCalibrationFile(const char* utf8Path, const CalibrationReport& report, bool durable = true,
                          OutputFailure* failure = nullptr);

// The quality report of a recording, and with `calibration` the fit its
// still moments give (one more pass over the motion sensors); false when the
// file is not a recording that could be read to its end.
bool inspectRecording(const char* utf8RecordingPath, QualityReport& report, const CancelToken& cancel = {},
                      CalibrationReport* calibration = nullptr);

// inspect's answer, for every host: the full quality report with the fit as
// "calibration", warning when the raw error at rest is large.
void writeInspection(JsonSink& json, const QualityReport& report, const CalibrationReport& calibration);

// The viewer's data (view/view_data.h) of a recording, its orientation
// estimated as `options` say, or of a classic CSV export; false with the
// reason when the input cannot be read.
bool viewRecording(const char* utf8RecordingPath, const ConversionOptions& options, uint64_t budgetBytes,
                   std::vector<uint8_t>& page, std::string& error);
bool viewClassicCsv(const char* utf8CsvPath, uint64_t budgetBytes, std::vector<uint8_t>& page, std::string& error);
// ... or of samples already in memory, with their quality report and the
// calibration they were written with as JSON (or empty).
std::vector<uint8_t> viewSamples(const StreamMap& streams, const std::string& created, uint64_t budgetBytes,
                                 const std::string& qualityJson, const std::string& calibrationJson = {});


// The CSV style of an output format.
inline CsvStyle csvStyleOf(OutputFormat format) {
  return format == OutputFormat::PlainCsv ? CsvStyle::Plain : CsvStyle::Classic;
}

// The classic CSV keeps its signed ticks; every other table gives true times.
inline TickReading tickReadingOf(CsvStyle style) {
  return style == CsvStyle::Classic ? TickReading::Signed : TickReading::Unwrapped;
}

// Why a set was not converted, in the order the stages find it.
enum class SetFailure {
  None,
  Unparsed,         // recordings that did not parse (unparsed says why)
  NoOrientation,    // recordings whose orientation cannot be estimated
  NotSynchronised,  // the synchronisation refused the set (sync says why)
  Output,           // the output files were refused or not written (output says which)
};

struct UnparsedRecording {
  size_t recording = 0;
  Unparsed reason = Unparsed::None;
  int systemError = 0;
};
enum class OutputProblem {
  None,
  SameName,           // recordings: two whose CSV files would have one name
  ReplacesRecording,  // recordings: the one a CSV file would replace
  DeviceName,         // recordings: the one whose CSV name Windows keeps for a device
  NotWritten,         // recordings: those whose CSV file could not be written
};
// What a set operation did, or why it did not.
struct SetOutcome {
  SetFailure failure = SetFailure::None;
  std::vector<UnparsedRecording> unparsed;     // Unparsed
  std::vector<size_t> noOrientation;           // NoOrientation
  std::vector<size_t> empty;                   // parsed, but holding no sample: what a refusal may come of
  SyncReport sync;                             // NotSynchronised: the refusal; None: what was done
  OutputProblem output = OutputProblem::None;  // Output
  std::vector<size_t> outputRecordings;        // Output
  std::vector<std::string> files;              // the CSV file of each recording, once written
  std::vector<CalibrationReport> calibrations;  // of each recording, once opened
  OutputFailure written;                       // Output, not written: the first file and the system's reason
};
// The outcome as hosts receive it: status and failure, then what was done or why not.
void writeSetOutcome(JsonSink& json, const SetOutcome& outcome);
// A set's report beside its plain CSV files or OpenSim table, by which it
// is recognised: its format first, what the synchronisation did, the
// recordings seen from the folder (so it stays true when the folder moves
// with them), the files by name, and what their time counts from.
inline constexpr const char* kSetFile = "set.json";
inline constexpr const char* kSetFormat = "kinovar set 1";
inline constexpr const char* kSetTime =
    "seconds from window.start on the common time base: one instant has one time in every file";
// The report those files carry, of a set whose outcome is OK (without its
// format, as the Parquet files carry it, unless `format`).
void writeSetReport(JsonSink& json, const SetOutcome& outcome, const std::vector<std::string>& recordings,
                    const std::string& folder, const ConversionOptions& options, bool format);
// set.json's bytes: the report indented as the JS layer first wrote it.
std::string setFileText(const SetOutcome& outcome, const std::vector<std::string>& recordings, const std::string& folder,
                        const ConversionOptions& options);

// readAndSync2: the set converted into <folder>/<stem>.csv. Not quiet: a
// refusal of the synchronisation is told in a line on stderr, as the classic
// operation does. Quiet (the JS layer): the files take their names together,
// once every one is complete; plain CSV files with their set.json.
// Files, (path, bytes), a set writes beside its own, given its outcome.
using BesideFiles = std::function<std::vector<std::pair<std::string, std::string>>(const SetOutcome&)>;
SetOutcome readAndSyncSet(const std::vector<std::string>& utf8Paths, const std::string& utf8Folder, bool quiet,
                          const ConversionOptions& options = {});

// OpenSim's orientation table of a set (export/opensim.h) as
// <folder>/orientations.sto, a column per recording named by `names`, with
// its set.json once its last row is made (the report's slips are then
// complete), both taking their names together. Refused as an Output
// failure when the table would replace a recording; a recording without an
// orientation, or rates that differ, throw a CodedFailure.
SetOutcome writeOpenSimSet(const std::vector<std::string>& utf8Paths, const std::string& utf8Folder,
                           const std::vector<std::string>& names, const ConversionOptions& options = {});

// The settings file as JSON, or "" when it cannot be read or holds no record.
std::string readConfig(const char* utf8Path);

// readConfig's document with the calibration as the records hold it (type-3
// records keep steps of 0.0001, which readConfig cuts to whole numbers).
std::string readSettingsExact(const char* utf8Path);

// What writing a settings object (JSON shaped as readSettings gives it)
// makes: with `source` (a file's first bytes) holding settings records, the
// block edited field by field; else the settings text of a new file. The
// problem, when refused, says which field and what it may be.
struct SettingsWrite {
  bool edit = false;
  std::vector<uint8_t> bytes;  // edit
  std::string text;            // a new file
  SettingsProblem problem;
};
SettingsWrite settingsToWrite(std::span<const uint8_t> source, std::string_view settingsJson);

// {"deviceId":N}, or "" on the same failures as readConfig.
std::string readConfigDeviceId(const char* utf8Path);

// Why a file cannot be converted as a recording, told before any work:
// it cannot be read (systemError, at `step`), holds no settings at its
// start, is cut inside its first block, or holds its settings and no
// sample block (a settings file: one block or less).
enum class RecordingFault { None, Unreadable, NotARecording, CutShort, SettingsFile, NoSamples };
struct RecordingCheck {
  RecordingFault fault = RecordingFault::None;
  int systemError = 0;
  const char* step = "";
  uint64_t bytes = 0;  // the file's length, as far as its first two blocks tell
};
// Reads no more than the file's first two blocks.
RecordingCheck checkRecordingFile(const char* utf8Path);

// Builds the settings file from the settings text; false on failure.
bool writeConfig(const char* utf8Path, const char* settingsText);

}  // namespace kinovar
