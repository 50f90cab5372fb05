#include "io/paths.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string_view>
#include <vector>
#include <stdexcept>

#include "io/case_fold_table.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <unistd.h>
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

namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
constexpr std::string_view kSeparators = "\\/";
bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}
// "C:" of "C:\\x", "\\\\server\\share" of a UNC path, "" for a path of the current drive.
std::string rootOf(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':') return std::string(path.substr(0, 2));
  if (path.size() >= 2 && kSeparators.find(path[0]) != std::string_view::npos && path[0] == path[1]) {
    const size_t server = path.find_first_of(kSeparators, 2);
    const size_t share = server == std::string_view::npos ? server : path.find_first_of(kSeparators, server + 1);
    return std::string(path.substr(0, share));
  }
  return "";
}
#else
constexpr char kSeparator = '/';
constexpr std::string_view kSeparators = "/";
bool sameName(std::string_view a, std::string_view b) { return a == b; }
std::string rootOf(std::string_view) { return ""; }
#endif

std::string workingFolder() {
  std::error_code error;
  return utf8Of(std::filesystem::current_path(error));
}

// A path resolved against the working folder: its root and its names.
struct Resolved {
  std::string root;
  std::vector<std::string_view> names;
};

// The names of `path` added to `names`, made plain: no "." or empty
// names, ".." taking the name before it; above the start a relative path
// (`relative`) keeps its "..", a rooted one has nothing.
void addNames(std::string_view path, std::vector<std::string_view>& names, bool relative = false) {
  for (size_t at = 0; at <= path.size();) {
    size_t end = path.find_first_of(kSeparators, at);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view name = path.substr(at, end - at);
    if (name == ".." && (names.empty() || names.back() == "..")) {
      if (relative) names.push_back(name);
    } else if (name == "..") {
      names.pop_back();
    } else if (!name.empty() && name != ".") {
      names.push_back(name);
    }
    at = end + 1;
  }
}

Resolved resolve(const std::string& path, const std::string& cwd) {
  Resolved out;
  std::string_view rest = path;
  out.root = rootOf(rest);
  rest.remove_prefix(out.root.size());
  const bool absolute = !rest.empty() && kSeparators.find(rest[0]) != std::string_view::npos;
  // A relative path (or one of this drive without its letter) stands in the working folder.
  if (!absolute || out.root.empty()) {
    std::string_view base = cwd;
    const std::string cwdRoot = rootOf(base);
    if (out.root.empty() || sameName(out.root, cwdRoot)) {
      base.remove_prefix(cwdRoot.size());
      if (out.root.empty()) out.root = cwdRoot;
      if (!absolute) addNames(base, out.names);
    }
  }
  addNames(rest, out.names);
  return out;
}

}  // namespace

