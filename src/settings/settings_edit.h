// Settings records edited in place, and the settings text of a new file.
// An edit changes exactly the fields it names, in the record that holds
// each of them and in that record's own form (a type-3 accelerometer stays
// type 3, with its range code); every other byte stays as it was, unknown
// records and their order included.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "io/json_reader.h"

namespace kinovar {

// How a host reports a refusal: as its type error, its range error, or its
// range error with the settings-value code.
enum class SettingsRefusal { None, Type, Range, Value };

struct SettingsProblem {
  SettingsRefusal kind = SettingsRefusal::None;
  std::string message;
};

// One field to set by its flat name ("deviceId", "accel.gainX"); a null
// value is one the host left undefined.
struct SettingChange {
  std::string name;
  const JsonValue* value = nullptr;
};

// The block (a file's first bytes, at most 512 kept) with each field
// changed in the record that holds it; a field no record holds gets a new
// record of the native writer's form. False with the problem naming the
// field and the values it may take.
bool editSettingsRecords(std::span<const uint8_t> bytes, const std::vector<SettingChange>& changes,
                         std::vector<uint8_t>& out, SettingsProblem& problem);

// The settings text of writeConfig for a document shaped as readConfig's
// (an object). A sensor the one-byte records cannot hold goes as the newer
// record the device writes, in an unknownFrames entry; a value neither form
// holds is refused rather than cut to its low byte. The members writeConfig
// cannot write (gps, the dates, the clock frequency, measureId) are left out.
bool settingsTextOf(const JsonValue& config, std::string& text, SettingsProblem& problem);

// The flat names an edit may change, and the members of a sensor.
std::vector<std::string> settingsKeys();
std::vector<std::string> sensorFields();

}  // namespace kinovar
