// Path conversion and file opening shared by every operation.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace kinovar {

// Decodes a NUL-terminated UTF-8 path. Throws std::range_error("bad conversion")
// on malformed input. On Windows the result is UTF-16 (code points from
// U+10000 become surrogate pairs); elsewhere one wchar_t per code point.
std::wstring utf8ToWide(const char* utf8);

// The file name of path without its folder and its last extension.
std::string fileStem(const std::string& path);

enum class OpenMode {
  ReadBinary,   // recordings and settings files
  WriteText,    // the CSV export: created, or emptied if it exists
  WriteBinary,  // settings files: created, or emptied if it exists
};

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens a file by UTF-8 path, letting other processes read and write it.
// Null when the file cannot be opened or the path is not well-formed UTF-8.
FilePtr openFile(const char* utf8Path, OpenMode mode);

// True when both UTF-8 paths name one existing file (through links or
// other spellings too): writing one would destroy the other.
bool sameFile(const char* utf8PathA, const char* utf8PathB);

// Closes the file; false when the close reported an error (for writers:
// data that may not have reached the disk).
bool closeFile(FilePtr& file);

}  // namespace kinovar