std::string fileName(const std::string& path) {
  const size_t separator = path.find_last_of(kSeparators);
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::filesystem::path filePath(std::string_view utf8Path) {
  return std::filesystem::path(std::u8string(utf8Path.begin(), utf8Path.end()));
}

std::string utf8Of(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::string joinPaths(std::string_view root, std::string_view rest) {
  std::string whole(root);
  if (!whole.empty() && !rest.empty() && kSeparators.find(whole.back()) == std::string_view::npos) whole += kSeparator;
  whole += rest;
  std::string_view path = whole;
  std::string out = rootOf(path);
  path.remove_prefix(out.size());
  const bool absolute = !path.empty() && kSeparators.find(path[0]) != std::string_view::npos;
  std::vector<std::string_view> names;
  addNames(path, names, !absolute);
  if (absolute) out += kSeparator;
  for (size_t i = 0; i < names.size(); ++i) out.append(i ? std::string(1, kSeparator) : "").append(names[i]);
  return out.empty() ? "." : out;
}

std::string relativePath(const std::string& from, const std::string& to) {
  const std::string cwd = workingFolder();
  const Resolved a = resolve(from, cwd), b = resolve(to, cwd);
  std::string out;
  if (!sameName(a.root, b.root)) {
    out = b.root;
    for (const std::string_view name : b.names) out.append(1, kSeparator).append(name);
    return out.empty() ? std::string(1, kSeparator) : out;
  }
  size_t common = 0;
  while (common < a.names.size() && common < b.names.size() && sameName(a.names[common], b.names[common])) ++common;
  for (size_t i = common; i < a.names.size(); ++i) out.append(out.empty() ? "" : std::string(1, kSeparator)).append("..");
  for (size_t i = common; i < b.names.size(); ++i) out.append(out.empty() ? "" : std::string(1, kSeparator)).append(b.names[i]);
  return out;
}

namespace {

uint32_t foldCodePoint(uint32_t cp) {
  const auto* runs = casefold::kRuns;
  const auto* end = runs + std::size(casefold::kRuns);
  const auto* run = std::upper_bound(runs, end, cp, [](uint32_t c, const casefold::Run& r) { return c < r.first; });
  if (run == runs) return cp;
  --run;
  if (cp > run->last || (cp - run->first) % run->stride != 0) return cp;
  return static_cast<uint32_t>(static_cast<int32_t>(cp) + run->delta);
}

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string outputNameKey(const std::string& utf8Path) {
#if defined(_WIN32) || defined(__APPLE__)
  return caseFoldKey(utf8Path);
#else
  return utf8Path;
#endif
}

std::string caseFoldKey(const std::string& utf8) {
  std::string key;
  key.reserve(utf8.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.data());
  const size_t n = utf8.size();
  for (size_t i = 0; i < n;) {
    const unsigned char lead = bytes[i];
    const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    bool wellFormed = length != 0 && i + length <= n;
    uint32_t cp = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; wellFormed && k < length; ++k) {
      wellFormed = (bytes[i + k] & 0xC0) == 0x80;
      cp = cp << 6 | (bytes[i + k] & 0x3F);
    }
    if (!wellFormed) {
      key += static_cast<char>(lead);
      ++i;
      continue;
    }
    appendUtf8(key, foldCodePoint(cp));
    i += length;
  }
  return key;
}

bool reservedDeviceName(const std::string& path) {
  const size_t separator = path.find_last_of("\\/");
  std::string name = path.substr(separator == std::string::npos ? 0 : separator + 1);
  name = name.substr(0, name.find('.'));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name == "CON" || name == "PRN" || name == "AUX" || name == "NUL" || name == "CONIN$" || name == "CONOUT$") return true;
  if (name.size() < 4 || (name.compare(0, 3, "COM") != 0 && name.compare(0, 3, "LPT") != 0)) return false;
  const std::string digit = name.substr(3);
  return (digit.size() == 1 && std::isdigit(static_cast<unsigned char>(digit[0]))) ||
         digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

FilePtr openFile(const char* utf8Path, OpenMode mode) {
  std::wstring wide;
  try {
    wide = utf8ToWide(utf8Path);
  } catch (const std::range_error&) {
    return nullptr;  // a path that cannot be named is a file that cannot be opened
  }
#ifdef _WIN32
  if (mode != OpenMode::ReadBinary && reservedDeviceName(utf8Path)) {
    errno = EINVAL;
    return nullptr;
  }
  const wchar_t* wmode = mode == OpenMode::ReadBinary ? L"rb" : mode == OpenMode::WriteText ? L"w" : L"wb";
  FilePtr file(_wfsopen(wide.c_str(), wmode, _SH_DENYNO));
  // Windows answers EACCES for a folder; say what it is, as POSIX does.
  struct _stat64 info {};
  if (!file && errno == EACCES && _wstat64(wide.c_str(), &info) == 0 && (info.st_mode & _S_IFDIR)) errno = EISDIR;
  return file;
#else
  const char* cmode = mode == OpenMode::ReadBinary ? "rb" : mode == OpenMode::WriteText ? "w" : "wb";
  return FilePtr(std::fopen(utf8Path, cmode));
#endif
}

bool sameFile(const char* utf8PathA, const char* utf8PathB) {
  try {
    std::error_code error;
    return std::filesystem::equivalent(filePath(utf8PathA), filePath(utf8PathB), error) && !error;
  } catch (const std::exception&) {
    return false;  // a path that cannot be named names no file
  }
}

FilePtr createNewFile(const char* utf8Path, OpenMode mode) {
  const bool text = mode == OpenMode::WriteText;
  std::wstring wide;
  try {
    wide = utf8ToWide(utf8Path);
  } catch (const std::range_error&) {
    errno = EINVAL;
    return nullptr;
  }
#ifdef _WIN32
  int fd = -1;
  if (_wsopen_s(&fd, wide.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | (text ? _O_TEXT : _O_BINARY) | _O_NOINHERIT,
                _SH_DENYNO, _S_IREAD | _S_IWRITE) != 0) {
    return nullptr;
  }
  FilePtr file(_fdopen(fd, text ? "w" : "wb"));
  if (!file) _close(fd);
  return file;
#else
  const int fd = ::open(utf8Path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FilePtr file(::fdopen(fd, text ? "w" : "wb"));
  if (!file) ::close(fd);
  return file;
#endif
}

bool closeFile(FilePtr& file) {
  if (!file) return true;
  const int result = std::fclose(file.release());
  return result == 0;
}

}  // namespace kinovar
