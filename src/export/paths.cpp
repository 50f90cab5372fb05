#include "export/paths.h"

#include <cstring>
#include <filesystem>
#include <string_view>
#include <stdexcept>

#ifdef _WIN32
#include <share.h>
#endif

namespace kinovar {

std::wstring utf8ToWide(const char* utf8) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(utf8);
  const size_t length = std::strlen(utf8);
  std::wstring wide;
  wide.reserve(length);
  size_t i = 0;
  while (i < length) {
    const unsigned char lead = bytes[i++];
    uint32_t value;
    int continuations;
    if (lead < 0x80) {
      value = lead;
      continuations = 0;
    } else if (lead < 0xC0) {
      throw std::range_error("bad conversion");
    } else if (lead < 0xE0) {
      value = lead & 0x1F;
      continuations = 1;
    } else if (lead < 0xF0) {
      value = lead & 0x0F;
      continuations = 2;
    } else if (lead < 0xF8) {
      value = lead & 0x07;
      continuations = 3;
    } else if (lead < 0xFC) {
      value = lead & 0x03;
      continuations = 4;
    } else {
      value = lead & 0x03;
      continuations = 5;
    }
    if (length - i < static_cast<size_t>(continuations)) throw std::range_error("bad conversion");
    for (int c = 0; c < continuations; ++c) {
      const unsigned char next = bytes[i++];
      if (next < 0x80 || next > 0xBF) throw std::range_error("bad conversion");
      // Five continuations can exceed 32 bits; anything past 0x10FFFF fails anyway.
      if (value > 0x10FFFF) throw std::range_error("bad conversion");
      value = value * 64 + (next & 0x3F);
    }
    if (value > 0x10FFFF) throw std::range_error("bad conversion");
#ifdef _WIN32
    if (value >= 0x10000) {
      value -= 0x10000;
      wide.push_back(static_cast<wchar_t>(0xD800 + (value >> 10)));
      wide.push_back(static_cast<wchar_t>(0xDC00 + (value & 0x3FF)));
      continue;
    }
#endif
    wide.push_back(static_cast<wchar_t>(value));
  }
  return wide;
}

std::string fileStem(const std::string& path) {
  const size_t separator = path.find_last_of("\\/");
  const std::string name = separator == std::string::npos ? path : path.substr(separator + 1);
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

FilePtr openFile(const char* utf8Path, OpenMode mode) {
  std::wstring wide;
  try {
    wide = utf8ToWide(utf8Path);
  } catch (const std::range_error&) {
    return nullptr;  // a path that cannot be named is a file that cannot be opened
  }
#ifdef _WIN32
  const wchar_t* wmode = mode == OpenMode::ReadBinary ? L"rb" : mode == OpenMode::WriteText ? L"w" : L"wb";
  return FilePtr(_wfsopen(wide.c_str(), wmode, _SH_DENYNO));
#else
  const char* cmode = mode == OpenMode::ReadBinary ? "rb" : mode == OpenMode::WriteText ? "w" : "wb";
  return FilePtr(std::fopen(utf8Path, cmode));
#endif
}

namespace {

std::filesystem::path toPath(const char* utf8Path) {
  std::string_view bytes(utf8Path);
  return std::filesystem::path(std::u8string(bytes.begin(), bytes.end()));
}

}  // namespace

bool sameFile(const char* utf8PathA, const char* utf8PathB) {
  try {
    std::error_code error;
    return std::filesystem::equivalent(toPath(utf8PathA), toPath(utf8PathB), error) && !error;
  } catch (const std::exception&) {
    return false;  // a path that cannot be named names no file
  }
}

bool closeFile(FilePtr& file) {
  if (!file) return true;
  const int result = std::fclose(file.release());
  return result == 0;
}

}  // namespace kinovar
