// Linked into the prebuilt Linux addon and the portable Python module only
// (cmake/old-glibc.cmake, python/setup.py). glibc gave these functions new
// symbol versions after 2.28: pthread moved into libc in 2.34, stat became a
// function in 2.33, exp and hypot lost their error wrappers in 2.29 and 2.35,
// and 2.30, 2.32 and 2.36 added pthread_cond_clockwait,
// __libc_single_threaded and arc4random, which the static libstdc++ built
// here expects. Every reference to NAME is redirected
// (--wrap=NAME) to __wrap_NAME below, which calls what glibc 2.28 exports, so
// the addon loads there and on every later glibc alike.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

// old_NAME is NAME at the version glibc had before it changed.
#define KINOVAR_OLD(name, version) __asm__(".symver old_" #name ", " #name "@" version)

extern "C" {
int old_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int old_pthread_join(pthread_t, void**);
int old_pthread_detach(pthread_t);
int old_pthread_once(pthread_once_t*, void (*)());
int old_pthread_key_create(pthread_key_t*, void (*)(void*));
int old___pthread_key_create(pthread_key_t*, void (*)(void*));
int old_pthread_key_delete(pthread_key_t);
void* old_pthread_getspecific(pthread_key_t);
int old_pthread_setspecific(pthread_key_t, const void*);
int old_pthread_rwlock_rdlock(pthread_rwlock_t*);
int old_pthread_rwlock_wrlock(pthread_rwlock_t*);
int old_pthread_rwlock_unlock(pthread_rwlock_t*);
int old___xstat(int, const char*, struct stat*);
int old___lxstat(int, const char*, struct stat*);
int old___fxstat(int, int, struct stat*);
double old_exp(double);
double old_hypot(double, double);
}
KINOVAR_OLD(pthread_create, "GLIBC_2.2.5");
KINOVAR_OLD(pthread_join, "GLIBC_2.2.5");
KINOVAR_OLD(pthread_detach, "GLIBC_2.2.5");
KINOVAR_OLD(pthread_once, "GLIBC_2.2.5");
KINOVAR_OLD(pthread_key_create, "GLIBC_2.2.5");
KINOVAR_OLD(__pthread_key_create, "GLIBC_2.2.5");
KINOVAR_OLD(pthread_key_delete, "GLIBC_2.2.5");
KINOVAR_OLD(pthread_getspecific, "GLIBC_2.2.5");
KINOVAR_OLD(pthread_setspecific, "GLIBC_2.2.5");
KINOVAR_OLD(pthread_rwlock_rdlock, "GLIBC_2.2.5");
KINOVAR_OLD(pthread_rwlock_wrlock, "GLIBC_2.2.5");
KINOVAR_OLD(pthread_rwlock_unlock, "GLIBC_2.2.5");
KINOVAR_OLD(__xstat, "GLIBC_2.2.5");
KINOVAR_OLD(__lxstat, "GLIBC_2.2.5");
KINOVAR_OLD(__fxstat, "GLIBC_2.2.5");
KINOVAR_OLD(exp, "GLIBC_2.2.5");
KINOVAR_OLD(hypot, "GLIBC_2.2.5");

// The stat layout of x86-64 Linux, which the __xstat family takes first.
constexpr int kStatVersion = 1;

// Ours alone: nothing else in the process may bind to them.
#pragma GCC visibility push(hidden)
extern "C" {
int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*run)(void*), void* arg) {
  return old_pthread_create(thread, attr, run, arg);
}
int __wrap_pthread_join(pthread_t thread, void** result) { return old_pthread_join(thread, result); }
int __wrap_pthread_detach(pthread_t thread) { return old_pthread_detach(thread); }
int __wrap_pthread_once(pthread_once_t* once, void (*run)()) { return old_pthread_once(once, run); }
int __wrap_pthread_key_create(pthread_key_t* key, void (*destroy)(void*)) { return old_pthread_key_create(key, destroy); }
// libstdc++ takes this one's presence as "threads are available"; they are.
int __wrap___pthread_key_create(pthread_key_t* key, void (*destroy)(void*)) {
  return old___pthread_key_create(key, destroy);
}
int __wrap_pthread_key_delete(pthread_key_t key) { return old_pthread_key_delete(key); }
void* __wrap_pthread_getspecific(pthread_key_t key) { return old_pthread_getspecific(key); }
int __wrap_pthread_setspecific(pthread_key_t key, const void* value) { return old_pthread_setspecific(key, value); }
// std::shared_mutex's locks.
int __wrap_pthread_rwlock_rdlock(pthread_rwlock_t* lock) { return old_pthread_rwlock_rdlock(lock); }
int __wrap_pthread_rwlock_wrlock(pthread_rwlock_t* lock) { return old_pthread_rwlock_wrlock(lock); }
int __wrap_pthread_rwlock_unlock(pthread_rwlock_t* lock) { return old_pthread_rwlock_unlock(lock); }

int __wrap_stat(const char* path, struct stat* out) { return old___xstat(kStatVersion, path, out); }
int __wrap_lstat(const char* path, struct stat* out) { return old___lxstat(kStatVersion, path, out); }
int __wrap_fstat(int fd, struct stat* out) { return old___fxstat(kStatVersion, fd, out); }
// stat64 is stat on x86-64.
int __wrap_fstat64(int fd, struct stat* out) { return old___fxstat(kStatVersion, fd, out); }

double __wrap_exp(double x) { return old_exp(x); }
double __wrap_hypot(double x, double y) { return old_hypot(x, y); }

// A condition variable's timed wait on the steady clock: the same deadline
// on the real-time clock, which glibc 2.28 can wait for.
int __wrap_pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock, const timespec* at) {
  if (clock == CLOCK_REALTIME) return pthread_cond_timedwait(cond, mutex, at);
  timespec now{}, real{};
  clock_gettime(clock, &now);
  clock_gettime(CLOCK_REALTIME, &real);
  constexpr int64_t kNano = 1000000000;
  const int64_t left = (static_cast<int64_t>(at->tv_sec) - now.tv_sec) * kNano + (at->tv_nsec - now.tv_nsec);
  const int64_t deadline = static_cast<int64_t>(real.tv_sec) * kNano + real.tv_nsec + (left > 0 ? left : 0);
  timespec on{};
  on.tv_sec = static_cast<time_t>(deadline / kNano);
  on.tv_nsec = static_cast<long>(deadline % kNano);
  return pthread_cond_timedwait(cond, mutex, &on);
}

// Never "single-threaded": libstdc++ then always takes the atomic path, which
// is right whatever the process does.
char __wrap___libc_single_threaded = 0;

// For std::random_device. getrandom came in glibc 2.25; kernels before 3.17
// lack it, and /dev/urandom serves there.
uint32_t __wrap_arc4random() {
  uint32_t value = 0;
  for (;;) {
    ssize_t got = getrandom(&value, sizeof value, 0);
    if (got == static_cast<ssize_t>(sizeof value)) return value;
    if (got < 0 && errno != EINTR) break;
  }
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    std::size_t filled = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&value);
    while (filled < sizeof value) {
      ssize_t got = read(fd, bytes + filled, sizeof value - filled);
      if (got > 0) filled += static_cast<std::size_t>(got);
      else if (got == 0 || errno != EINTR) break;
    }
    close(fd);
  }
  return value;
}
}
#pragma GCC visibility pop
