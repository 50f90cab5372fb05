#include "orientation/orientation.h"

namespace kinovar {

// Not yet built: no recording gains a quaternion stream.
bool estimateOrientation(const DeviceSettings&, StreamMap&) { return false; }

}  // namespace kinovar
