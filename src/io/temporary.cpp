#include "io/temporary.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>
#include <map>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "io/paths.h"
#include "io/system.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/file.h>
#endif

namespace kinovar {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTag = "kinovar-";
constexpr std::string_view kEnd = ".tmp";
constexpr size_t kHexDigits = 12;
// A lock taken between a live writer's create and its own lock looks free:
// such a young file of a live process is left alone.
constexpr auto kCreationGrace = std::chrono::seconds(60);
constexpr auto kLookAgain = std::chrono::minutes(5);

uint64_t ownPid() {
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  return static_cast<uint64_t>(::getpid());
#endif
}

std::string uniqueTag() {
  static thread_local std::mt19937_64 engine{std::random_device{}()};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string tag = std::string(kTag) + std::to_string(ownPid()) + "-";
  uint64_t bits = engine();
  for (size_t i = 0; i < kHexDigits; ++i, bits >>= 4) tag += kDigits[bits & 15];
  return tag + std::string(kEnd);
}

fs::path nativePath(const std::string& utf8) {
#ifdef _WIN32
  return fs::path(utf8ToWide(utf8.c_str()));
#else
  return fs::path(utf8);
#endif
}

struct Held {
  std::string path;
  int fd;  // the lock's descriptor (POSIX), -1 without one
};

struct Registry {
  std::mutex mutex;
  std::vector<Held> held;
  std::vector<std::string> made;
  std::vector<std::string> underway;  // targets held when the conversions were stopped
  std::map<std::string, std::chrono::steady_clock::time_point> cleaned;
  std::atomic<bool> abandoned{false};
};

// Never destroyed: threads may still write while the process exits.
Registry& registry() {
  static Registry* instance = new Registry();
  return *instance;
}

void closeLock(int fd) {
#ifndef _WIN32
  if (fd >= 0) ::close(fd);
#else
  (void)fd;
#endif
}

void forget(Registry& r, const std::string& path) {
  const auto it = std::find_if(r.held.begin(), r.held.end(), [&](const Held& h) { return h.path == path; });
  if (it == r.held.end()) return;
  closeLock(it->fd);
  r.held.erase(it);
}

// Whether the process that made a temporary of ours is gone (or the name's
// pid now belongs to another), so that nobody will finish or remove it.
#ifdef _WIN32
bool ownerGone(uint64_t pid) {
  if (pid > 0xffffffffu) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  DWORD code = 0;
  const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  return !running;
}
#else
// The lock says it: a live owner holds it. One that is free on a file whose
// named process lives is a file just created (its lock comes next), unless
// it is old: then the pid was reused.
bool ownerGone(uint64_t pid, int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  const bool alive = pid <= static_cast<uint64_t>(INT32_MAX) &&
                     (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
  if (!alive) return true;
  const auto age = std::chrono::system_clock::now() - std::chrono::system_clock::from_time_t(info.st_mtime);
  return age > kCreationGrace;
}
#endif

// One thread closes what closeLater hands it, in order.
class Closer {
 public:
  ~Closer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  void add(int fd) {
    {
      std::lock_guard lock(mutex_);
      if (!thread_.joinable()) {
        try {
          thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
          closeNow(fd);  // no thread to spare: here and now
          return;
        }
      }
      queue_.push_back(fd);
    }
    wake_.notify_all();
  }

 private:
  static void closeNow(int fd) {
#ifdef _WIN32
    _close(fd);
#else
    ::close(fd);
#endif
  }
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      const int fd = queue_.front();
      queue_.pop_front();
      lock.unlock();
      closeNow(fd);
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<int> queue_;
  std::thread thread_;
  bool stopping_ = false;
};

}  // namespace

void closeLater(int fd) {
  if (fd < 0) return;
  static Closer closer;
  closer.add(fd);
}

std::string temporaryPath(const std::string& target) { return target + "." + uniqueTag(); }

std::string temporaryFolderPath(const std::string& folder) {
  if (folder.empty()) return uniqueTag();
  const char last = folder.back();
  return (last == '/' || last == '\\' ? folder : folder + "/") + uniqueTag();
}

bool isTemporaryName(std::string_view name, uint64_t* pid) {
  if (name.size() <= kEnd.size() || name.substr(name.size() - kEnd.size()) != kEnd) return false;
  name.remove_suffix(kEnd.size());
  if (name.size() < kHexDigits + 1) return false;
  const std::string_view hex = name.substr(name.size() - kHexDigits);
  if (!std::all_of(hex.begin(), hex.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }))
    return false;
  name.remove_suffix(kHexDigits);
  if (name.back() != '-') return false;
  name.remove_suffix(1);
  size_t digits = 0;
  while (digits < name.size() && digits < 20 && name[name.size() - 1 - digits] >= '0' &&
         name[name.size() - 1 - digits] <= '9')
    ++digits;
  if (digits == 0) return false;
  const std::string_view number = name.substr(name.size() - digits);
  name.remove_suffix(digits);
  if (name.size() < kTag.size() || name.substr(name.size() - kTag.size()) != kTag) return false;
  name.remove_suffix(kTag.size());
  // A scratch folder's whole name, or a file's after its target's name.
  if (!name.empty() && (name.size() < 2 || name.back() != '.')) return false;
  if (pid) {
    *pid = 0;
    for (char c : number) *pid = *pid * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

// The output a temporary file stands in for; empty for a scratch folder.
static std::string temporaryTarget(const std::string& path) {
  const size_t name = path.find_last_of("/\\") + 1;  // 0 without a folder
  const size_t tag = path.rfind(kTag);
  if (tag == std::string::npos || tag <= name + 1 || path[tag - 1] != '.' ||
      !isTemporaryName(std::string_view(path).substr(name), nullptr))
    return {};
  return path.substr(0, tag - 1);
}

bool holdTemporary(const std::string& path, int fd) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (r.abandoned) return false;
  int lockFd = -1;
#ifndef _WIN32
  lockFd = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (lockFd >= 0) ::flock(lockFd, LOCK_EX | LOCK_NB);  // where locks are not kept, the pid still tells
#else
  (void)fd;
#endif
  r.held.push_back({path, lockFd});
  return true;
}

void releaseTemporary(const std::string& path) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  forget(r, path);
}

