// The straightforward CSV writer: every cell through fprintf("%.*f") into a
// FILE*. The fast exporter must match it byte for byte; the benchmark times
// it as its baseline.
#pragma once

#include "model/recording.h"

namespace kinovar::reference {

bool exportCsv(const char* path, const DeviceSettings& settings, const StreamMap& streams);

}  // namespace kinovar::reference
