#include "export/bids.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "io/js_number.h"
#include "io/paths.h"
#include "model/calendar.h"

namespace kinovar {

namespace {

// Standard gravity, by which our g become m/s^2.
constexpr double kGravity = 9.80665;
constexpr double kRadians = 3.141592653589793 / 180;
// A grid's times computed apart differ by rounding only, far below any period.
constexpr double kSameInstant = 1e-7;

// Our streams as BIDS channel types, in the order of a tracked point's channels.
struct ChannelType {
  const char* stream;
  const char* type;
  const char* units;  // null: by channel (the barometer's)
  double factor;
};
constexpr ChannelType kChannelTypes[] = {
    {"accel", "ACCEL", "m/s^2", kGravity},
    {"gyro", "GYRO", "rad/s", kRadians},
    {"orientation", "ORNT", "n/a", 1.0},
    {"baro", "MISC", nullptr, 1.0},
};

std::string componentOf(const std::string& stream, const std::string& channel) {
  if (stream == "orientation") return "quat_" + channel;
  return stream == "baro" ? "n/a" : channel;
}

std::string frameOf(const std::string& stream) {
  if (stream == "orientation") return "global";
  return stream == "baro" ? "n/a" : "sensor";
}

std::string joined(const std::vector<std::string>& cells, char by) {
  std::string out;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i) out += by;
    out += cells[i];
  }
  return out;
}

bool hasValue(const RowPiece& piece, size_t column, uint64_t k) {
  const std::vector<uint8_t>& valid = piece.valid[column];
  const double value = piece.values[column][k];
  return (valid.empty() || rowBit(valid.data(), k)) && value == value;
}

// A table's pieces walked a row at a time.
struct Cursor {
  MotionSource* source;
  RowPiece piece;
  uint64_t k = 0;
  bool live = false;

  void next() {
    for (;;) {
      live = source->next(piece);
      if (!live || piece.rows > 0) break;
    }
    k = 0;
  }
  double t() const { return piece.time[k]; }
  void advance() {
    if (++k >= piece.rows) next();
  }
};

}  // namespace

const char* const kBidsFramesText = R"json({
  "reference_frame": {
    "LongName": "reference frame",
    "Description": "the frame in which the channel's values are given",
    "Levels": {
      "sensor": {
        "Description": "the sensor's own axes, as printed on its case; they turn with the sensor",
        "RotationRule": "right-hand"
      },
      "global": {
        "Description": "the world frame of the orientation estimate: z points up (against gravity), x and y are horizontal and their heading is where the estimate started (no magnetometer observes it). The quaternion (w, x, y, z) turns a vector in sensor axes into this frame; (1, 0, 0, 0) is a sensor lying level",
        "SpatialAxes": "__S",
        "RotationOrder": "ZYX",
        "RotationRule": "right-hand"
      }
    }
  }
}
)json";

const char* const kBidsEventsText = R"json({
  "onset": {
    "Description": "seconds from the first row of the motion table (acq_time in the scans table)",
    "Units": "s"
  },
  "duration": {
    "Description": "events are instants",
    "Units": "s"
  },
  "value": {
    "Description": "the value the sensor recorded with the event"
  },
  "tracked_point": {
    "Description": "the sensor that recorded the event"
  }
}
)json";

BidsLayout bidsLayout(const std::string& root, const BidsEntities& e) {
  BidsLayout layout;
  const std::string sub = "sub-" + e.subject;
  const std::string ses = e.session.empty() ? "" : "ses-" + e.session;
  const std::string folder = joinPaths(root, ses.empty() ? sub : sub + "/" + ses);
  std::vector<std::string> words{sub};
  if (!ses.empty()) words.push_back(ses);
  const std::string scansStem = joined(words, '_');
  words.push_back("task-" + e.task);
  words.push_back("tracksys-" + e.tracksys);
  if (!e.acquisition.empty()) words.push_back("acq-" + e.acquisition);
  if (!e.run.empty()) words.push_back("run-" + e.run);
  const std::string stem = joined(words, '_');
  const std::string motion = joinPaths(folder, "motion");
  layout.folders.push_back(joinPaths(root, sub));
  if (!ses.empty()) layout.folders.push_back(folder);
  layout.folders.push_back(motion);
  const char* suffixes[] = {"motion.tsv", "channels.tsv", "channels.json", "motion.json", "events.tsv", "events.json"};
  for (size_t i = 0; i < layout.own.size(); ++i) layout.own[i] = joinPaths(motion, stem + "_" + suffixes[i]);
  layout.scans = joinPaths(folder, scansStem + "_scans.tsv");
  layout.scanName = "motion/" + stem + "_motion.tsv";
  layout.participants = joinPaths(root, "participants.tsv");
  layout.description = joinPaths(root, "dataset_description.json");
  layout.subject = sub;
  return layout;
}

