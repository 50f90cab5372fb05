#include "settings/replace_file.h"

#include <cerrno>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>

#include "export/paths.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <share.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#endif

namespace kinovar {

namespace {

std::string randomSuffix() {
  static thread_local std::mt19937_64 engine{std::random_device{}()};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string suffix = ".tmp-";
  uint64_t bits = engine();
  for (int i = 0; i < 12; ++i, bits >>= 4) suffix += kDigits[bits & 15];
  return suffix;
}

constexpr int kNameAttempts = 16;

#ifdef _WIN32

bool replaceWide(const std::wstring& target, const std::vector<uint8_t>& bytes) {
  // The open for update fails as the truncating open would (read-only file,
  // folder, missing folder) without touching the content.
  if (FILE* probe = _wfsopen(target.c_str(), L"r+b", _SH_DENYNO)) {
    std::fclose(probe);
  } else if (errno != ENOENT) {
    return false;
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string suffix = randomSuffix();
    const std::wstring temp = target + std::wstring(suffix.begin(), suffix.end());
    FILE* file = _wfsopen(temp.c_str(), L"wbx", _SH_DENYNO);
    if (file == nullptr) {
      if (errno == EEXIST) continue;
      return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = std::fflush(file) == 0 && ok;
    ok = _commit(_fileno(file)) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    ok = ok && MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) _wremove(temp.c_str());
    return ok;
  }
  return false;
}

#else

bool writeAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void syncFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  ::fsync(fd);  // the rename is already done; this only hastens it to the medium
  ::close(fd);
}

bool replacePosix(std::string target, const std::vector<uint8_t>& bytes) {
  mode_t mode = 0666;  // a new file gets what a plain create would give it
  bool existed = false;
  struct stat info {};
  if (::lstat(target.c_str(), &info) == 0) {
    existed = true;
    if (S_ISLNK(info.st_mode)) {
      // Replace the file the link names, not the link itself.
      char resolved[PATH_MAX];
      if (::realpath(target.c_str(), resolved) == nullptr) return false;
      target = resolved;
      if (::stat(target.c_str(), &info) != 0) return false;
    }
    // A device or pipe cannot be swapped for a regular file.
    if (!S_ISREG(info.st_mode)) return false;
    if (::access(target.c_str(), W_OK) != 0) return false;
    mode = info.st_mode & 07777;
  } else if (errno != ENOENT) {
    return false;
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string temp = target + randomSuffix();
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    bool ok = writeAll(fd, bytes);
    if (existed) ok = ::fchmod(fd, mode) == 0 && ok;  // umask must not narrow an existing file
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
      ::unlink(temp.c_str());
      return false;
    }
    syncFolder(target);
    return true;
  }
  return false;
}

#endif

}  // namespace

bool replaceFile(const char* utf8Path, const std::vector<uint8_t>& bytes) {
  std::wstring wide;
  try {
    wide = utf8ToWide(utf8Path);
  } catch (const std::range_error&) {
    return false;
  }
  if (wide.empty()) return false;
#ifdef _WIN32
  return replaceWide(wide, bytes);
#else
  return replacePosix(utf8Path, bytes);
#endif
}

}  // namespace kinovar
