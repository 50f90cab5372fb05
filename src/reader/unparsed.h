// Why a file did not parse as a recording, told apart for the user.
#pragma once

namespace kinovar {

enum class Unparsed {
  None,           // it parses, or the reason could not be found again
  Missing,        // cannot be opened or read: systemError says why (ENOENT, EACCES, EISDIR)
  NotARecording,  // no settings block at its start
  CutShort,       // a settings block, but less than one whole block, or a block that cannot be read
};

// Looks at the file again after parseRecordingFile said false.
Unparsed whyUnparsed(const char* utf8Path, int* systemError);

}  // namespace kinovar
