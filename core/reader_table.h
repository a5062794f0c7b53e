// The ordered table of format readers and extension matching.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The three operations every reader offers, with plain C signatures so that
// plug-in exports and built-in readers sit in the same fields. Load fills
// CurrentModel; only the low byte of its result counts (non-zero: success).
using IsSupportFn = int32_t (*)(const char* path);
using LoadFn = int32_t (*)(const char* path);
using GetErrMsgFn = const char* (*)();

struct FormatReader {
  void* module = nullptr;  // plug-in library handle; null for built-ins
  std::string name;
  std::string mask;  // entries separated by ";", normally "*.ext"
  IsSupportFn IsSupport = nullptr;
  LoadFn Load = nullptr;
  GetErrMsgFn GetErrMsg = nullptr;
  // A plug-in whose IsSupport and Load run in the loader process: its
  // library, the loader executable and the path GetPluginVer is given.
  // Empty loaderPath: the functions above are called in-process.
  std::string pluginFile{};
  std::string loaderPath{};
  std::string exePath{};
};

using ReaderTable = std::vector<FormatReader>;

// A built-in reader as its source file declares it.
struct BuiltinReader {
  const char* name;
  const char* mask;
  IsSupportFn IsSupport;
  LoadFn Load;
  GetErrMsgFn GetErrMsg;
};

// Whether a lower-case extension without its dot belongs to a mask.
bool MatchMask(std::string_view ext, std::string_view mask);

// The part of the file name after its last ".", ASCII lower-cased; empty
// when the name has no ".".
std::string FileExtension(std::string_view path);

// Adds the plug-in readers of pluginDir (before or after the built-ins, as
// pluginsFirst says) and the built-in ones. An empty pluginDir reads no
// plug-ins.
// loaderPath empty: the loader beside exePath when it is there, else the
// plug-ins run in-process; "-" always runs them in-process.
struct PluginSource {
  PluginSource() = default;
  PluginSource(std::string dir, std::string exe, std::string loader = {})
      : pluginDir(std::move(dir)), exePath(std::move(exe)), loaderPath(std::move(loader)) {}
  std::string pluginDir;
  std::string exePath{};
  std::string loaderPath{};
};
void BuildReaderTable(ReaderTable& table, std::span<const BuiltinReader> builtins,
                      bool pluginsFirst, const PluginSource* plugins);

// Releases the plug-in libraries the table holds and empties it.
void ReleaseReaderTable(ReaderTable& table);
