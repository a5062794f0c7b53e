// Where the program may write: beside the executable when its folder is
// writable (a copy unpacked anywhere keeps everything together), else the
// user's XDG folders (an installed copy under /usr).
#pragma once

#include <string>

// Whether this process may create files in dir. For root the permission
// bits count too: root may write anywhere, but a tree made read-only (an
// installed copy) is meant to stay untouched.
bool IsWritableFolder(const std::string& dir);

// $<variable> when it is an absolute path, else $HOME/<fallback>; no
// trailing slash. XdgBaseDir("XDG_CACHE_HOME", ".cache") is ~/.cache.
std::string XdgBaseDir(const char* variable, const char* fallback);

// The cache folder for extracted archive members, with a trailing slash:
// <exe dir>/Cache/ when the executable's folder is writable, else
// $XDG_CACHE_HOME/tarnelle/. The folder itself is not created.
std::string CacheFolderPath(const std::string& exePath);
