#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "fuzz/fuzz_entry.h"

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

void RemoveWorkFolder() {
  nftw(FuzzWorkFolder().c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

std::string MakeWorkFolder() {
  std::string base;
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0)
    base = "/dev/shm";
  else if (const char* t = getenv("TMPDIR"); t && *t)
    base = t;
  else
    base = "/tmp";
  std::string tmpl = base + "/tarnelle-fuzz-XXXXXX";
  if (!mkdtemp(tmpl.data())) FuzzCheckFailed("cannot create the work folder");
  return tmpl;
}

}  // namespace

const std::string& FuzzWorkFolder() {
  static const std::string folder = [] {
    std::string f = MakeWorkFolder();
    return f;
  }();
  static const bool cleanup = atexit(RemoveWorkFolder) == 0;
  (void)cleanup;
  return folder;
}

const std::string& WriteFuzzInput(const uint8_t* data, size_t size, const char* ext) {
  static std::map<std::string, std::string> paths;  // one file per extension
  std::string& path = paths[ext];
  if (path.empty()) path = FuzzWorkFolder() + "/input." + ext;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) FuzzCheckFailed("cannot write the input file");
  for (size_t off = 0; off < size;) {
    const ssize_t w = write(fd, data + off, size - off);
    if (w <= 0) FuzzCheckFailed("cannot write the input file");
    off += static_cast<size_t>(w);
  }
  close(fd);
  return path;
}

void FuzzCheckFailed(const char* what) {
  fprintf(stderr, "fuzz check failed: %s\n", what);
  abort();
}
