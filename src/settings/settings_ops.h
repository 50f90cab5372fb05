// The three settings operations behind readConfig, readConfigDeviceId and
// writeConfig.
#pragma once

#include <string>

namespace kinovar {

// The settings file as JSON, or "" when it cannot be read or holds no record.
std::string readConfig(const char* utf8Path);

// {"deviceId":N}, or "" on the same failures as readConfig.
std::string readConfigDeviceId(const char* utf8Path);

// Builds the settings file from the settings text; false on failure.
bool writeConfig(const char* utf8Path, const char* settingsText);

}  // namespace kinovar