TsvTable parseTsv(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  TsvTable table;
  bool first = true;
  size_t from = 0;
  while (from <= text.size()) {
    size_t to = text.find('\n', from);
    const bool last = to == std::string_view::npos;
    if (last) to = text.size();
    std::string_view line = text.substr(from, to - from);
    if (!last && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    from = to + 1;
    if (line.empty()) continue;
    std::vector<std::string> cells;
    for (size_t at = 0;;) {
      const size_t tab = line.find('\t', at);
      cells.emplace_back(line.substr(at, tab == std::string_view::npos ? std::string_view::npos : tab - at));
      if (tab == std::string_view::npos) break;
      at = tab + 1;
    }
    if (first) table.header = std::move(cells);
    else table.rows.push_back(std::move(cells));
    first = false;
  }
  return table;
}

std::string tsvText(const TsvTable& table) {
  std::string out = joined(table.header, '\t');
  for (const std::vector<std::string>& row : table.rows) out += '\n' + joined(row, '\t');
  return out + '\n';
}

void addParticipant(TsvTable& participants, const std::string& subject) {
  for (const std::vector<std::string>& row : participants.rows)
    if (!row.empty() && row[0] == subject) return;
  std::vector<std::string> row(participants.header.empty() ? 1 : participants.header.size(), "n/a");
  row[0] = subject;
  participants.rows.push_back(std::move(row));
}

std::string scansText(const TsvTable& scans, const std::string& name, const std::string& acqTime) {
  TsvTable out{scans.header, {}};
  bool timed = false;
  for (const std::string& column : out.header) timed = timed || column == "acq_time";
  if (!timed) out.header.push_back("acq_time");
  for (const std::vector<std::string>& row : scans.rows) {
    if (!row.empty() && row[0] == name) continue;
    std::vector<std::string> widened(out.header.size(), "n/a");
    for (size_t i = 0; i < widened.size() && i < row.size(); ++i) widened[i] = row[i];
    out.rows.push_back(std::move(widened));
  }
  std::vector<std::string> own;
  for (const std::string& column : out.header)
    own.push_back(column == "filename" ? name : column == "acq_time" ? acqTime : "n/a");
  out.rows.push_back(std::move(own));
  return tsvText(out);
}

std::string bidsAcqTime(std::optional<int64_t> micros, bool utc) {
  if (!micros) return "n/a";
  int64_t seconds = *micros / 1000000;
  int64_t fraction = *micros % 1000000;
  if (fraction < 0) fraction += 1000000, --seconds;
  int64_t days = seconds / 86400;
  int64_t within = seconds % 86400;
  if (within < 0) within += 86400, --days;
  const CivilDate date = civilFromDays(days);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02lld:%02lld:%02lld.%06lld%s", static_cast<long long>(date.year),
                date.month, date.day, static_cast<long long>(within / 3600), static_cast<long long>(within / 60 % 60),
                static_cast<long long>(within % 60), static_cast<long long>(fraction), utc ? "Z" : "");
  return text;
}

std::vector<BidsChannel> bidsChannels(const std::vector<std::vector<BidsColumn>>& tables,
                                      const std::vector<std::string>& names,
                                      const std::vector<std::string>& placements, bool withBaro,
                                      const std::function<double(size_t, const std::string&)>& rate) {
  std::vector<BidsChannel> channels;
  for (size_t i = 0; i < tables.size(); ++i) {
    for (const ChannelType& type : kChannelTypes) {
      if (!withBaro && std::string_view(type.stream) == "baro") continue;
      for (size_t c = 0; c < tables[i].size(); ++c) {
        const BidsColumn& column = tables[i][c];
        if (column.stream != type.stream) continue;
        const std::string units = type.units ? type.units : column.channel == "pressure" ? "hPa" : "oC";
        const double hz = rate(i, column.stream);
        channels.push_back({i, c, type.factor, names[i] + "_" + column.name, componentOf(column.stream, column.channel),
                            type.type, names[i], units, placements[i].empty() ? "n/a" : placements[i],
                            hz == hz ? jsNumber(hz) : "", frameOf(column.stream)});
      }
    }
  }
  return channels;
}

