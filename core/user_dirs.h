// Where the program may write: beside the executable when its folder is
// writable (a build folder or a copy unpacked anywhere keeps everything
// together), else the user's XDG folders. An installed tree always uses the
// XDG folders, whoever runs it: a package manager owns it.
#pragma once

#include <string>

// Whether this process may create files in dir. For root the permission
// bits count too: root may write anywhere, but a tree made read-only (an
// installed copy) is meant to stay untouched.
bool IsWritableFolder(const std::string& dir);

// Whether exeDir is the program folder of an installed tree:
// <prefix>/lib/tarnelle with <prefix>/bin/tarnelle beside it.
bool IsInstalledTree(const std::string& exeDir);

// Whether settings and cache belong beside the executable in exeDir: a
// writable folder that is not an installed tree.
bool KeepsFilesBesideExecutable(const std::string& exeDir);

// $<variable> when it is an absolute path, else $HOME/<fallback>; no
// trailing slash. XdgBaseDir("XDG_CACHE_HOME", ".cache") is ~/.cache.
std::string XdgBaseDir(const char* variable, const char* fallback);

// The cache folder for extracted archive members, with a trailing slash:
// <exe dir>/Cache/ when KeepsFilesBesideExecutable, else
// $XDG_CACHE_HOME/tarnelle/. The folder itself is not created.
std::string CacheFolderPath(const std::string& exePath);
