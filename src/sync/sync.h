// Multi-sensor synchronisation: one time base and one time window for a set
// of recordings made together.
#pragma once

#include <functional>
#include <vector>

#include "model/recording.h"
#include "sync/report.h"
#include "sync/window.h"

namespace kinovar {

// How the streams go onto the common clock. Offset: one offset per
// recording, the classic rows. Drift: each recording's clock model (where
// the data give a rate; else as Offset), the rows on one grid. DriftTimes:
// the models' times cut as Offset cuts them, for a resampler to interpolate.
enum class ClockAlignment { Offset, Drift, DriftTimes };

// Aligns the set and cuts every recording to the common window, in place.
// False on any failure; the set is then as it was. The report, when given,
// says why (and, on success, what was done); the stage prints nothing.
bool syncRecordings(std::vector<Recording>& set, SyncReport* report = nullptr,
                    ClockAlignment how = ClockAlignment::Offset);

// The same in two steps, for a caller that works on each recording between
// them. alignRecordings puts the set on one time base: each map keeps the
// streams that every recording has with samples and a rate (accelerometer,
// gyroscope, barometer, quaternion) and its event stream, shifted onto the
// common clock; every other stream is dropped. It plans the window.
// cutToWindow then cuts recording i. In between, sample values may be
// written, but counts and times must stay as they are. A report given to
// both is filled in as syncRecordings fills it.
//
// A stream may also stand in the map by its count alone (no samples): then
// `streamed(i, key, j)` gives the own time of its sample j, and the caller
// reads its samples later onto the common clock as onCommonClock says.
using OwnTime = std::function<double(size_t recording, uint32_t key, uint64_t j)>;
bool alignRecordings(std::vector<Recording>& set, WindowPlan& plan, SyncReport* report = nullptr,
                     ClockAlignment how = ClockAlignment::Offset, const OwnTime& streamed = {});

// An own time on the common clock, as the alignment placed recording i:
// by its offset alone, or by its clock model when the set is aligned by drift.
inline double onCommonClock(double t, double offset, double rate) {
  return rate != 1.0 ? offset + rate * t : offset != 0.0 ? t + offset : t;
}
inline double placedRate(const SyncReport& report, size_t i) { return report.drift ? report.clocks[i].rate : 1.0; }
void cutToWindow(const WindowPlan& plan, size_t i, Recording& recording, SyncReport* report = nullptr);

}  // namespace kinovar
