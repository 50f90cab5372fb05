// Orientation stage: adds the quaternion stream (key 10) to a parsed recording.
#pragma once

#include "reader/recording.h"

namespace kinovar {

// True when the quaternion stream was added; on false the map is unchanged.
bool estimateOrientation(const DeviceSettings& settings, StreamMap& streams);

}  // namespace kinovar
