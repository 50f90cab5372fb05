// The straightforward CSV writer: every cell through snprintf("%.*f") into a
// FILE*. Kept as the reference that the fast exporter must match byte for
// byte, and as the baseline of the benchmark.
#pragma once

#include "reader/recording.h"

namespace kinovar::baseline {

bool exportCsv(const char* path, const DeviceSettings& settings, const StreamMap& streams);

}  // namespace kinovar::baseline
