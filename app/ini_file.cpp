#include "app/ini_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// The name of a "[name]" line, or nothing.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  const size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

// Splits "key = value"; false for lines without "=" or with an empty key.
bool SplitKey(std::string_view line, std::string_view& key, std::string_view& value) {
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  key = Trim(line.substr(0, eq));
  value = Trim(line.substr(eq + 1));
  return !key.empty();
}

// Creates every missing folder of path's parent.
void MakeParentDirs(const std::string& path) {
  for (size_t pos = 1; (pos = path.find('/', pos)) != std::string::npos; ++pos) {
    const std::string dir = path.substr(0, pos);
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return;
  }
}

}  // namespace

bool ParseWholeInt(std::string_view s, int& out) {
  s = Trim(s);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  long long v = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) return false;
  }
  if (negative) v = -v;
  if (v < INT_MIN || v > INT_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

bool IniFile::Load(const std::string& path) {
  lines_.clear();
  bom_ = false;
  FILE* f = fopen(path.c_str(), "rbe");
  if (!f) return false;
  std::string text;
  char buf[16384];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  const bool ok = !ferror(f);
  fclose(f);
  Parse(text);
  return ok;
}

void IniFile::Parse(std::string_view text) {
  lines_.clear();
  bom_ = text.substr(0, kBom.size()) == kBom;
  if (bom_) text.remove_prefix(kBom.size());
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines_.emplace_back(line);
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
}

std::string IniFile::Text() const {
  std::string out;
  if (bom_) out += kBom;
  for (const std::string& l : lines_) {
    out += l;
    out += '\n';
  }
  return out;
}

bool IniFile::Save(const std::string& path) const {
  MakeParentDirs(path);
  const std::string tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "wbe");
  if (!f) return false;
  const std::string text = Text();
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = fclose(f) == 0 && ok;
  if (ok) ok = rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(tmp.c_str());
  return ok;
}

IniFile::Span IniFile::FindSection(std::string_view section) const {
  Span span;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const auto name = SectionName(lines_[i]);
    if (!name) continue;
    if (span.found) {
      span.end = i;
      return span;
    }
    if (SameName(*name, section)) {
      span.found = true;
      span.begin = i + 1;
    }
  }
  if (span.found) span.end = lines_.size();
  return span;
}

std::optional<std::string> IniFile::Read(std::string_view section, std::string_view key) const {
  const Span s = FindSection(section);
  if (!s.found) return std::nullopt;
  for (size_t i = s.begin; i < s.end; ++i) {
    std::string_view k, v;
    if (SplitKey(lines_[i], k, v) && SameName(k, key)) {
      // A value written in double quotes means what is inside them.
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
      return std::string(v);
    }
  }
  return std::nullopt;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                const std::string& def) const {
  auto v = Read(section, key);
  return v ? *v : def;
}

int IniFile::ReadInteger(std::string_view section, std::string_view key, int def) const {
  const auto v = Read(section, key);
  int out;
  return v && ParseWholeInt(*v, out) ? out : def;
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  value = value.substr(0, value.find_first_of("\r\n"));
  std::string line(key);
  line += '=';
  line += value;
  const Span s = FindSection(section);
  if (!s.found) {
    if (!lines_.empty() && !Trim(lines_.back()).empty()) lines_.emplace_back();
    std::string header = "[";
    header.append(section);
    header += ']';
    lines_.push_back(std::move(header));
    lines_.push_back(std::move(line));
    return;
  }
  size_t lastContent = s.begin;  // insert after the section's last non-blank line
  for (size_t i = s.begin; i < s.end; ++i) {
    std::string_view k, v;
    if (SplitKey(lines_[i], k, v) && SameName(k, key)) {
      lines_[i] = std::move(line);
      return;
    }
    if (!Trim(lines_[i]).empty()) lastContent = i + 1;
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(lastContent), std::move(line));
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
  WriteString(section, key, std::to_string(value));
}
