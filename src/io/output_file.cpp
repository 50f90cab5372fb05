#include "io/output_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

#include "io/paths.h"
#include "io/system.h"
#include "io/temporary.h"

#ifndef _WIN32
#include <climits>
#include <cstdlib>
#endif

namespace kinovar {

namespace {

constexpr int kNameAttempts = 16;

std::atomic<uint64_t> syncs{0};

// fsync (_commit on Windows), counted.
int forceToMedium(int fd) {
  ++syncs;
#ifdef _WIN32
  return _commit(fd);
#else
  return ::fsync(fd);
#endif
}

// The folder part of a path, with its separator; "." for a bare name.
std::string folderOf(const std::string& utf8Path) {
#ifdef _WIN32
  const size_t slash = utf8Path.find_last_of("/\\:");
#else
  const size_t slash = utf8Path.find_last_of('/');
#endif
  return slash == std::string::npos ? "." : utf8Path.substr(0, slash + 1);
}

#ifdef _WIN32

int errnoOfLastError();

// Moves a complete temporary file into place: 0, or the system's error
// (EINTR when the process is being interrupted).
int moveIntoPlace(const std::string& held, const std::wstring& temp, const std::wstring& target, bool durable) {
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0);
  int why = 0;
  if (!renameTemporary(held, [&] {
        if (MoveFileExW(temp.c_str(), target.c_str(), flags) != 0) return true;
        why = errnoOfLastError();
        return false;
      }))
    return why == 0 ? EINTR : why;
  return 0;
}

int errnoOfLastError() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_WRITE_PROTECT: return EROFS;
    default: return EIO;
  }
}

#else

void syncFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  forceToMedium(fd);  // the rename is already done; this only hastens it to the medium
  ::close(fd);
}

// Moves a complete temporary file into place: 0, or the system's error
// (EINTR when the process is being interrupted). A file replaced stays open
// across the rename, so that its space is released when closeLater closes
// it, not by the rename on the caller's path.
int moveIntoPlace(const std::string& temp, const std::string& target, bool durable, bool replacesData) {
  const int old = replacesData ? ::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK) : -1;
  int why = 0;
  if (!renameTemporary(temp, [&] { return ::rename(temp.c_str(), target.c_str()) == 0 || (why = errno, false); }))
    why = why == 0 ? EINTR : why;
  if (why == 0 && durable) syncFolder(target);
  closeLater(old);
  return why;
}

#endif

}  // namespace

void OutputFile::fail(const char* step, int errnum) {
  if (error_) return;
  error_ = std::error_code(errnum == 0 ? EIO : errnum, std::generic_category());
  step_ = step;
}

void OutputFile::noteWriteError(int errnum) { fail("write", errnum); }

#ifdef _WIN32

OutputFile::OutputFile(const char* utf8Path, Mode mode, bool durable) : durable_(durable) {
  try {
    target_ = utf8ToWide(utf8Path);
  } catch (const std::range_error&) {
    fail("open", EINVAL);
    return;
  }
  if (target_.empty()) {
    fail("open", ENOENT);
    return;
  }
  // The device would swallow the bytes, and no temporary file can take its name.
  if (reservedDeviceName(utf8Path)) {
    fail("open", EINVAL);
    return;
  }
  // The open for update fails as the truncating open would (read-only file,
  // folder, missing folder, a file held by another program) without
  // touching the content.
  if (FILE* probe = _wfsopen(target_.c_str(), L"r+b", _SH_DENYNO)) {
    struct _stat64 info {};
    replacesData_ = _fstat64(_fileno(probe), &info) == 0 && info.st_size > 0;
    std::fclose(probe);
  } else if (errno != ENOENT) {
    // Windows says only "access denied" for a folder: named as elsewhere.
    const int why = errno;
    struct _stat64 info {};
    const bool folder = why == EACCES && _wstat64(target_.c_str(), &info) == 0 && (info.st_mode & _S_IFDIR);
    fail("open", folder ? EISDIR : why);
    return;
  }
  removeStaleTemporaries(folderOf(utf8Path));
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    held_ = temporaryPath(utf8Path);
    temp_ = utf8ToWide(held_.c_str());
    file_ = createNewFile(held_.c_str(), mode == Mode::Text ? OpenMode::WriteText : OpenMode::WriteBinary).release();
    if (file_ != nullptr && !holdTemporary(held_)) {
      discard();
      fail("open", EINTR);  // the process is being interrupted
      return;
    }
    if (file_ != nullptr) return;
    if (errno == EEXIST) continue;
    const int why = errno;
    temp_.clear();
    held_.clear();
    if (why == EACCES && replacesData_) {
      // A folder we may not create in, around a file we may write: in place.
      file_ = _wfsopen(target_.c_str(), mode == Mode::Text ? L"w" : L"wb", _SH_DENYNO);
      if (file_ != nullptr) {
        direct_ = true;
        return;
      }
    }
    fail("open", why);
    return;
  }
  temp_.clear();
  held_.clear();
  fail("open", EEXIST);
}

