#include "core/user_dirs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

bool IsWritableFolder(const std::string& dir) {
  if (dir.empty() || access(dir.c_str(), W_OK) != 0) return false;
  if (geteuid() != 0) return true;
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0) return false;
  const mode_t bit = st.st_uid == 0 ? S_IWUSR : st.st_gid == getegid() ? S_IWGRP : S_IWOTH;
  return (st.st_mode & bit) != 0;
}

bool IsInstalledTree(const std::string& exeDir) {
  std::string dir = exeDir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  const std::string tail = "/lib/tarnelle";
  if (dir.size() <= tail.size() || dir.compare(dir.size() - tail.size(), tail.size(), tail) != 0)
    return false;
  // The link (or a copy) in bin/ is what the install rules add; lstat so
  // that a dangling link still counts.
  const std::string bin = dir.substr(0, dir.size() - tail.size()) + "/bin/tarnelle";
  struct stat st {};
  return lstat(bin.c_str(), &st) == 0;
}

bool KeepsFilesBesideExecutable(const std::string& exeDir) {
  return !IsInstalledTree(exeDir) && IsWritableFolder(exeDir);
}

std::string XdgBaseDir(const char* variable, const char* fallback) {
  const char* xdg = getenv(variable);
  if (xdg && xdg[0] == '/') {
    std::string base = xdg;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base;
  }
  const char* home = getenv("HOME");
  return std::string(home && home[0] ? home : "") + "/" + fallback;
}

std::string CacheFolderPath(const std::string& exePath) {
  const size_t slash = exePath.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : exePath.substr(0, slash + 1);
  if (KeepsFilesBesideExecutable(dir)) return (dir == "." ? std::string("./") : dir) + "Cache/";
  return XdgBaseDir("XDG_CACHE_HOME", ".cache") + "/tarnelle/";
}
