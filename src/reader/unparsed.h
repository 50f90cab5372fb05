// Why a recording's bytes did not parse, told apart for the user.
#pragma once

#include <cstdint>
#include <span>

namespace kinovar {

enum class Unparsed {
  None,           // it parses
  Missing,        // cannot be opened or read: the system's error says why (ENOENT, EACCES, EISDIR)
  NotARecording,  // no settings block at its start
  CutShort,       // a settings block, but less than one whole block, or a block that cannot be read
};

// Why bytes that parseRecording refused are no recording: NotARecording or CutShort.
Unparsed whyUnparsed(std::span<const uint8_t> bytes);

}  // namespace kinovar
