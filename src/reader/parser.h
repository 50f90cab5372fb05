// Recording files: 512-byte blocks of 63 eight-byte tagged frames after a
// big-endian base tick; block 0 also holds the settings records.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>

#include "model/recording.h"

namespace kinovar {

// What the parser saw of one stream's frames. Streams whose ticks rise
// strictly have only `frames`; the others are sorted by tick, and only the
// first frame (in file order) of every tick is kept.
struct StreamParseStats {
  uint64_t frames = 0;      // frames of the stream in the file
  uint64_t duplicates = 0;  // frames dropped because an earlier frame had their tick
  uint64_t backwards = 0;   // frames whose tick is below that of the stream's frame before
};

// What the parser saw of the whole file, filled in the same pass that
// decodes it.
struct ParseStats {
  std::array<uint8_t, 512> settingsBlock{};  // block 0 as read
  std::map<uint32_t, StreamParseStats> streams;  // by stream key, for every stream built
  uint64_t blocks = 0;           // whole 512-byte blocks, block 0 included
  uint64_t tailBytes = 0;        // bytes after the last whole block, never read
  uint64_t blocksBackwards = 0;  // data blocks whose base tick is below the block before's
  // Data blocks whose base tick lies far off both neighbours' (a flipped
  // bit): left out of the unwrapped reading, kept by the signed one.
  uint64_t corruptBlocks = 0;
  // Frames whose true tick lies outside the signed 32-bit range, where the
  // signed reading puts them 2^32 ticks away, and the true tick of the first.
  uint64_t framesPastSigned = 0;
  int64_t firstPastSigned = 0;
};

// Decodes a recording's bytes into default settings and an empty map. True
// when the settings block was found; every whole block is read. Files are
// read by the operations (ops/recording_file.h), never here.
bool parseRecording(DeviceSettings& settings, StreamMap& streams, std::span<const uint8_t> bytes,
                    ParseStats* stats = nullptr);

}  // namespace kinovar
