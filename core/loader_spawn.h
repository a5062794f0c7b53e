// Starting tarnelle-loader: a process in a session of its own, with
// /dev/null for input, a pipe for its output, the protocol's socket and
// memory file, and nothing else of ours. It opens the plug-ins it is given
// and then waits for the limits and folders of its one load, so that it
// can be started ahead of need: one spare waits for the next load.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct LoaderSpawn {
  std::string loaderPath;
  std::string exePath;               // what GetPluginVer is told
  std::vector<std::string> plugins;  // opened before the first request
  bool operator==(const LoaderSpawn&) const = default;
};

// A started loader's ends, owned by whoever holds it.
struct LoaderChild {
  pid_t pid = -1;
  int sock = -1;    // requests and replies
  int memfd = -1;   // where the loader may write a model
  int output = -1;  // its standard output and error, non-blocking
};

// Starts a loader; false (nothing left open) when it cannot.
bool SpawnLoader(const LoaderSpawn& what, LoaderChild& out);

// Kills the loader's process group, reaps it and closes its ends.
void StopLoader(LoaderChild& c);

// The spare started for what, when there is one; else false. The caller
// then owns it.
bool TakeSpareLoader(const LoaderSpawn& what, LoaderChild& out);

// Starts a spare for the next load on a thread that lives as long as the
// process, so that it dies with the process, not with a loading thread.
// A spare for something else is stopped.
void PrepareSpareLoader(const LoaderSpawn& what);

// After a load: starts the next spare, where spares are in use (a spare
// was asked for before); a one-off command starts none.
void RenewSpareLoader(const LoaderSpawn& what);
