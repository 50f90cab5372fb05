#include "ops/load.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <system_error>

#include "export/csv.h"
#include "export/resample.h"
#include "export/rows.h"
#include "ops/recording_file.h"
#include "ops/streamed_set.h"
#include "ops/workers.h"
#include "orientation/orientation.h"
#include "reader/quality.h"
#include "sync/sync.h"

namespace kinovar {

namespace {

bool chosen(const std::vector<std::string>& streams, uint32_t key) {
  if (streams.empty()) return true;
  for (const StreamLayout& layout : streamLayouts())
    if (layout.key == (key == kSecondEventKey ? kEventKey : key))
      return std::find(streams.begin(), streams.end(), layout.name) != streams.end();
  return false;
}

}  // namespace

namespace {

// The samples of `source`'s streams that `window` keeps, their times from
// `origin`, into `into`'s streams (a quaternion without an estimate as NaN).
// A stream kept whole is written straight into its block, sized by the
// count its shape gives, so that its samples are held once instead of in
// growing lists and then a copy; what a window cuts, or what the shape did
// not count, goes through the lists.
void keepWindow(const StreamSource& source, const StreamMap& shapes, double origin, const LoadWindow& window,
                uint64_t piece, Recording& recording) {
  const TableLayout table = tableLayout(recording.settings, shapes);
  const bool whole = window.from == -std::numeric_limits<double>::infinity() &&
                     window.to == std::numeric_limits<double>::infinity();
  for (const TableColumn* column : {&table.accel, &table.gyro, &table.baro, &table.event, &table.quaternion}) {
    if (!column->stream || !chosen(window.streams, column->key)) continue;
    std::unique_ptr<StreamCursor> cursor = source.cursor(column->key);
    const uint64_t channels = column->stream->channels;
    const uint64_t expected = whole ? column->stream->count : 0;
    SampleStream stream(channels, expected);
    uint64_t kept = 0;
    std::vector<double> times;
    std::vector<std::vector<double>> values(channels);
    SampleStream read;
    bool past = false;
    while (!past && cursor->read(read, piece) > 0) {
      for (uint64_t i = 0; i < read.count; ++i) {
        const double t = read.times[i] - origin;
        if (t < window.from) continue;
        if (t >= window.to) {
          past = true;
          break;
        }
        if (kept < expected) {
          stream.times[kept] = t;
          for (uint64_t c = 0; c < channels; ++c) stream.values[c * expected + kept] = read.value(c, i);
          ++kept;
          continue;
        }
        times.push_back(t);
        for (uint64_t c = 0; c < channels; ++c) values[c].push_back(read.value(c, i));
      }
    }
    if (kept < expected) {
      // Fewer than counted: the channels close up, each moving towards the block's start.
      for (uint64_t c = 1; c < channels; ++c)
        std::copy(stream.values.begin() + static_cast<long>(c * expected),
                  stream.values.begin() + static_cast<long>(c * expected + kept), stream.values.begin() + static_cast<long>(c * kept));
      stream.values.resize(channels * kept);
      stream.values.shrink_to_fit();
      stream.times.resize(kept);
      stream.times.shrink_to_fit();
      stream.count = kept;
    } else if (!times.empty()) {
      SampleStream all(channels, kept + times.size());
      std::copy(stream.times.begin(), stream.times.end(), all.times.begin());
      std::copy(times.begin(), times.end(), all.times.begin() + static_cast<long>(kept));
      for (uint64_t c = 0; c < channels; ++c) {
        const auto into = all.values.begin() + static_cast<long>(c * all.count);
        std::copy(stream.values.begin() + static_cast<long>(c * kept), stream.values.begin() + static_cast<long>(c * kept + kept), into);
        std::copy(values[c].begin(), values[c].end(), into + static_cast<long>(kept));
      }
      stream = std::move(all);
    }
    if (column->key == kQuaternionKey) {
      // NaN where the filter had no estimate.
      double* v = stream.values.data();
      const uint64_t n = stream.count;
      for (uint64_t k = 0; k < n; ++k)
        if (noEstimate(v[k], v[n + k], v[2 * n + k], v[3 * n + k]))
          v[k] = v[n + k] = v[2 * n + k] = v[3 * n + k] = std::numeric_limits<double>::quiet_NaN();
    }
    recording.streams.emplace(column->key, std::move(stream));
  }
}

}  // namespace

LoadedRecording loadRecording(const char* utf8Path, const ConversionOptions& options, const LoadWindow& window) {
  LoadedRecording loaded;
  Recording& recording = loaded.recording;
  loaded.resampled = options.resample;
  // Each stream is read in pieces (resampled as it is read), only what the
  // window keeps staying in memory.
  RecordingReader reader(options.chunkSamples, options.cancel, TickReading::Unwrapped);
  loaded.parsed = reader.open(fileSource(utf8Path));
  loaded.quality = qualityReport(reader);
  if (loaded.parsed) loaded.calibration = calibrateReader(reader, options);
  recording.settings = reader.settings();
  loaded.timeBase = timeBase(epochSeconds(recording.settings.createdAt), 0.0, options);
  ConversionOptions estimated = options;
  if (!loaded.parsed) estimated.estimator = Estimator::None;
  const RecordingStreams streams(reader, estimated, threadBudget(options) > 1, true);
  const StreamSource source = streams.source();
  keepWindow(source, streams.shapes(), streams.origin(), window, reader.chunkSamples(), recording);
  return loaded;
}

namespace {

TableColumns tableColumnsOf(const TableLayout& table) { return columnsOf(plainColumns(table)); }

}  // namespace

TableColumns columnsOf(const PlainColumns& plain) {
  const std::vector<ColumnLayout> all = columnLayouts();
  TableColumns columns;
  for (const size_t i : plain.index) columns.layouts.push_back(all[i]);
  columns.of = plain.read;
  return columns;
}

HeldTable heldTable(const std::array<RowGroup, 5>& groups) {
  const uint64_t rows = rowCount(groups);
  std::array<bool, 5> present{}, whole{};
  for (size_t g = 0; g < groups.size(); ++g) {
    present[g] = groups[g].times != nullptr;
    whole[g] = present[g] && groups[g].count == rows;
  }
  PlainColumns plain = plainColumns(present);
  for (RowColumn& column : plain.read) column.values = !whole[column.group] || column.group == groupOf(kEventKey);
  HeldTable table;
  table.columns = columnsOf(plain);
  const bool time = std::find(whole.begin(), whole.end(), true) == whole.end();
  mergeRows(groups, rows, table.columns.of, 0.0, table.rows, time);
  return table;
}

namespace {

// The next rows of a table, their time from `origin`.
bool nextRows(TableRows& table, TablePiece& piece, const TableColumns& columns, double origin, uint64_t maxRows,
              RowPiece& chunk) {
  table.load(piece, std::max<uint64_t>(maxRows, 1));
  chunk.rows = piece.rows;
  if (piece.rows == 0) return false;
  mergeRows(rowGroups(piece), piece.rows, columns.of, origin, chunk);
  return true;
}

}  // namespace

TableReader::TableReader(const char* utf8Path, const ConversionOptions& options)
    : reader_(options.chunkSamples, options.cancel, TickReading::Unwrapped) {
  parsed_ = reader_.open(fileSource(utf8Path));
  quality_ = qualityReport(reader_);
  if (parsed_) calibration_ = calibrateReader(reader_, options);
  timeBase_ = kinovar::timeBase(epochSeconds(reader_.settings().createdAt), 0.0, options);
  ConversionOptions estimated = options;
  if (!parsed_) estimated.estimator = Estimator::None;
  streams_ = std::make_unique<RecordingStreams>(reader_, estimated, threadBudget(options) > 1, true);
  source_ = streams_->source();
  table_ = tableLayout(reader_.settings(), streams_->shapes());
  rows_ = std::make_unique<TableRows>(source_, table_, 0);
  origin_ = streams_->origin();
  columns_ = tableColumnsOf(table_);
  ahead_ = threadBudget(options) > 1;
}

TableReader::~TableReader() = default;

bool TableReader::make(uint64_t maxRows, RowPiece& chunk) {
  return nextRows(*rows_, piece_, columns_, origin_, maxRows, chunk);
}

namespace {

// Pieces made ahead: a row group's worth of quarter-group pieces, which the
// caller takes at once between encodings, so that it never waits for one the
// thread had time to make.
constexpr size_t kPiecesAhead = 4;

}  // namespace

bool TableReader::next(uint64_t maxRows, RowPiece& chunk) {
  maxRows = std::max<uint64_t>(maxRows, 1);
  ahead(maxRows);
  if (!made_) return make(maxRows, chunk);
  RowPiece* first = made_->front();
  if (!first) {
    chunk.rows = 0;
    return false;
  }
  if (first->rows <= maxRows) {
    std::swap(chunk, *first);
    made_->used(1, true);
  } else {
    // Asked for fewer rows than were made ahead: the rest waits for the next call.
    chunk = rowsOf(*first, 0, maxRows);
    *first = rowsOf(*first, maxRows, first->rows - maxRows);
  }
  return true;
}

void TableReader::ahead(uint64_t maxRows) {
  if (!ahead_ || made_) return;
  const uint64_t rows = std::max<uint64_t>(maxRows, 1);
  try {
    made_ = std::make_unique<Ahead<RowPiece>>(
        // The piece the thread holds while the queue is full is the last of them.
        kPiecesAhead - 1, [](const RowPiece&) { return uint64_t{1}; },
        [this, rows](const Ahead<RowPiece>::Put& put) {
          for (RowPiece piece; make(rows, piece);) put(piece);
        });
  } catch (const std::system_error&) {
    ahead_ = false;  // no thread to be had: each piece is made when asked for
  }
}

namespace {

// Times from the window start before the rows are matched, as a set loaded
// whole has them: a difference of two times can round to equal where the
// times themselves differ.
class FromOrigin : public StreamCursor {
 public:
  FromOrigin(std::unique_ptr<StreamCursor> cursor, double origin) : cursor_(std::move(cursor)), origin_(origin) {}
  uint64_t read(SampleStream& out, uint64_t max) override {
    const uint64_t n = cursor_->read(out, max);
    for (uint64_t k = 0; k < n; ++k) out.times[k] -= origin_;
    return n;
  }

