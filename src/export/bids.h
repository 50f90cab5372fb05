// A Motion-BIDS run's files as text: their names by entity, the dataset's
// shared tables read and given the run's rows, the channels, the events and
// the sidecars that never change. Whoever writes the files (ops) owns the
// reading, the lock and the commit; nothing here touches the disk.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "export/rows.h"

namespace kinovar {

// A run's labels; an empty one is absent (subject, task and tracksys never are).
struct BidsEntities {
  std::string subject, session, task, tracksys, acquisition, run;
};

// The files of one run, in the order they are written and committed.
enum BidsFile { kBidsMotion, kBidsChannels, kBidsChannelsJson, kBidsMotionJson, kBidsEvents, kBidsEventsJson };

struct BidsLayout {
  std::vector<std::string> folders;  // subject, session (when given), motion: made in this order
  std::array<std::string, 6> own;    // by BidsFile
  std::string scans, scanName, participants, description, subject;
};

// What BIDS allows in a label, which separates the parts of a file name:
// letters and digits; a run's label is a number.
bool bidsLabelFits(std::string_view key, std::string_view value);

// A placement is a cell of channels.tsv: text on one line, without tabs.
bool bidsPlacementFits(std::string_view text);

BidsLayout bidsLayout(const std::string& root, const BidsEntities& entities);

struct TsvTable {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
};

// A TSV file's text without its byte-order mark, blank lines left out.
TsvTable parseTsv(std::string_view text);
std::string tsvText(const TsvTable& table);

// The participants table with a row for `subject` (n/a in the other columns) unless it has one.
void addParticipant(TsvTable& participants, const std::string& subject);

// The scans table with the run's row at `acqTime`, replacing an earlier one of the same file.
std::string scansText(const TsvTable& scans, const std::string& name, const std::string& acqTime);

// Microseconds since 1970 as acq_time (to the microsecond, Z for UTC); n/a when unknown.
std::string bidsAcqTime(std::optional<int64_t> micros, bool utc);

// A channel of the motion table: one column of one recording's table, in BIDS's units.
struct BidsChannel {
  size_t table = 0, column = 0;  // the recording and its table's column
  double factor = 1.0;
  std::string name, component, type, point, units, placement, rate, frame;
};

// A recording's table column as the channel list needs it.
struct BidsColumn {
  std::string name, stream, channel;
};

// The channels of the tables in the motion table's order: each tracked
// point's accelerometer, gyroscope, orientation (and barometer, when
// `withBaro`), then (not listed) the row's time. rate(i, stream) is the
// rate written for it (NaN: none known, left empty).
std::vector<BidsChannel> bidsChannels(const std::vector<std::vector<BidsColumn>>& tables,
                                      const std::vector<std::string>& names,
                                      const std::vector<std::string>& placements, bool withBaro,
                                      const std::function<double(size_t, const std::string&)>& rate);

std::string channelsText(const std::vector<BidsChannel>& channels);
extern const char* const kBidsFramesText;  // channels.json: the reference frames
extern const char* const kBidsEventsText;  // events.json

// An event met in the motion rows: its time on the tables' clock, its value, its recording.
struct BidsEvent {
  double time;
  double value;
  size_t table;
};

// What the motion rows came to, for the sidecar, the events and acq_time.
struct MotionSpan {
  uint64_t rows = 0;
  double first = 0.0, last = 0.0;
  double startTime = 0.0;  // the first row's own time in the first table that has it (its datetime's)
  std::vector<BidsEvent> events;
};

std::string eventsText(const MotionSpan& span, const std::vector<std::string>& names);

// One recording's table in pieces, with where its event column is (-1: none).
struct MotionSource {
  std::function<bool(RowPiece&)> next;
  int event = -1;
};

// The motion table, the tables advancing together: a row per instant at
// which any sensor has a motion sample (rows within 1e-7 s are one
// instant), n/a where a sensor has none. `write` takes it in pieces of
// about `pieceRows` rows; `progress` the last row's time.
void motionRows(std::vector<MotionSource>& sources, const std::vector<BidsChannel>& channels, uint64_t pieceRows,
                const std::function<void(const std::string&)>& write, const std::function<void(double)>& progress,
                MotionSpan& span);

}  // namespace kinovar
