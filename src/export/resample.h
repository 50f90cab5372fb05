// Resampling onto a uniform grid, for the tables beyond the classic CSV and
// load(): the accelerometer, gyroscope, barometer and quaternion streams.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <memory>

#include "model/recording.h"
#include "reader/stream_reader.h"

namespace kinovar {

// Each stream gets the grid points origin + k / hz (k whole) that lie within
// its samples and not inside a gap (more than two of its periods between
// neighbouring samples): values linearly interpolated, quaternions by slerp
// (none where either neighbour has no estimate). A stream resampled to a
// lower rate than its own is first low-passed: a second-order Butterworth at
// 0.4 x hz, run forwards and backwards (no phase shift), gap by gap. Events
// keep their own times. Streams the grid points of one origin and rate give
// the same times to the bit, so the tables' rows of a set line up.
// How a resampled set's report names the grid and the method above.
inline constexpr const char* kResampleGrid = "window.start + k / rate";
inline constexpr const char* kResampleMethod =
    "linear interpolation, quaternions by slerp; to a lower rate after a zero-phase second-order Butterworth "
    "low-pass at 0.4 x rate; no value across a gap of more than two source periods";

void resampleStreams(const DeviceSettings& settings, StreamMap& streams, double hz, double origin);

// The streams a table resamples, each with the rate it was sampled at (the
// quaternions are estimated at the gyroscope's).
struct ResampledSource {
  uint32_t key;
  int32_t rate;
};
std::array<ResampledSource, 4> resampledSources(const DeviceSettings& settings);

// One stream resampled the same way while it is read in pieces: `open`
// gives cursors over its own samples (twice when it is low-passed, whose
// values then wait in a temporary file), `count` of them, the first and
// last at those times.
struct ResampledStream {
  uint64_t channels = 0, count = 0;
  double first = 0, last = 0;
  int32_t rate = 0;
  double hz = 0, origin = 0;
  bool quaternion = false;
  uint64_t piece = kDefaultChunkSamples;
};
std::unique_ptr<StreamCursor> resampledCursor(const std::function<std::unique_ptr<StreamCursor>()>& open,
                                              const ResampledStream& stream);

// A table's resampled streams. Each is read ahead by a piece when added,
// since whether it keeps a point at all decides the table's columns; its
// first cursor hands that piece on. `open` gives a stream as it was taken.
class ResampledTable {
 public:
  using Open = std::function<std::unique_ptr<StreamCursor>(uint32_t key)>;
  explicit ResampledTable(Open open) : open_(std::move(open)) {}
  // The count of points the stream's shape takes: none where it keeps none.
  uint64_t add(uint32_t key, const ResampledStream& stream);
  // The stream resampled where it was added, as taken where not.
  std::unique_ptr<StreamCursor> cursor(uint32_t key);

 private:
  Open open_;
  std::map<uint32_t, ResampledStream> streams_;
  std::map<uint32_t, std::unique_ptr<StreamCursor>> peeked_;
};

}  // namespace kinovar
