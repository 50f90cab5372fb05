// Resampling onto a uniform grid, for the tables beyond the classic CSV and
// load(): the accelerometer, gyroscope, barometer and quaternion streams.
#pragma once

#include "reader/recording.h"

namespace kinovar {

// Each stream gets the grid points origin + k / hz (k whole) that lie within
// its samples and not inside a gap (more than two of its periods between
// neighbouring samples): values linearly interpolated, quaternions by slerp
// (none where either neighbour has no estimate). A stream resampled to a
// lower rate than its own is first low-passed: a second-order Butterworth at
// 0.4 x hz, run forwards and backwards (no phase shift), gap by gap. Events
// keep their own times. Streams the grid points of one origin and rate give
// the same times to the bit, so the tables' rows of a set line up.
void resampleStreams(const DeviceSettings& settings, StreamMap& streams, double hz, double origin);

}  // namespace kinovar
