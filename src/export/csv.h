// CSV export of one recording on its clock's time axis.
#pragma once

#include "reader/recording.h"

namespace kinovar {

// True when the file was opened and completely written and closed.
bool exportCsv(const char* utf8Path, const DeviceSettings& settings, const StreamMap& streams);

}  // namespace kinovar
