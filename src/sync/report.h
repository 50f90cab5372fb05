// What the synchronisation of a set did, or why it refused the set: plain
// data for callers that show it (the JavaScript layer, the command line).
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace kinovar {

enum class SyncMethod { None, TimeMarks, RadioSettings, RadioStream };

enum class SyncRefusal {
  None,
  TooFewRecordings,  // fewer than two
  NoMaster,          // radio methods: no recording has the master role
  SeveralMasters,    // recordings: those that claim it
  OtherChannel,      // recordings: those off the first one's channel; channels: theirs
  NoRadioData,       // recordings: slaves without radio time samples
  NoClock,           // recordings: a clock rate of 0 or below
  NoCommonStreams,   // no motion stream with samples in every recording
};

struct SyncStreamCount {
  uint32_t key = 0;      // stream key (1, 2, 3, 10)
  uint64_t samples = 0;  // kept in the window
  // Aligned by drift on a grid: samples passed over, rows that hold the
  // sample of the row before, where this clock slipped against the grid,
  // and rows left empty, with no sample of the stream near their instant.
  uint64_t skipped = 0, repeated = 0, empty = 0;
};

// A recording's clock against the set's common clock: t_common = offset +
// rate * t_own (seconds). Aligned by offset, the model says how far that
// one offset is off; aligned by drift, it places every sample.
struct ClockFit {
  double offset = 0.0;  // seconds of the common clock at own time 0
  double rate = 1.0;    // common seconds per own second
  uint64_t first = 0;   // radio stream: the pairs [first, end) it was fitted on
  uint64_t end = 0;
};

struct ClockModel {
  double offset = 0.0;
  double rate = 1.0;
  bool master = false;        // radio methods: the common clock itself
  bool rateMeasured = false;  // radio settings give an offset only
  uint64_t pairs = 0;         // readings the fit kept
  uint64_t outliers = 0;      // radio stream: pairs left out (corrupt, duplicated, off the line)
  std::vector<ClockFit> pieces;  // radio stream: more than one where the pairs jump (a reset)
  double rmsMs = 0.0, largestMs = 0.0;  // residuals of the kept readings
  double endErrorMs = 0.0;    // how far offset-only alignment is off at the window's end
  double ppmUncertainty = 0.0;  // standard uncertainty of ppm(), where the rate is measured

  double ppm() const { return (rate - 1.0) * 1e6; }
  // A rate told apart from the common clock's: further from it than its uncertainty.
  bool rateSignificant() const { return rateMeasured && !master && std::fabs(ppm()) > ppmUncertainty; }
};

struct SyncReport {
  SyncMethod method = SyncMethod::None;

  SyncRefusal refusal = SyncRefusal::None;
  std::vector<size_t> recordings;  // the recordings a refusal concerns, in set order
  std::vector<int32_t> channels;   // OtherChannel: the channel of each of them
  int32_t channel = 0;             // OtherChannel: the first recording's channel
  int masters = 0;                 // radio methods: recordings with the master role

  // One entry per recording once the set is aligned.
  std::vector<double> offsets;  // seconds added to the recording's own times
  double windowStart = 0.0;     // the common window, in seconds of the common time base
  double windowEnd = 0.0;
  std::vector<std::vector<SyncStreamCount>> samples;  // per recording, keys in order
  std::vector<uint64_t> events;                       // events kept per recording
  std::vector<ClockModel> clocks;                     // per recording, measured on the common clock
  // Aligned by each clock's model (offsets are then the models' offsets);
  // false: by one offset each, as the classic operation does.
  bool drift = false;
};

// The one line the classic operation prints for a refusal ("" for none).
std::string refusalLine(const SyncReport& report);

}  // namespace kinovar
