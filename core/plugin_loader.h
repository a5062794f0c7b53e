// The window's side of the plug-in loader: a plug-in reader's IsSupport and
// Load run in a child process (tarnelle-loader) under address-space, CPU
// and wall-clock limits. The loaded model is read straight from the
// child's arrays, or, where the system forbids that, through a shared
// memory file. A child that crashes or is killed costs one load, never the
// caller.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/loader_protocol.h"
#include "core/loader_spawn.h"
#include "core/model.h"
#include "core/reader_table.h"

// The executable beside the program that runs plug-ins.
inline constexpr char kLoaderName[] = "tarnelle-loader";

// Environment overrides: the address-space cap in MiB, and the CPU-time
// floor in seconds (the cap then grows with the file size).
inline constexpr char kLoaderMemoryEnv[] = "TARNELLE_PLUGIN_MEMORY_MB";
inline constexpr char kLoaderCpuEnv[] = "TARNELLE_PLUGIN_CPU_SECONDS";

struct LoaderLimits {
  uint64_t addressSpace = 0;  // bytes
  int cpuSeconds = 0;
  int wallSeconds = 0;
};

// The smaller of 3/4 of physical memory and 16 GiB, unless the environment
// says otherwise.
uint64_t LoaderAddressSpaceCap();
// The limits for a file of this size.
LoaderLimits LoaderLimitsFor(uint64_t fileSize);

// What a loader for this table's plug-ins is started with.
LoaderSpawn LoaderSpawnFor(const ReaderTable& table, const FormatReader& r);
// Starts a loader ahead of the first plug-in load, when the table has
// plug-ins that run in one (for the window: a one-off command would only
// start it beside the load that needs it).
void PrestartPluginLoader(const ReaderTable& table);

// One load's child: started at the first plug-in call and killed when the
// session ends, when it runs over a limit or when the installed LoadControl
// is cancelled.
class PluginLoaderSession {
 public:
  // A plug-in's answer, or the reason its loader died (died set, error
  // holds the log text).
  struct Result {
    int32_t value = 0;
    bool died = false;
    std::string error;
  };

  PluginLoaderSession(const ReaderTable& table, std::string modelPath);
  ~PluginLoaderSession();
  PluginLoaderSession(const PluginLoaderSession&) = delete;
  PluginLoaderSession& operator=(const PluginLoaderSession&) = delete;

  Result IsSupport(const FormatReader& r);
  // The child's model (also what a failed load left) replaces the
  // contents of model; on failure error holds the plug-in's GetErrMsg text.
  Result Load(const FormatReader& r, PolygonModel& model);

  // Log lines about this session's loads: the files the sandbox refused
  // the plug-in, and, when the load failed, the end of what the plug-in
  // printed. Cleared by the call.
  std::vector<std::string> TakeNotes(bool failed);

 private:
  bool Start(const FormatReader& r, std::string& error);
  Result Call(const FormatReader& r, uint32_t op, std::string& errorText,
              loader_protocol::Reply* replyOut = nullptr);
  std::string Reap(bool killedForTime);
  void Stop();
  bool ReadExactly(void* buf, size_t n, bool& timedOut);

  const ReaderTable& table_;
  std::string modelPath_;
  // The model as the loader's descriptors name it, and its size: how far
  // the plug-in has read is the position of its descriptor on it.
  std::string realModelPath_;
  int64_t modelSize_ = 0;
  LoaderLimits limits_;
  pid_t pid_ = -1;
  int sock_ = -1;
  int memfd_ = -1;
  int64_t deadlineMs_ = 0;
  bool outOfMemory_ = false;
  // What the next load's spare is started with, once this session used one.
  LoaderSpawn spare_;
  // The loader's standard output and error, and the last of what came.
  int output_ = -1;
  std::string printed_;
  // Files the sandbox refused, as the loader reported them.
  std::vector<std::string> refused_;
  uint64_t refusedTotal_ = 0;
  void DrainOutput();
  bool ReadRefused(bool& timedOut);
};
