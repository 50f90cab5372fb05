// A recording as the writers read it in bounded memory: the reader's
// streams, and the quaternions estimated as they are read.
#pragma once

#include <cstdint>
#include <memory>

#include "export/csv.h"
#include "export/resample.h"
#include "ops/options.h"
#include "reader/stream_reader.h"

namespace kinovar {

class RecordingStreams {
 public:
  // The reader must outlive this, and the sources it hands out. `ahead`:
  // estimates are made on a thread of their own (there is a core to spare).
  // `resampled`: the sensors and quaternions on options.resample's grid
  // from origin() (export/resample.h), when it asks for one.
  RecordingStreams(const RecordingReader& reader, const ConversionOptions& options, bool ahead = false,
                   bool resampled = false);
  ~RecordingStreams();
  // The time of the table's first sample, as taken, which its time counts from.
  double origin() const { return origin_; }
  // Channels and counts of every stream, the quaternions' included.
  const StreamMap& shapes() const { return shapes_; }
  bool oriented() const { return quaternions_ > 0; }
  // Cursors over every stream, a piece of options.chunkSamples at a time.
  StreamSource source() const;

 private:
  const RecordingReader& reader_;
  Estimator estimator_;
  uint64_t chunkSamples_;
  bool ahead_;
  StreamMap shapes_;
  uint64_t quaternions_ = 0;
  double origin_ = 0.0;
  std::unique_ptr<StreamCursor> cursorOf(uint32_t key) const;
  std::unique_ptr<StreamCursor> ownCursor(uint32_t key) const;
  std::unique_ptr<ResampledTable> resampled_;  // none when not resampled
};

// `inner` read on a thread of its own, a few pieces of `piece` samples ahead
// of the caller, so that decoding runs beside whatever the caller does.
std::unique_ptr<StreamCursor> aheadCursor(std::unique_ptr<StreamCursor> inner, uint64_t piece);

}  // namespace kinovar
