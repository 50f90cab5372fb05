// Multi-sensor synchronisation: one time base and one time window for a set
// of recordings made together.
#pragma once

#include <vector>

#include "reader/recording.h"
#include "sync/window.h"

namespace kinovar {

// Aligns the set and cuts every recording to the common window, in place.
// False on any failure (a line on stderr says which); the set is then as it was.
bool syncRecordings(std::vector<Recording>& set);

// The same in two steps, for a caller that works on each recording between
// them. alignRecordings puts the set on one time base: each map keeps the
// streams that every recording has with samples and a rate (accelerometer,
// gyroscope, barometer, quaternion), shifted onto the common clock, and its
// event stream as it is; every other stream is dropped. It plans the window.
// cutToWindow then cuts recording i. In between, sample values may be
// written, but counts and times must stay as they are.
bool alignRecordings(std::vector<Recording>& set, WindowPlan& plan);
void cutToWindow(const WindowPlan& plan, size_t i, Recording& recording);

}  // namespace kinovar