std::string channelsText(const std::vector<BidsChannel>& channels) {
  TsvTable table{{"name", "component", "type", "tracked_point", "units", "placement", "sampling_frequency", "status",
                  "reference_frame"},
                 {}};
  for (const BidsChannel& c : channels)
    table.rows.push_back({c.name, c.component, c.type, c.point, c.units, c.placement, c.rate, "good", c.frame});
  table.rows.push_back({"latency", "n/a", "LATENCY", "n/a", "s", "n/a", "n/a", "good", "n/a"});
  return tsvText(table);
}

std::string eventsText(const MotionSpan& span, const std::vector<std::string>& names) {
  TsvTable table{{"onset", "duration", "value", "tracked_point"}, {}};
  for (const BidsEvent& event : span.events) {
    std::string onset;
    appendNanosecondTime(onset, event.time - span.first);
    table.rows.push_back({onset, "0", jsNumber(event.value), names[event.table]});
  }
  return tsvText(table);
}

void motionRows(std::vector<MotionSource>& sources, const std::vector<BidsChannel>& channels, uint64_t pieceRows,
                const std::function<void(const std::string&)>& write, const std::function<void(double)>& progress,
                MotionSpan& span) {
  std::vector<Cursor> cursors;
  for (MotionSource& source : sources) cursors.push_back(Cursor{&source, {}, 0, false});
  for (Cursor& c : cursors) c.next();
  std::vector<std::vector<const BidsChannel*>> byTable(sources.size());
  for (const BidsChannel& channel : channels) byTable[channel.table].push_back(&channel);
  std::string text;
  uint64_t lines = 0;
  for (;;) {
    double t = std::numeric_limits<double>::infinity();
    for (const Cursor& c : cursors)
      if (c.live && c.t() < t) t = c.t();
    if (t == std::numeric_limits<double>::infinity()) break;
    const size_t mark = text.size();
    bool any = false, stamped = false;
    double stamp = 0.0;
    for (size_t i = 0; i < cursors.size(); ++i) {
      Cursor& c = cursors[i];
      const bool here = c.live && c.t() - t <= kSameInstant;
      if (here && !stamped) stamped = true, stamp = c.t();
      for (const BidsChannel* channel : byTable[i]) {
        if (here && hasValue(c.piece, channel->column, c.k)) {
          appendJsNumber(text, c.piece.values[channel->column][c.k] * channel->factor);
          any = true;
        } else {
          text += "n/a";
        }
        text += '\t';
      }
      if (!here) continue;
      if (c.source->event >= 0 && hasValue(c.piece, static_cast<size_t>(c.source->event), c.k))
        span.events.push_back({c.t(), c.piece.values[static_cast<size_t>(c.source->event)][c.k], i});
      c.advance();
    }
    // A row of an event alone, or of a stream left out, is no instant of the grid.
    if (!any) {
      text.resize(mark);
      continue;
    }
    if (span.rows == 0) span.first = t, span.startTime = stamp;
    span.last = t;
    ++span.rows;
    appendNanosecondTime(text, t - span.first);
    text += '\n';
    if (++lines >= pieceRows) {
      write(text);
      progress(t);
      text.clear();
      lines = 0;
    }
  }
  if (!text.empty()) write(text);
}

bool bidsLabelFits(std::string_view key, std::string_view value) {
  const bool run = key == "run";
  return !value.empty() && std::all_of(value.begin(), value.end(), [run](char c) {
    return (c >= '0' && c <= '9') || (!run && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')));
  });
}

bool bidsPlacementFits(std::string_view text) {
  return !text.empty() && text.find_first_of("\t\r\n") == std::string_view::npos;
}

}  // namespace kinovar
