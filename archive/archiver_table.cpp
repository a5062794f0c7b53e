#include "archive/archiver_table.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/reader_table.h"

namespace {

constexpr char kMissingSuffix[] = "が見つかりませんでした。";

void* OpenModule(const std::string& name, const ArchiverSearch& search) {
  if (!search.moduleDir.empty()) {
    std::string path = search.moduleDir;
    if (path.back() != '/') path += '/';
    path += name;
    if (void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
  }
  return search.systemSearch ? dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
}

template <typename Fn>
Fn Symbol(void* module, const std::string& name) {
  return reinterpret_cast<Fn>(dlsym(module, name.c_str()));
}

bool LoadSlot(ArchiverSlot& slot, const char* moduleName, const std::string& prefix,
              const char* switches, const ArchiverSearch& search) {
  void* module = OpenModule(moduleName, search);
  if (!module) return false;
  slot.module = module;
  slot.moduleName = moduleName;
  // An entry point the module lacks stays null; callers check before use.
  slot.check = Symbol<ArcCheckFn>(module, prefix + "CheckArchive");
  slot.open = Symbol<ArcOpenFn>(module, prefix + "OpenArchive");
  slot.findFirst = Symbol<ArcFindFirstFn>(module, prefix + "FindFirst");
  slot.findNext = Symbol<ArcFindNextFn>(module, prefix + "FindNext");
  slot.close = Symbol<ArcCloseFn>(module, prefix + "CloseArchive");
  slot.command = Symbol<ArcCommandFn>(module, prefix);
  slot.originalSizeEx = Symbol<ArcOriginalSizeExFn>(module, prefix + "GetOriginalSizeEx");
  slot.listError = Symbol<ArcListErrorFn>(module, prefix + "GetListError");
  slot.switches = switches;
  return true;
}

void AddExtensions(std::string& list, const char* more) {
  if (!list.empty()) list += ',';
  list += more;
}

void NoteMissing(std::string& list, const char* name) {
  if (!list.empty()) list += ", ";
  list += name;
}

}  // namespace

bool LoadArchivers(ArchiverTable& table, const ArchiverSearch& search) {
  UnloadArchivers(table);
  table.extensions.clear();
  table.missing.clear();
  ArchiverSlot* s = table.archivers.data();
  if (LoadSlot(s[kSlotLha], "Unlha32.so", "Unlha", "e -m2 -n1", search))
    AddExtensions(table.extensions, ".lzh");
  else
    NoteMissing(table.missing, "Unlha32.so");
  if (LoadSlot(s[kSlotZip], "7-zip32.so", "SevenZip", "e -aoa -hide", search))
    AddExtensions(table.extensions, ".zip,.7z");
  else if (LoadSlot(s[kSlotZip], "Unzip32.so", "UnZip", "-xoj --i", search))
    AddExtensions(table.extensions, ".zip");
  else
    NoteMissing(table.missing, "7-zip32/Unzip32.so");
  if (LoadSlot(s[kSlotTar], "Tar32.so", "Tar", "--use-directory=0 -xfoI", search))
    AddExtensions(table.extensions, ".tar,.tgz,.gz,.bz2,.z");
  else
    NoteMissing(table.missing, "Tar32.so");
  return s[kSlotLha].Loaded() || s[kSlotZip].Loaded();
}

void UnloadArchivers(ArchiverTable& table) {
  for (ArchiverSlot& slot : table.archivers) {
    if (slot.module) dlclose(slot.module);
    slot = ArchiverSlot();
  }
}

std::string MissingArchiversMessage(const ArchiverTable& table) {
  return table.missing.empty() ? std::string() : table.missing + kMissingSuffix;
}

std::string TreeExtensionList(const ArchiverTable& table, bool withExe) {
  if (table.extensions.empty()) return {};
  return withExe ? table.extensions + ",.exe" : table.extensions;
}

int DetectArchiver(const ArchiverTable& table, const std::string& path) {
  if (FileExtension(path).empty()) return kNoArchiver;
  for (int i = 0; i < kNoArchiver; ++i) {
    const ArchiverSlot& slot = table.archivers[static_cast<size_t>(i)];
    if (slot.Loaded() && slot.check && slot.check(path.c_str(), 2) != 0) return i;
  }
  return kNoArchiver;
}

int ArchiveOpenError(const std::string& path) {
  // Non-blocking: a FIFO must not hold the caller up.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  close(fd);
  return 0;
}
