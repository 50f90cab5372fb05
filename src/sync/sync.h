// Multi-sensor synchronisation: one time base and one time window for a set
// of recordings made together.
#pragma once

#include <string>
#include <vector>

#include "reader/recording.h"
#include "sync/window.h"

namespace kinovar {

// Builds one aligned and cut map per recording into `output`; the inputs are
// never written. False on any failure (a line on stderr says which).
bool syncRecordings(std::vector<StreamMap>& output, const std::vector<DeviceSettings>& settings,
                    const std::vector<StreamMap>& streams);
// The same in two steps for a caller that needs only the output afterwards
// and fills sample values in between (counts and times must stay as they
// are): alignRecordings takes the aligned streams out of `streams` instead of
// copying them and plans the window; cutAligned then cuts recording i and
// adds its events from `input` (streams[i]).
struct AlignedSet {
  std::vector<std::vector<WorkingStream>> working;
  WindowPlan window;
};
bool alignRecordings(std::vector<StreamMap>& output, const std::vector<DeviceSettings>& settings,
                     std::vector<StreamMap>& streams, AlignedSet& set);
void cutAligned(AlignedSet& set, size_t i, const StreamMap& input, StreamMap& output);

}  // namespace kinovar
