#include "export/csv.h"

namespace kinovar {

bool exportCsv(const char*, const DeviceSettings&, const StreamMap&) { return false; }

}  // namespace kinovar
