// Multi-sensor synchronisation: one time base and one time window for a set
// of recordings made together.
#pragma once

#include <string>
#include <vector>

#include "reader/recording.h"

namespace kinovar {

// The readAndSync2 operation: "OK", "-10", "-13", "-11" or "-12".
std::string readAndSync(const std::vector<std::string>& utf8Paths, const std::string& utf8Folder);

// Builds one aligned and cut map per recording into `output`; the inputs are
// never written. False on any failure (a line on stderr says which).
bool syncRecordings(std::vector<StreamMap>& output, const std::vector<DeviceSettings>& settings,
                    const std::vector<StreamMap>& streams);
// The same, taking the aligned streams out of `streams` instead of copying
// them: for a caller that needs only the output afterwards.
bool syncRecordings(std::vector<StreamMap>& output, const std::vector<DeviceSettings>& settings,
                    std::vector<StreamMap>&& streams);

}  // namespace kinovar
