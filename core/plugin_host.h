// Reader plug-ins: shared libraries in the Plugin folder beside the
// executable that answer the version handshake.
#pragma once

#include <string>

#include "core/reader_table.h"

// The number GetPluginVer must return for a library to be accepted.
constexpr int32_t kPluginVersion = 1478492176;

// Appends one FormatReader per accepted library of dir (its ".so" files,
// taken in byte order of their names). A library that cannot be opened,
// lacks an export, answers another version or a null text is released
// again without any report. An empty dir reads nothing. The handshake runs
// in-process; IsSupport and Load run in the loader process (see
// PluginSource for how loaderPath picks it).
void AddPluginReaders(ReaderTable& table, const std::string& dir, const std::string& exePath,
                      const std::string& loaderPath = "-");

// The loader executable beside exePath, or empty when there is none.
std::string LoaderBeside(const std::string& exePath);

// Releases a library that AddPluginReaders accepted.
void ReleasePluginModule(void* module);
