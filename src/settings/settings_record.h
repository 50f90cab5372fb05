// The settings record format: a run of "Q7" records found in settings files
// and in block 0 of every recording.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

// Whether a file's first bytes hold a record's start, the bytes a short
// file lacks read as zeros (which start no record).
bool holdsSettingsRecord(std::span<const uint8_t> head);

// One whole record of a block, as the walk finds it.
struct SettingsRecordSpan {
  size_t start = 0;
  int type = 0;
  int subtype = 0;
  int length = 0;  // of the payload: the record takes length + 7 bytes
  bool recognised = true;
};

// Walks a 512-byte block from its first record until a position without the
// magic or a record that would run past the block, decoding each record into
// `settings` and handing it to `visit`. Returns the offset after the last
// record read, or -1 when the block has none.
int walkSettingsBlock(DeviceSettings& settings, const uint8_t* block,
                      const std::function<void(const SettingsRecordSpan&)>& visit);

// Walks a 512-byte block from its first record. False when it has none.
bool decodeSettingsBlock(DeviceSettings& settings, const uint8_t* block);

// Walks a settings file's first 512 bytes (missing bytes read as zeros).
// False when they hold no record.
bool decodeSettingsFile(DeviceSettings& settings, std::span<const uint8_t> bytes);

}  // namespace kinovar
