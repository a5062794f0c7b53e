#include "core/plugin_host.h"

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "core/plugin_loader.h"

namespace {

using GetPluginVerFn = int32_t (*)(const char* exePath);
using GetSupportInfoFn = const char* (*)(int32_t which);

bool EndsWithSo(const char* name) {
  const std::string_view n(name);
  return n.size() > 3 && n.substr(n.size() - 3) == ".so";
}

// The ".so" files of dir in byte order of their names, so that the table
// order does not depend on the file system or the locale.
std::vector<std::string> PluginFiles(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (const dirent* e = readdir(d))
    if (e->d_type != DT_DIR && EndsWithSo(e->d_name)) names.emplace_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

template <typename Fn>
Fn Lookup(void* module, const char* name) {
  return reinterpret_cast<Fn>(dlsym(module, name));
}

// Runs the handshake on one loaded library and fills r; false when the
// library does not qualify.
bool Handshake(void* module, const std::string& exePath, FormatReader& r) {
  const auto getVer = Lookup<GetPluginVerFn>(module, "GetPluginVer");
  if (!getVer || getVer(exePath.c_str()) != kPluginVersion) return false;
  const auto getInfo = Lookup<GetSupportInfoFn>(module, "GetSupportInfo");
  if (!getInfo) return false;
  // Each text is copied before the next call: a plug-in may hand out the
  // same buffer twice.
  const char* name = getInfo(0);
  if (!name) return false;
  r.name = name;
  const char* ext = getInfo(1);
  if (!ext) return false;
  r.mask = std::string("*.") + ext;
  for (size_t i = 2; i < r.mask.size(); ++i)
    if (r.mask[i] >= 'A' && r.mask[i] <= 'Z') r.mask[i] = static_cast<char>(r.mask[i] - 'A' + 'a');
  r.Load = Lookup<LoadFn>(module, "Load");
  r.IsSupport = Lookup<IsSupportFn>(module, "IsSupport");
  r.GetErrMsg = Lookup<GetErrMsgFn>(module, "GetErrMsg");
  if (!r.Load || !r.IsSupport || !r.GetErrMsg) return false;
  r.module = module;
  return true;
}

}  // namespace

std::string LoaderBeside(const std::string& exePath) {
  const size_t slash = exePath.find_last_of('/');
  const std::string path =
      (slash == std::string::npos ? std::string() : exePath.substr(0, slash + 1)) + kLoaderName;
  return access(path.c_str(), X_OK) == 0 ? path : std::string();
}

void AddPluginReaders(ReaderTable& table, const std::string& dir, const std::string& exePath,
                      const std::string& loaderPath) {
  if (dir.empty()) return;
  const std::string loader = loaderPath == "-"    ? std::string()
                             : loaderPath.empty() ? LoaderBeside(exePath)
                                                  : loaderPath;
  const std::string folder = dir.back() == '/' ? dir : dir + "/";
  for (const std::string& name : PluginFiles(folder)) {
    const std::string path = folder + name;
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) continue;
    bool accepted = false;
    // A plug-in that throws during the handshake is rejected like one that
    // fails it; the library is released only after the exception is gone.
    try {
      FormatReader r;
      if (Handshake(module, exePath, r)) {
        if (!loader.empty()) {
          r.pluginFile = path;
          r.loaderPath = loader;
          r.exePath = exePath;
        }
        table.push_back(std::move(r));
        accepted = true;
      }
    } catch (...) {
      accepted = false;
    }
    if (!accepted) dlclose(module);
  }
  dlerror();  // failed opens leave a text behind; nobody reports it
}

void ReleasePluginModule(void* module) {
  if (module) dlclose(module);
}
