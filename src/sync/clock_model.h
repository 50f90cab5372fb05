// Measures a recording's clock against the set's common clock (ClockModel)
// from what the recording carries.
#pragma once

#include <cstdint>
#include <vector>

#include "model/recording.h"
#include "sync/report.h"

namespace kinovar {

// From the two time marks: the rate from the reference seconds between them
// against the ticks between them, the reference's one-byte seconds counted
// over their turns from those ticks. Common time is the reference's.
ClockModel timeMarksClock(const DeviceSettings& settings);

// From a slave's radio stream (own time, master time in seconds of its
// clock): a robust line through all pairs, master counter wraps undone.
ClockModel radioStreamClock(const SampleStream& radio, int32_t clock);

// From the radio settings' two words: offset only.
ClockModel radioSettingsClock(const DeviceSettings& slave);

}  // namespace kinovar
