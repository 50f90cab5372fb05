#include "sync/sync.h"

namespace kinovar {

// Not yet built: every set fails to parse.
std::string readAndSync(const std::vector<std::string>& paths, const std::string&) {
  return paths.empty() ? "OK" : "-10";
}

bool syncRecordings(std::vector<StreamMap>&, const std::vector<DeviceSettings>&,
                    const std::vector<StreamMap>&) {
  return false;
}

}  // namespace kinovar
