#include "app/filebrowser.h"

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Glob match with "*" and "?" (iterative, linear backtracking on the last
// star, so no pattern can make it slow).
bool Glob(std::string_view name, std::string_view pat) {
  size_t n = 0, p = 0, starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pat.size() && (pat[p] == '?' || Lower(pat[p]) == Lower(name[n]))) {
      ++n;
      ++p;
    } else if (p < pat.size() && pat[p] == '*') {
      starP = p++;
      starN = n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pat.size() && pat[p] == '*') ++p;
  return p == pat.size();
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

}  // namespace

std::string AllSupportedMask(const ReaderTable& table) {
  std::string all;
  for (size_t i = 0; i < table.size(); ++i) {
    if (i) all += ';';
    all += table[i].mask;
  }
  return all;
}

std::string BuildFilterText(const ReaderTable& table) {
  std::string text = std::string(kFilterAllFiles) + "|*.*|" + kFilterAllFormats + "|" +
                     AllSupportedMask(table) + "|";
  for (const FormatReader& r : table) text += r.name + "|" + r.mask + "|";
  return text;
}

std::vector<FilterEntry> ParseFilterText(std::string_view text) {
  std::vector<FilterEntry> entries;
  while (!text.empty()) {
    const size_t bar = text.find('|');
    FilterEntry e;
    e.description = std::string(text.substr(0, bar));
    if (bar == std::string_view::npos) {
      entries.push_back(std::move(e));
      break;
    }
    text.remove_prefix(bar + 1);
    const size_t bar2 = text.find('|');
    e.mask = std::string(text.substr(0, bar2));
    entries.push_back(std::move(e));
    if (bar2 == std::string_view::npos) break;
    text.remove_prefix(bar2 + 1);
  }
  return entries;
}

bool MatchFileMask(std::string_view fileName, std::string_view mask) {
  while (true) {
    const size_t semi = mask.find(';');
    const std::string_view pat = Trim(mask.substr(0, semi));
    if (pat == "*.*" || pat == "*") return true;
    if (!pat.empty() && Glob(fileName, pat)) return true;
    if (semi == std::string_view::npos) return false;
    mask.remove_prefix(semi + 1);
  }
}

std::string ListedItemPath(std::string_view folder, std::string_view caption,
                           std::string_view extension) {
  std::string path(folder);
  if (path.empty() || path.back() != '/') path += '/';
  path += caption;
  const size_t slash = caption.find_last_of('/');
  const std::string_view base = slash == std::string_view::npos ? caption : caption.substr(slash);
  if (base.find('.') == std::string_view::npos) path += extension;
  return path;
}

std::string FolderPartOf(std::string_view path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}
