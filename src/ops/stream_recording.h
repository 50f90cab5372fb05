// A recording as the writers read it in bounded memory: the reader's
// streams, and the quaternions estimated as they are read.
#pragma once

#include <cstdint>

#include "export/csv.h"
#include "ops/options.h"
#include "reader/stream_reader.h"

namespace kinovar {

class RecordingStreams {
 public:
  // The reader must outlive this, and the sources it hands out. `ahead`:
  // estimates are made on a thread of their own (there is a core to spare).
  RecordingStreams(const RecordingReader& reader, const ConversionOptions& options, bool ahead = false);
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
};

}  // namespace kinovar