 private:
  std::unique_ptr<StreamCursor> cursor_;
  double origin_;
};

}  // namespace

SetTableReader::SetTableReader(const std::vector<std::string>& paths, const ConversionOptions& options,
                               const std::vector<std::string>& streams)
    : resampled_(options.resample), set_(openStreamedSet(paths, options, CsvStyle::Plain)) {
  tables_.resize(set_->sources.size());
  for (size_t i = 0; i < tables_.size(); ++i) {
    Table& table = tables_[i];
    table.layout = tableLayout(set_->recordings[i].settings, set_->recordings[i].streams);
    for (TableColumn* column : {&table.layout.gyro, &table.layout.accel, &table.layout.baro, &table.layout.event,
                                &table.layout.quaternion}) {
      if (!column->stream || chosen(streams, column->key)) continue;
      column->stream = nullptr;
      // Only a grid slips; events are cut in memory.
      if (set_->window.grid() && column->key != kEventKey && column->key != kSecondEventKey)
        table.leftOut.push_back(column->key);
    }
    table.columns = tableColumnsOf(table.layout);
  }
}

SetTableReader::~SetTableReader() = default;
const SetOutcome& SetTableReader::outcome() const { return set_->outcome; }
const DeviceSettings& SetTableReader::settings(size_t i) const { return set_->recordings[i].settings; }
const QualityReport& SetTableReader::quality(size_t i) const { return set_->qualities[i]; }
double SetTableReader::timeBase() const { return set_->timeBase; }

std::vector<LoadedStream> SetTableReader::streams(size_t i) const {
  std::vector<LoadedStream> kept;
  const TableLayout& layout = tables_[i].layout;
  for (const LoadedStream& stream : loadedStreams(set_->recordings[i], resampled_))
    for (const TableColumn* column : {&layout.gyro, &layout.accel, &layout.baro, &layout.event, &layout.quaternion})
      if (column->stream == stream.stream) kept.push_back(stream);
  return kept;
}

bool SetTableReader::next(size_t i, uint64_t maxRows, RowPiece& chunk) {
  Table& table = tables_[i];
  // Made at the first rows asked for, so that a table not read costs nothing.
  if (!table.rows) {
    StreamSource source = set_->sources[i];
    source.cursor = [read = source.cursor, origin = set_->window.eventStart](uint32_t key) {
      return std::unique_ptr<StreamCursor>(std::make_unique<FromOrigin>(read(key), origin));
    };
    table.rows = std::make_unique<TableRows>(source, table.layout, 0);
  }
  if (nextRows(*table.rows, table.piece, table.columns, 0.0, maxRows, chunk)) return true;
  // The slips of the streams left out, counted as their cut is read.
  for (const uint32_t key : table.leftOut) {
    const std::unique_ptr<StreamCursor> cursor = set_->sources[i].cursor(key);
    for (SampleStream ignored; cursor->read(ignored, kDefaultChunkSamples) > 0;) {
    }
  }
  table.leftOut.clear();
  return false;
}

LoadedSet loadRecordingSet(const std::vector<std::string>& paths, const ConversionOptions& options,
                           const LoadWindow& window) {
  LoadedSet loaded;
  if (paths.empty()) return loaded;
  const std::unique_ptr<StreamedSet> set = openStreamedSet(paths, options, CsvStyle::Plain);
  if (set->outcome.failure == SetFailure::None) {
    loaded.timeBase = set->timeBase;
    loaded.resampled = options.resample;
    loaded.qualities = set->qualities;
    for (size_t i = 0; i < paths.size(); ++i) {
      Recording& recording = loaded.recordings.emplace_back();
      recording.settings = set->recordings[i].settings;
      keepWindow(set->sources[i], set->recordings[i].streams, set->window.eventStart, window,
                 set->readers[i]->chunkSamples(), recording);
    }
  }
  // The slips are counted as the cuts are read.
  loaded.outcome = set->outcome;
  return loaded;
}

std::vector<LoadedStream> loadedStreams(Recording& recording, double resampled) {
  const DeviceSettings& settings = recording.settings;
  const TableLayout table = tableLayout(settings, recording.streams);
  const TableColumn* columns[] = {&table.accel, &table.gyro, &table.baro, &table.event, &table.quaternion};
  std::vector<LoadedStream> loaded;
  const std::vector<StreamLayout>& layouts = streamLayouts();
  for (size_t i = 0; i < layouts.size(); ++i) {
    if (!columns[i]->stream) continue;
    // Events come when they come: no rate.
    int32_t rate = layouts[i].key == kEventKey ? 0 : rateOf(settings, layouts[i].key);
    if (resampled > 0 && rate) rate = static_cast<int32_t>(std::lround(resampled));
    // The table reads the streams; a host may take their arrays.
    loaded.push_back({&layouts[i], const_cast<SampleStream*>(columns[i]->stream), rate});
  }
  return loaded;
}

}  // namespace kinovar