bool OutputFile::finish(bool durable) {
  if (file_ == nullptr) return false;
  durable = durable || durable_;
  std::FILE* file = std::exchange(file_, nullptr);
  if (std::fflush(file) != 0 || std::ferror(file)) fail("write", errno);
  if (durable && !error_ && forceToMedium(_fileno(file)) != 0) fail("sync", errno);
  if (std::fclose(file) != 0) fail("close", errno);
  finished_ = !error_;
  return finished_;
}

bool OutputFile::publish(bool durable) {
  if (!finished_) return false;
  finished_ = false;
  if (!direct_)
    if (const int why = moveIntoPlace(held_, temp_, target_, durable || durable_)) fail("rename", why);
  if (!direct_ && error_) _wremove(temp_.c_str());
  temp_.clear();
  held_.clear();
  return !error_;
}

void OutputFile::discard() {
  if (file_ != nullptr) std::fclose(std::exchange(file_, nullptr));
  if (!temp_.empty()) _wremove(temp_.c_str());
  if (!held_.empty()) releaseTemporary(held_);
  temp_.clear();
  held_.clear();
  finished_ = false;
}

#else

// What is at the target now: a file (its permissions kept), a link to one
// (replaced through the link), a device or a pipe (written as it is), or
// nothing. False when the output cannot go there.
bool OutputFile::examineTarget(unsigned& permissions, bool& existed) {
  struct stat info {};
  if (::lstat(target_.c_str(), &info) != 0) {
    if (errno == ENOENT) return true;
    fail("open", errno);
    return false;
  }
  if (S_ISLNK(info.st_mode)) {
    if (::stat(target_.c_str(), &info) != 0) {
      fail("open", errno);
      return false;
    }
    // Replace the file the link names, not the link itself. A device or
    // pipe is written as named: /dev/stdout leads to a pipe through links
    // that do not all resolve.
    char resolved[PATH_MAX];
    if (S_ISREG(info.st_mode)) {
      if (::realpath(target_.c_str(), resolved) == nullptr) {
        fail("open", errno);
        return false;
      }
      target_ = resolved;
    }
  }
  if (S_ISDIR(info.st_mode)) {
    fail("open", EISDIR);
    return false;
  }
  existed = true;
  if (!S_ISREG(info.st_mode)) {
    // A device or a pipe cannot be swapped for a file: it is written as it is.
    direct_ = true;
  } else if (::access(target_.c_str(), W_OK) != 0) {
    fail("open", errno);
    return false;
  }
  permissions = info.st_mode & 07777;
  replacesData_ = S_ISREG(info.st_mode) && info.st_size > 0;
#ifdef POSIX_FADV_DONTNEED
  if (replacesData_) {
    // The old file's cached pages would be reclaimed while the new one is
    // written, slowing every write: they are let go now, as its removal would.
    const int old = ::open(target_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (old >= 0) {
      ::posix_fadvise(old, 0, 0, POSIX_FADV_DONTNEED);
      ::close(old);
    }
  }
#endif
  return true;
}

// Opens a new temporary file beside the target. False when the target is to
// be written in place instead: a folder we may not create in, around a file
// we may write.
bool OutputFile::openTemporary(unsigned permissions, bool existed, const char* cmode) {
  removeStaleTemporaries(folderOf(target_));
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    temp_ = temporaryPath(target_);
    const int fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(permissions));
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      const int why = errno;
      temp_.clear();
      if (existed && (why == EACCES || why == EPERM)) {
        direct_ = true;
        return false;
      }
      fail("open", why);
      return true;
    }
    if (!holdTemporary(temp_, fd)) {
      ::close(fd);
      ::unlink(temp_.c_str());
      temp_.clear();
      fail("open", EINTR);  // the process is being interrupted
      return true;
    }
    if (existed) ::fchmod(fd, static_cast<mode_t>(permissions));  // umask must not narrow an existing file
    file_ = ::fdopen(fd, cmode);
    if (file_ == nullptr) {
      fail("open", errno);
      ::close(fd);
      ::unlink(temp_.c_str());
      releaseTemporary(temp_);
      temp_.clear();
    }
    return true;
  }
  temp_.clear();
  fail("open", EEXIST);
  return true;
}

