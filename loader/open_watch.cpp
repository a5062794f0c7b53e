#include "loader/open_watch.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

constexpr size_t kKept = 5;
constexpr unsigned kDistinct = 256;

std::mutex g_mutex;
RefusedOpens g_refused;
std::vector<std::string> g_seen;  // distinct paths counted so far

void Note(const char* path) {
  if (errno != EACCES && errno != EPERM) return;
  const int saved = errno;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::string p = path ? path : "";
    if (std::find(g_seen.begin(), g_seen.end(), p) == g_seen.end() && g_seen.size() < kDistinct) {
      g_seen.push_back(p);
      ++g_refused.total;
      if (g_refused.first.size() < kKept) g_refused.first.push_back(p);
    }
  }
  errno = saved;
}

bool TakesMode(int flags) { return (flags & O_CREAT) != 0 || (flags & __O_TMPFILE) == __O_TMPFILE; }

int OpenAt(int dir, const char* path, int flags, mode_t mode) {
  // Nothing opened here outlives an exec (none can happen in the sandbox).
  const int fd = static_cast<int>(syscall(SYS_openat, dir, path, flags | O_CLOEXEC, mode));
  if (fd < 0) Note(path);
  return fd;
}

using FopenFn = FILE* (*)(const char*, const char*);

FILE* Fopen(FopenFn real, const char* path, const char* mode) {
  if (!real) {
    errno = ENOSYS;
    return nullptr;
  }
  // The same mode, close-on-exec ("e"); a mode too long for any C library
  // is passed on as it is.
  char closing[16];
  const size_t n = mode ? strnlen(mode, sizeof closing) : sizeof closing;
  if (n + 1 < sizeof closing) {
    memcpy(closing, mode, n);
    closing[n] = 'e';
    closing[n + 1] = '\0';
    mode = closing;
  }
  FILE* file = real(path, mode);
  if (!file) Note(path);
  return file;
}

}  // namespace

void ResetRefusedOpens() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_refused = {};
  g_seen.clear();
}

RefusedOpens TakeRefusedOpens() {
  std::lock_guard<std::mutex> lock(g_mutex);
  RefusedOpens r = std::move(g_refused);
  g_refused = {};
  g_seen.clear();
  return r;
}

// The C library's entry points as plug-ins and their libraries call them
// (the fortified _2 forms included).
#define TARNELLE_OPEN_MODE(flags)                \
  mode_t mode = 0;                               \
  if (TakesMode(flags)) {                        \
    va_list ap;                                  \
    va_start(ap, flags);                         \
    mode = static_cast<mode_t>(va_arg(ap, int)); \
    va_end(ap);                                  \
  }

extern "C" {

int open(const char* path, int flags, ...) {
  TARNELLE_OPEN_MODE(flags)
  return OpenAt(AT_FDCWD, path, flags, mode);
}
int open64(const char* path, int flags, ...) {
  TARNELLE_OPEN_MODE(flags)
  return OpenAt(AT_FDCWD, path, flags, mode);
}
int openat(int dir, const char* path, int flags, ...) {
  TARNELLE_OPEN_MODE(flags)
  return OpenAt(dir, path, flags, mode);
}
int openat64(int dir, const char* path, int flags, ...) {
  TARNELLE_OPEN_MODE(flags)
  return OpenAt(dir, path, flags, mode);
}
int __open_2(const char* path, int flags) { return OpenAt(AT_FDCWD, path, flags, 0); }
int __open64_2(const char* path, int flags) { return OpenAt(AT_FDCWD, path, flags, 0); }
int __openat_2(int dir, const char* path, int flags) { return OpenAt(dir, path, flags, 0); }
int __openat64_2(int dir, const char* path, int flags) { return OpenAt(dir, path, flags, 0); }
FILE* fopen(const char* path, const char* mode) {
  static const FopenFn real = reinterpret_cast<FopenFn>(dlsym(RTLD_NEXT, "fopen"));
  return Fopen(real, path, mode);
}
FILE* fopen64(const char* path, const char* mode) {
  static const FopenFn real = reinterpret_cast<FopenFn>(dlsym(RTLD_NEXT, "fopen64"));
  return Fopen(real, path, mode);
}

}  // extern "C"
