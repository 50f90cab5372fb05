// Path conversion and file opening shared by every operation.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace kinovar {

// Decodes a NUL-terminated UTF-8 path. Throws std::range_error("bad conversion")
// on malformed input. On Windows the result is UTF-16 (code points from
// U+10000 become surrogate pairs); elsewhere one wchar_t per code point.
std::wstring utf8ToWide(const char* utf8);

// The file name of path without its folder and its last extension.
std::string fileStem(const std::string& path);

// The paths joined and made plain, as Node's path.join does: no ".", no
// doubled separators, ".." taking the name before it; Windows' separator
// and roots ("C:", "\\\\server\\share") on Windows. "." for nothing.
std::string joinPaths(std::string_view root, std::string_view rest);

// The last name of a path: what follows its last separator.
std::string fileName(const std::string& path);

// A UTF-8 path as the file system library takes it, and back.
std::filesystem::path filePath(std::string_view utf8Path);
std::string utf8Of(const std::filesystem::path& path);

// Where `to` lies seen from the folder `from`, as Node's path.relative
// gives it: both resolved against the working folder and made plain (no
// ".", "..", doubled or trailing separators), then "../" as far as needed
// and the rest of `to`; "" when they are one. Windows: names compared in
// either case, and `to` resolved when the two stand on different drives.
std::string relativePath(const std::string& from, const std::string& to);

// The name under which a case-insensitive file system (Windows; macOS by
// default) files a name: each code point becomes the lower case of its upper
// case, so that Émilie, ÉMILIE and émilie meet. Malformed bytes stay as they are.
std::string caseFoldKey(const std::string& utf8);

// The name under which this system's file system files an output path:
// caseFoldKey's where names fold (Windows; macOS by default), the path as
// it is elsewhere. Two outputs with one key would be one file.
std::string outputNameKey(const std::string& utf8Path);

// True when Windows opens a device, not a file, under the path's file name:
// CON, PRN, AUX, NUL, COM0-9, LPT0-9 (also with ¹²³) and CONIN$, CONOUT$,
// in any case, before the name's first dot and trailing blanks. Writes to
// such a "file" vanish.
bool reservedDeviceName(const std::string& path);

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
// Null when the file cannot be opened or the path is not well-formed UTF-8,
// and on Windows for writing to a reserved device name.
FilePtr openFile(const char* utf8Path, OpenMode mode);

// Creates a file that must not exist yet, for writing (text or binary as
// `mode` says); null (errno EEXIST) when it does. Windows' C runtime ignores
// fopen's "x", so this goes through the exclusive create of the system itself.
FilePtr createNewFile(const char* utf8Path, OpenMode mode = OpenMode::WriteBinary);

// True when both UTF-8 paths name one existing file (through links or
// other spellings too): writing one would destroy the other.
bool sameFile(const char* utf8PathA, const char* utf8PathB);

// Closes the file; false when the close reported an error (for writers:
// data that may not have reached the disk).
bool closeFile(FilePtr& file);

}  // namespace kinovar