OutputFile::OutputFile(const char* utf8Path, Mode mode, bool durable) : durable_(durable) {
  try {
    utf8ToWide(utf8Path);  // a path that cannot be named is a file that cannot be opened
  } catch (const std::range_error&) {
    fail("open", EINVAL);
    return;
  }
  target_ = utf8Path;
  if (target_.empty()) {
    fail("open", ENOENT);
    return;
  }
  const char* cmode = mode == Mode::Text ? "w" : "wb";
  unsigned permissions = 0666;  // a new file gets what a plain create would give it
  bool existed = false;
  if (!examineTarget(permissions, existed)) return;
  if (!direct_ && openTemporary(permissions, existed, cmode)) return;
  file_ = std::fopen(target_.c_str(), cmode);
  if (file_ == nullptr) fail("open", errno);
}

bool OutputFile::finish(bool durable) {
  if (file_ == nullptr) return false;
  durable = durable || durable_;
  std::FILE* file = std::exchange(file_, nullptr);
  if (std::fflush(file) != 0 || std::ferror(file)) fail("write", errno);
  // A file written in place is forced too; a device or a pipe has no medium to force (EINVAL).
  if (durable && !error_ && forceToMedium(fileno(file)) != 0 && !(direct_ && errno == EINVAL)) fail("sync", errno);
  if (std::fclose(file) != 0) fail("close", errno);
  finished_ = !error_;
  return finished_;
}

bool OutputFile::publish(bool durable) {
  if (!finished_) return false;
  durable = durable || durable_;
  finished_ = false;
  if (!direct_) {
    if (const int why = moveIntoPlace(temp_, target_, durable, replacesData_)) fail("rename", why);
    if (error_) ::unlink(temp_.c_str());
  }
  temp_.clear();
  return !error_;
}

void OutputFile::discard() {
  if (file_ != nullptr) std::fclose(std::exchange(file_, nullptr));
  if (!temp_.empty()) {
    ::unlink(temp_.c_str());
    releaseTemporary(temp_);
  }
  temp_.clear();
  finished_ = false;
}

#endif