bool renameTemporary(const std::string& path, const std::function<bool()>& rename) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (r.abandoned) return false;
  const bool renamed = rename();
  forget(r, path);
  return renamed;
}

void noteMadeFolder(const std::string& folder) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.made.push_back(folder);
}

namespace {

void stopLocked(Registry& r) {
  if (r.abandoned.exchange(true)) return;
  for (const Held& h : r.held) {
    std::string target = temporaryTarget(h.path);
    if (!target.empty() && std::find(r.underway.begin(), r.underway.end(), target) == r.underway.end())
      r.underway.push_back(std::move(target));
  }
}

}  // namespace

void stopConversions() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  stopLocked(r);
}

bool interrupted() { return registry().abandoned.load(std::memory_order_relaxed); }

Abandoned abandonTemporaries() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  stopLocked(r);
  Abandoned gone;
  gone.targets = r.underway;
  for (const Held& h : r.held) {
    std::error_code error;
    try {
      if (fs::remove_all(nativePath(h.path), error) > 0 && !error) {
        gone.files.push_back(h.path);
        std::string target = temporaryTarget(h.path);
        if (!target.empty() && std::find(gone.targets.begin(), gone.targets.end(), target) == gone.targets.end())
          gone.targets.push_back(std::move(target));
      }
    } catch (const std::exception&) {
    }
    closeLock(h.fd);
  }
  r.held.clear();
  // Innermost first: a folder made inside another made one.
  for (auto it = r.made.rbegin(); it != r.made.rend(); ++it) {
    std::error_code error;
    try {
      const fs::path folder = nativePath(*it);
      if (fs::is_directory(folder, error) && fs::is_empty(folder, error) && fs::remove(folder, error))
        gone.folders.push_back(*it);
    } catch (const std::exception&) {
    }
  }
  r.made.clear();
  return gone;
}

size_t removeStaleTemporaries(const std::string& folder) {
  const std::string where = folder.empty() ? "." : folder;
  {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    // A batch opens many outputs in one folder: it is looked at again only after a while.
    const auto now = std::chrono::steady_clock::now();
    const auto [seen, fresh] = r.cleaned.emplace(where, now);
    if (!fresh && now - seen->second < kLookAgain) return 0;
    seen->second = now;
  }
  size_t removed = 0;
  std::error_code error;
  fs::directory_iterator entries;
  try {
    entries = fs::directory_iterator(nativePath(where), error);
  } catch (const std::exception&) {
    return 0;
  }
  if (error) return 0;
  const uint64_t self = ownPid();
  for (const fs::directory_entry& entry : entries) {
    uint64_t pid = 0;
    std::string name;
    try {
      name = utf8Of(entry.path().filename());
    } catch (const std::exception&) {
      continue;
    }
    if (!isTemporaryName(name, &pid) || pid == self) continue;
    const fs::file_status status = entry.symlink_status(error);
    if (error || !(fs::is_regular_file(status) || fs::is_directory(status))) continue;
#ifdef _WIN32
    if (!ownerGone(pid)) continue;
    // A file its owner still has open refuses to go.
    if (fs::remove_all(entry.path(), error) > 0 && !error) ++removed;
#else
    const int fd = ::open(entry.path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) continue;
    if (ownerGone(pid, fd) && fs::remove_all(entry.path(), error) > 0 && !error) ++removed;
    ::close(fd);
#endif
  }
  return removed;
}

namespace {

std::string systemTemporaryFolder() {
  std::error_code error;
  const fs::path system = fs::temp_directory_path(error);
  if (error) return ".";
  return utf8Of(system);
}

}  // namespace

std::string makeTemporaryFolder(const std::string& folder, int& errnum) {
  const std::string parent = folder.empty() ? systemTemporaryFolder() : folder;
  removeStaleTemporaries(parent);
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string path = temporaryFolderPath(parent);
    std::error_code error;
    try {
      if (!fs::create_directory(nativePath(path), error)) {
        if (!error) continue;  // the name is taken
        errnum = error.default_error_condition().value();
        return {};
      }
    } catch (const std::exception&) {
      errnum = EINVAL;
      return {};
    }
    if (holdTemporary(path)) return path;
    fs::remove(nativePath(path), error);
    errnum = EINTR;
    return {};
  }
  errnum = EEXIST;
  return {};
}

void discardTemporary(const std::string& path) {
  std::error_code error;
  try {
    fs::remove_all(nativePath(path), error);
  } catch (const std::exception&) {
  }
  releaseTemporary(path);
}

}  // namespace kinovar
