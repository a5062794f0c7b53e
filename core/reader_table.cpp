#include "core/reader_table.h"

#include "core/plugin_host.h"

bool MatchMask(std::string_view ext, std::string_view mask) {
  if (ext.empty()) return false;
  while (true) {
    const size_t semi = mask.find(';');
    std::string_view entry = mask.substr(0, semi);
    if (entry.empty()) return false;
    const size_t star = entry.find("*.");
    if (star != std::string_view::npos) entry.remove_prefix(star + 2);
    if (entry == ext) return true;
    if (semi == std::string_view::npos) return false;
    mask.remove_prefix(semi + 1);
  }
}

std::string FileExtension(std::string_view path) {
  const size_t slash = path.find_last_of('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot == std::string_view::npos) return {};
  std::string ext(name.substr(dot + 1));
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

void BuildReaderTable(ReaderTable& table, std::span<const BuiltinReader> builtins,
                      bool pluginsFirst, const PluginSource* plugins) {
  if (pluginsFirst && plugins)
    AddPluginReaders(table, plugins->pluginDir, plugins->exePath, plugins->loaderPath);
  for (const BuiltinReader& b : builtins) {
    FormatReader r;
    r.name = b.name;
    r.mask = b.mask;
    r.IsSupport = b.IsSupport;
    r.Load = b.Load;
    r.GetErrMsg = b.GetErrMsg;
    table.push_back(std::move(r));
  }
  if (!pluginsFirst && plugins)
    AddPluginReaders(table, plugins->pluginDir, plugins->exePath, plugins->loaderPath);
}

void ReleaseReaderTable(ReaderTable& table) {
  for (FormatReader& r : table)
    if (r.module) ReleasePluginModule(r.module);
  table.clear();
}
