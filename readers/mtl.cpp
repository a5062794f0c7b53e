#include "readers/mtl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "readers/text_input.h"

namespace {

// Far beyond any real library; a larger file (or a device) is not read.
constexpr int64_t kMaxMtlBytes = int64_t{64} << 20;

bool EqualsLower(std::string_view word, std::string_view lower) {
  if (word.size() != lower.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view NextWord(std::string_view& s) {
  SkipSpace(s);
  size_t e = 0;
  while (e < s.size() && !IsSpace(s[e])) ++e;
  const std::string_view w = s.substr(0, e);
  s.remove_prefix(e);
  return w;
}

// How many values an option of a map line takes: the least and the most
// (the numbers after "-s" may be one to three). -1: not an option known.
struct MapOption {
  std::string_view name;
  int least, most;
};
constexpr MapOption kMapOptions[] = {
    {"-blendu", 1, 1}, {"-blendv", 1, 1},  {"-bm", 1, 1},   {"-boost", 1, 1}, {"-cc", 1, 1},
    {"-clamp", 1, 1},  {"-imfchan", 1, 1}, {"-mm", 2, 2},   {"-o", 1, 3},     {"-s", 1, 3},
    {"-t", 1, 3},      {"-texres", 1, 1},  {"-type", 1, 1},
};

bool IsNumber(std::string_view w) {
  float f;
  return ScanFloat(w, f) && w.empty();
}

// The image of a "map_Kd" line: options ("-s 1 1 1", "-clamp on") come
// first, the file name after them, spaces and all. After an option not
// known the last word is taken.
std::string_view MapFileName(std::string_view rest) {
  rest = Trim(rest);
  while (!rest.empty() && rest[0] == '-') {
    std::string_view after = rest;
    const std::string_view option = NextWord(after);
    const MapOption* known = nullptr;
    for (const MapOption& o : kMapOptions)
      if (EqualsLower(option, o.name)) known = &o;
    if (!known) {
      const size_t space = rest.find_last_of(" \t");
      return space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    }
    for (int k = 0; k < known->most; ++k) {
      std::string_view next = after;
      const std::string_view value = NextWord(next);
      if (value.empty() || (k >= known->least && !IsNumber(value))) break;
      after = next;
    }
    rest = Trim(after);
  }
  return rest;
}

}  // namespace

void ParseMtl(std::string_view text, std::vector<MtlMaterial>& out) {
  MtlMaterial* cur = nullptr;
  bool sawD = false;  // "d" wins over "Tr" whichever comes first
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  while (!text.empty()) {
    const size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const std::string_view key = NextWord(line);
    if (key.empty() || key[0] == '#') continue;
    if (EqualsLower(key, "newmtl")) {
      out.push_back({std::string(Trim(line)), {}});
      cur = &out.back();
      sawD = false;
      continue;
    }
    if (!cur) continue;
    SurfaceMaterial& m = cur->material;
    if (EqualsLower(key, "kd")) {
      float c[3];
      int n = 0;
      while (n < 3 && ScanFloat(line, c[n])) ++n;
      if (n == 0) continue;  // "Kd spectral ..." and the like
      if (n < 3) c[1] = c[2] = c[0];
      for (int i = 0; i < 3; ++i) m.color[i] = c[i];
    } else if (EqualsLower(key, "d")) {
      float d;
      if (ScanFloat(line, d)) {
        m.opacity = d;
        sawD = true;
      }
    } else if (EqualsLower(key, "tr")) {
      float t;
      if (!sawD && ScanFloat(line, t)) m.opacity = 1.0f - t;
    } else if (EqualsLower(key, "map_kd")) {
      m.texture = std::string(MapFileName(line));
    }
  }
}

bool ReadMtlFile(const std::string& path, std::vector<MtlMaterial>& out) {
  // Non-blocking, so that a FIFO put in the library's place cannot stall
  // the load; only a regular file is read.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxMtlBytes) {
    close(fd);
    return false;
  }
  std::string text(static_cast<size_t>(st.st_size), '\0');
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  text.resize(got);
  ParseMtl(text, out);
  return true;
}
