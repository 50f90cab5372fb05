#include "settings/settings_ops.h"

namespace kinovar {

// Not yet built: every call answers with its failure result.
std::string readConfig(const char*) { return ""; }
std::string readConfigDeviceId(const char*) { return ""; }
bool writeConfig(const char*, const char*) { return false; }

}  // namespace kinovar
