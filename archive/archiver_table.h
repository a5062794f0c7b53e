// The archiver table: three slots (LHA, ZIP, TAR) filled from the archiver
// modules, the archive extension list they contribute and detection of the
// archiver that serves a file.
#pragma once

#include <array>
#include <string>

#include "archivers/archiver_api.h"

struct ArchiverSlot {
  void* module = nullptr;  // dlopen handle; null when the slot is empty
  std::string moduleName;  // "Unlha32.so", ...
  ArcCheckFn check = nullptr;
  ArcOpenFn open = nullptr;
  ArcFindFirstFn findFirst = nullptr;
  ArcFindNextFn findNext = nullptr;
  ArcCloseFn close = nullptr;
  ArcCommandFn command = nullptr;
  // Optional: null for a module without them.
  ArcOriginalSizeExFn originalSizeEx = nullptr;
  ArcListErrorFn listError = nullptr;
  std::string switches;  // extraction switches of the command line
  bool Loaded() const { return module != nullptr; }
};

inline constexpr int kSlotLha = 0, kSlotZip = 1, kSlotTar = 2, kNoArchiver = 3;

struct ArchiverTable {
  std::array<ArchiverSlot, 3> archivers;
  std::string extensions;  // ".lzh,.zip,.7z,..." of the loaded slots, in slot order
  std::string missing;     // "Unlha32.so, Tar32.so" when those did not load
};

// Where the modules are looked for: moduleDir first (beside the
// executable), then, when systemSearch is set, the system's library search.
struct ArchiverSearch {
  std::string moduleDir;
  bool systemSearch = true;
};

// Fills the table afresh. True when the LHA or the ZIP slot loaded; a
// loaded TAR slot stays loaded either way.
bool LoadArchivers(ArchiverTable& table, const ArchiverSearch& search);
// Releases every loaded module and empties the slots.
void UnloadArchivers(ArchiverTable& table);

// The message naming the missing modules; empty when none is missing.
std::string MissingArchiversMessage(const ArchiverTable& table);

// The list the folder tree shows archives by, with ",.exe" when
// self-extracting files count too.
std::string TreeExtensionList(const ArchiverTable& table, bool withExe);

// The first loaded slot (0, 1, 2) whose check accepts path; kNoArchiver
// when none does or the path has no extension.
int DetectArchiver(const ArchiverTable& table, const std::string& path);

// 0 when path can be opened for reading; else the errno that stops it
// (EACCES for a file, or a folder on its way, without permission).
int ArchiveOpenError(const std::string& path);
