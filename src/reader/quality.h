// What happened in a recording: lost frames, clock jumps, saturation and a
// cut-off tail, from the streams and what the parse counted on the way.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "io/json_writer.h"
#include "reader/parser.h"
#include "model/recording.h"
#include "reader/stream_reader.h"

namespace kinovar {

struct Gap {
  double start = 0.0;   // seconds from the recording's first sample to the last one before the gap
  double length = 0.0;  // seconds between the samples either side
};

struct StreamQuality {
  const char* name = "";  // accel, gyro, baro, threeAxis, events, radioTime, secondEvents
  uint64_t samples = 0;
  int32_t rate = 0;        // declared, samples per second
  double rateSeen = 0.0;   // (samples - 1) over the time from first to last; 0 under two samples
  double first = 0.0, last = 0.0;  // seconds; meaningless without samples
  uint64_t duplicates = 0;  // frames dropped because their tick was taken
  uint64_t missing = 0;     // samples absent by the declared rate
  uint64_t gapCount = 0;
  double longestGap = 0.0;  // seconds between the samples either side of the longest gap
  uint64_t saturated = 0;   // samples with an axis at the end of its range
  std::vector<Gap> gapList;  // in time order
  // Clock ticks per sample when the rate does not divide the clock, else 0,
  // and the rows apart the tables place its samples (a whole number: their
  // time then runs at rows / ticks of the true pace); 0 where not told.
  double ticksPerSample = 0.0;
  uint64_t rowsPerSample = 0;
};

struct SettingsRecordProblem {
  uint32_t offset = 0;
  uint8_t type = 0, subtype = 0, length = 0;
  const char* problem = "";  // malformed, unknown, truncated
};

struct QualityReport {
  std::vector<StreamQuality> streams;  // in stream key order
  uint64_t outOfOrder = 0;
  uint64_t tailBytes = 0;
  uint64_t corruptBlocks = 0;  // base tick far off both neighbours': left out of the true times
  // Seconds from the first sample to where the counter leaves the signed
  // 32-bit range, past which the classic table's ticks jump 2^32 back; -1: never.
  double signedWrapAt = -1.0;
  // Where the settings' end date is set: the seconds it lies after the
  // creation date, and those the samples span (first to last); 0 otherwise.
  double settingsSeconds = 0.0;
  double dataSeconds = 0.0;
  // The samples end that much before the settings' end date: cut short.
  bool shorterThanSettings() const;
  std::vector<SettingsRecordProblem> settingsRecords;
};

QualityReport qualityReport(const DeviceSettings& settings, const StreamMap& streams, const ParseStats& scan);
// The same, each stream read in pieces.
QualityReport qualityReport(const RecordingReader& reader);

// Clock ticks per sample of a sensor rate that does not divide the clock
// (the classic CSV's rows then run slow for it), else 0. The one rule: the
// JS layer asks for it too (read's and config set's warnings).
double ticksOffClock(int32_t clock, int32_t rate);

// The report as a JSON object (numbers in the C locale, no white space).
// The summary goes with every answer; the details (each gap, a rate that
// does not divide the clock) are what inspect adds.
enum class QualityDetail { summary, full };
// `more` writes members of its own after the report's.
void writeQuality(JsonSink& json, const QualityReport& report, QualityDetail detail = QualityDetail::summary,
                  const std::function<void(JsonSink&)>& more = {});
std::string qualityJson(const QualityReport& report, QualityDetail detail = QualityDetail::summary);

}  // namespace kinovar