OutputFile OutputFile::inPlace(const char* utf8Path, Mode mode) {
  OutputFile output;
  output.direct_ = true;
  output.file_ = openFile(utf8Path, mode == Mode::Text ? OpenMode::WriteText : OpenMode::WriteBinary).release();
  if (output.file_ == nullptr) output.fail("open", errno);
  return output;
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::release() noexcept {
  file_ = nullptr;
  temp_.clear();
#ifdef _WIN32
  held_.clear();
#endif
  finished_ = false;
}

bool OutputFile::commit(bool durable) { return finish(durable) && publish(durable); }

OutputFile::OutputFile(OutputFile&& other) noexcept
    : file_(other.file_),
      target_(std::move(other.target_)),
      temp_(std::move(other.temp_)),
#ifdef _WIN32
      held_(std::move(other.held_)),
#endif
      direct_(other.direct_),
      finished_(other.finished_),
      replacesData_(other.replacesData_),
      durable_(other.durable_),
      error_(other.error_),
      step_(other.step_) {
  other.release();
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    discard();
    file_ = other.file_;
    target_ = std::move(other.target_);
    temp_ = std::move(other.temp_);
#ifdef _WIN32
    held_ = std::move(other.held_);
#endif
    direct_ = other.direct_;
    finished_ = other.finished_;
    replacesData_ = other.replacesData_;
    durable_ = other.durable_;
    error_ = other.error_;
    step_ = other.step_;
    other.release();
  }
  return *this;
}

bool commitTogether(std::vector<OutputFile>& files, bool durable, size_t* failed) {
  size_t bad = files.size();
  for (size_t i = 0; i < files.size() && bad == files.size(); ++i)
    if (files[i].error() || !(files[i].finished() || files[i].finish(durable))) bad = i;
  // Renames are the only step left that can fail; one that does leaves the
  // files before it in place, each complete.
  for (size_t i = 0; i < files.size() && bad == files.size(); ++i)
    if (!files[i].publish(durable)) bad = i;
  if (bad == files.size()) return true;
  for (OutputFile& file : files) file.discard();
  if (failed) *failed = bad;
  return false;
}

bool replaceFiles(const std::vector<std::string>& utf8Paths, const std::vector<std::span<const uint8_t>>& contents,
                  OutputFailure* failure, bool durable) {
  if (utf8Paths.size() != contents.size()) throw std::invalid_argument("one content per file is needed");
  std::vector<OutputFile> files;
  files.reserve(utf8Paths.size());
  size_t bad = utf8Paths.size();
  // Every target is opened before any is written: a refusal leaves all as they were.
  for (size_t i = 0; i < utf8Paths.size() && bad == utf8Paths.size(); ++i) {
    files.emplace_back(utf8Paths[i].c_str(), OutputFile::Mode::Binary, durable);
    if (!files.back()) bad = i;
  }
  for (size_t i = 0; i < files.size() && bad == utf8Paths.size(); ++i) {
    const std::span<const uint8_t> bytes = contents[i];
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), files[i].file()) != bytes.size()) {
      files[i].noteWriteError(errno);
      bad = i;
    }
  }
  if (bad == utf8Paths.size() && commitTogether(files, durable, &bad)) return true;
  if (failure) *failure = OutputFailure{utf8Paths[bad], files[bad].error(), files[bad].failedStep()};
  for (OutputFile& file : files) file.discard();
  return false;
}

bool replaceFile(const char* utf8Path, std::span<const uint8_t> bytes, OutputFailure* failure, bool durable) {
  return replaceFiles({utf8Path}, {bytes}, failure, durable);
}

uint64_t forcedSyncs() { return syncs; }

const char* errnoName(int errnum) {
  switch (errnum) {
    case ENOENT: return "ENOENT";
    case ENOTDIR: return "ENOTDIR";
    case EISDIR: return "EISDIR";
    case EACCES: return "EACCES";
    case EPERM: return "EPERM";
    case EROFS: return "EROFS";
    case ENOSPC: return "ENOSPC";
    case EEXIST: return "EEXIST";
    case EBUSY: return "EBUSY";
    case EINVAL: return "EINVAL";
    case EMFILE: return "EMFILE";
    case ENFILE: return "ENFILE";
    case ENAMETOOLONG: return "ENAMETOOLONG";
    case EFBIG: return "EFBIG";
    case EXDEV: return "EXDEV";
    case ELOOP: return "ELOOP";
#ifdef EDQUOT
    case EDQUOT: return "EDQUOT";
#endif
#ifdef ETXTBSY
    case ETXTBSY: return "ETXTBSY";
#endif
    default: return "EIO";
  }
}

}  // namespace kinovar
