// Reader plug-ins: shared libraries in the Plugin folder beside the
// executable that answer the version handshake.
#pragma once

#include <string>

#include "core/reader_table.h"

// The number GetPluginVer must return for a library to be accepted.
constexpr int32_t kPluginVersion = 1478492176;

// Appends one FormatReader per accepted library of dir. Anything that fails
// is skipped silently.
void AddPluginReaders(ReaderTable& table, const std::string& dir, const std::string& exePath);

void ReleasePluginModule(void* module);
