// Containment for code that reads untrusted files: the plug-in loader and
// the thumbnailer enter it before the first byte of a model is read, and
// assume that code a crafted file runs is already inside.
//
// Three walls, each used where the kernel has it:
// - Landlock (the highest ABI the kernel offers): files may be read only
//   below the given folders and the system's libraries; nothing may be
//   written, made or removed by path; no device ioctl; from ABI 6 no
//   signal to a process outside the domain and no abstract-socket connect.
// - seccomp, an allow-list: the calls a reader needs and nothing else
//   (no sockets, exec, fork, kill of others, metadata changes, ioctl but
//   the few harmless ones, prctl but reading and naming).
// - RLIMIT_FSIZE: a file the process writes (the loader's memfd) stays
//   within the given size.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

struct SandboxPolicy {
  // Folders (or files) whose contents may be read, besides the system's
  // libraries and data.
  std::vector<std::string> readable;
  // Also allow what a software OpenGL renderer does once its context
  // exists (threads it starts, code it compiles into memory).
  bool renderer = false;
  // Largest file the process may write through a descriptor it holds;
  // 0 leaves the limit as it is.
  uint64_t maxFileBytes = 0;
};

struct SandboxState {
  bool landlock = false;      // reads limited by path, writes refused
  int landlockAbi = 0;        // the ABI in force (0: none)
  bool seccomp = false;       // the allow-list is loaded
  bool seccompWhole = false;  // ... with every rule (else with what could be built)
};

// The seccomp filter as instructions, built ahead of need: building it is
// most of the cost of entering the sandbox, loading it is not. It holds
// this process's number, so it serves only the process that built it.
struct SeccompProgram {
  std::vector<uint64_t> code;  // struct sock_filter each
  bool whole = false;          // every rule could be built
};
SeccompProgram BuildSeccompProgram(bool renderer);

// Enters the sandbox for every thread of the process (the filter is synced
// to all; Landlock binds the calling thread and those it starts later, so
// call it before starting threads that read files). prebuilt: the filter
// built earlier, else one is built now.
SandboxState EnterSandbox(const SandboxPolicy& policy, const SeccompProgram* prebuilt = nullptr);

// Adds the folders a reader of the model file at path may read: the
// file's own folder, by its real path and by the name given (which may be
// a link into another folder), and, for scenes whose objects and textures
// lie in a sibling folder, the folder above each, unless that is the
// root, a top-level folder (/home, /tmp, /media, ...) or the home folder.
void AddModelFolders(const std::string& path, std::set<std::string>& out);

// One line for --probe and logs: which walls are up.
std::string DescribeSandbox(const SandboxState& s);
