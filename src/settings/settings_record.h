// The settings record format: a run of "Q7" records found in settings files
// and in block 0 of every recording.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "model/recording.h"

namespace kinovar {

inline constexpr size_t kSettingsBlockSize = 512;

// Decodes the record at `record`, of which `available` bytes lie inside the
// block. Returns -1 when there is no magic there or when the record's declared
// length runs past the block (it is then not read); otherwise L + 7.
// `recognised` must be true on entry; it is set false for an unknown record.
int decodeSettingsRecord(DeviceSettings& settings, bool& recognised, const uint8_t* record,
                         size_t available);

// Where the first record magic of a 512-byte block starts, or -1 when none
// starts in bytes 0..507 (later, no whole record header would fit).
int firstSettingsRecord(const uint8_t* block);

// Walks a 512-byte block from its first record. False when it has none.
bool decodeSettingsBlock(DeviceSettings& settings, const uint8_t* block);

// Walks a settings file's first 512 bytes (missing bytes read as zeros).
// False when they hold no record.
bool decodeSettingsFile(DeviceSettings& settings, std::span<const uint8_t> bytes);

}  // namespace kinovar
