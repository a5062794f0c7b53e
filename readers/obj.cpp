#include "readers/obj.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/text.h"
#include "readers/mtl.h"
#include "readers/reserve_ahead.h"
#include "readers/text_input.h"

namespace {

char g_msg[80];

constexpr size_t kSniffBytes = 1024;  // IsSupport looks at this much of the file

// "v %g %g %g": the letter, then three numbers.
bool ScanVertexLine(std::string_view s, float v[3]) {
  if (s.empty() || s[0] != 'v') return false;
  s.remove_prefix(1);
  return ScanFloat(s, v[0]) && ScanFloat(s, v[1]) && ScanFloat(s, v[2]);
}

inline bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

// What the appearance needs while the lines are read: texture coordinates,
// the material names in the order "usemtl" first names them, the one in use
// and the libraries named.
struct ObjLook {
  std::vector<Float2> uvs;
  std::unordered_map<std::string, int32_t> materialIndex;
  std::vector<std::string> materialNames;
  int32_t material = -1;
  std::vector<std::string> libraries;
};

// A reference of a face token, as for vertices: 1-based, or negative
// counting back from the last one read. Returns the 0-based index, or -1.
inline int32_t ReadReference(const char*& p, const char* const last, int64_t n) {
  constexpr int64_t kLimit = int64_t{1} << 40;  // far beyond any count
  bool negative = false;
  if (p < last && (*p == '+' || *p == '-')) negative = *p++ == '-';
  // Up to 12 digits need no overflow check; any further digit only makes
  // the number larger than every count.
  int64_t v = 0;
  const char* const stopChecking = last - p > 12 ? p + 12 : last;
  while (p < stopChecking && static_cast<unsigned char>(*p - '0') <= 9) v = v * 10 + (*p++ - '0');
  for (; p < last && static_cast<unsigned char>(*p - '0') <= 9; ++p) v = kLimit;
  if (negative) v = -v;
  if (v == 0 || v > n || -v > n) return -1;
  return static_cast<int32_t>(v > 0 ? v - 1 : n + v);
}

// Adds the face of the "f" line at p and returns where the line ends (at
// its line end or last); a bad reference drops the whole face. Tokens are
// separated by spaces only; each is read as atoi reads it, so whatever
// follows the digits is passed over, apart from the texture coordinate
// ("/2") once the file has any.
const char* ReadFace(const char* p, const char* const last, PolygonModel& model,
                     std::vector<int32_t>& corners, ObjLook& look) {
  corners.clear();
  // "f" and the character after it, unless the line ends there.
  for (int i = 0; i < 2; ++i)
    if (++p == last || IsLineEnd(*p)) return p;
  // The corners' coordinates go straight after those of the polygons
  // before, and are taken back when the face is left out.
  const bool withUV = !look.uvs.empty();
  // References are 32-bit, as for vertices.
  const int64_t nuv = std::min<int64_t>(static_cast<int64_t>(look.uvs.size()), INT32_MAX);
  std::vector<Float2>& uvOut = model.appearance.cornerUV;
  size_t uvStart = 0;
  if (withUV) {
    uvStart = model.indexPool.size();
    if (uvOut.capacity() - uvOut.size() < 16 || uvOut.size() < uvStart)
      ReserveLarge(uvOut, std::max(model.indexPool.capacity(), uvStart + uvStart / 2) + 16);
    uvOut.resize(uvStart, Float2{0.0f, 0.0f});  // faces before the first "vt" have none
  }
  const int64_t n = model.VertexCount();
  while (true) {
    while (p < last && *p == ' ') ++p;
    if (p == last || IsLineEnd(*p)) break;
    while (p < last && *p != ' ' && IsBlank(*p)) ++p;
    const int32_t v = ReadReference(p, last, n);
    if (withUV) {
      // A missing or bad coordinate reference gives the corner none.
      int32_t t = -1;
      if (p < last && *p == '/') t = ReadReference(++p, last, nuv);
      uvOut.push_back(t >= 0 ? look.uvs[static_cast<size_t>(t)] : Float2{0.0f, 0.0f});
    }
    while (p < last && *p != ' ' && !IsLineEnd(*p)) ++p;
    if (v < 0) {
      if (withUV) uvOut.resize(uvStart);
      return FindLineEnd(p, last);
    }
    corners.push_back(v);
  }
  if (corners.size() < 3) {
    if (withUV) uvOut.resize(uvStart);
    return p;
  }
  const int32_t polygon =
      corners.size() == 3 ? model.AddTriangle(corners[0], corners[1], corners[2])
                          : model.AddPolygon(static_cast<int32_t>(corners.size()), corners.data());
  if (look.material >= 0)
    SetPolygonMaterial(model.appearance, static_cast<size_t>(polygon), look.material);
  return p;
}

// The rest of a line after its keyword, without the blanks around it.
std::string_view RestOfLine(const char* p, const char* last) {
  p = SkipBlanks(p, last);
  const char* e = FindLineEnd(p, last);
  while (e > p && IsBlank(e[-1])) --e;
  return std::string_view(p, static_cast<size_t>(e - p));
}

// "vt u v [w]": a coordinate that does not scan reads as 0.
const char* ReadTextureCoordinate(const char* p, const char* last, ObjLook& look) {
  float uv[2] = {0.0f, 0.0f};
  for (float& c : uv) {
    p = SkipBlanks(p, last);
    if (!ScanFloatAt(p, last, c)) break;
  }
  look.uvs.push_back({uv[0], uv[1]});
  return FindLineEnd(p, last);
}

// "usemtl name": later faces take the named material.
void UseMaterial(std::string_view name, ObjLook& look) {
  const auto [it, added] = look.materialIndex.try_emplace(
      std::string(name), static_cast<int32_t>(look.materialNames.size()));
  if (added) look.materialNames.emplace_back(name);
  look.material = it->second;
}

bool KeywordAt(const char* p, const char* last, std::string_view word) {
  return static_cast<size_t>(last - p) > word.size() && std::string_view(p, word.size()) == word &&
         IsBlank(p[word.size()]);
}

// Reads the lines of text, whole lines each with its line end (the last
// may have none), into the model. Returns false at a vertex line without
// three numbers, with lineNo at that line.
bool ReadLines(std::string_view text, PolygonModel& model, std::vector<int32_t>& corners,
               int32_t& lineNo, ObjLook& look) {
  const char* p = text.data();
  const char* const last = p + text.size();
  while (p < last) {
    ++lineNo;
    p = SkipBlanks(p, last);
    if (p < last && *p == 'v' && last - p > 1 && IsBlank(p[1])) {
      // "v %g %g %g"; numbers never run over a line end.
      p += 2;
      float v[3];
      for (float& c : v) {
        p = SkipBlanks(p, last);
        if (!ScanFloatAt(p, last, c)) return false;
      }
      model.AddVertex(v[0], v[1], v[2]);
      if (p < last && !IsLineEnd(*p)) p = FindLineEnd(p, last);
    } else if (p < last && *p == 'f') {
      p = ReadFace(p, last, model, corners, look);
    } else if (KeywordAt(p, last, "vt")) {
      p = ReadTextureCoordinate(p + 3, last, look);
    } else if (KeywordAt(p, last, "usemtl")) {
      UseMaterial(RestOfLine(p + 7, last), look);
      p = FindLineEnd(p, last);
    } else if (KeywordAt(p, last, "mtllib")) {
      const std::string_view names = RestOfLine(p + 7, last);
      if (!names.empty()) look.libraries.emplace_back(names);
      p = FindLineEnd(p, last);
    } else {
      p = FindLineEnd(p, last);
    }
    p = SkipLineEnd(p, last);
  }
  return true;
}

// A library's name as the file gives it, inside the model's folder: no
// absolute path and no step up.
bool InsideModelFolder(std::string_view name) {
  if (name.empty() || name[0] == '/' || name[0] == '\\') return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = name.size();
    if (name.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

// Reads one library named by "mtllib", relative to the model's folder. The
// name may hold spaces; when no file has the whole name, each word is
// tried as a name of its own. Image names are made relative to the model's
// folder. A library that cannot be read is no error.
void ReadLibrary(const std::string& folder, std::string_view names,
                 std::vector<MtlMaterial>& materials) {
  auto read = [&](std::string_view name) {
    if (!InsideModelFolder(name)) return false;
    const size_t before = materials.size();
    if (!ReadMtlFile(folder + std::string(name), materials)) return false;
    const size_t slash = name.find_last_of('/');
    if (slash == std::string_view::npos) return true;
    const std::string_view sub = name.substr(0, slash + 1);
    for (size_t i = before; i < materials.size(); ++i) {
      std::string& t = materials[i].material.texture;
      if (!t.empty() && t[0] != '/') t.insert(0, sub);
    }
    return true;
  };
  if (read(names)) return;
  while (!names.empty()) {
    size_t b = 0;
    while (b < names.size() && IsBlank(names[b])) ++b;
    size_t e = b;
    while (e < names.size() && !IsBlank(names[e])) ++e;
    if (e > b) read(names.substr(b, e - b));
    names.remove_prefix(e);
  }
}

// The materials "usemtl" named, from the libraries: a name no library
// defines leaves its faces without appearance.
void SetMaterials(const char* path, const ObjLook& look, SurfaceAppearance& a) {
  const std::string_view p(path);
  const size_t slash = p.find_last_of('/');
  const std::string folder(slash == std::string_view::npos ? std::string_view()
                                                           : p.substr(0, slash + 1));
  std::vector<MtlMaterial> defined;
  for (const std::string& names : look.libraries) ReadLibrary(folder, names, defined);
  std::unordered_map<std::string_view, size_t> byName;
  for (size_t i = 0; i < defined.size(); ++i) byName.try_emplace(defined[i].name, i);
  std::vector<int32_t> index(look.materialNames.size(), -1);
  for (size_t i = 0; i < look.materialNames.size(); ++i) {
    const auto it = byName.find(look.materialNames[i]);
    if (it == byName.end()) continue;
    index[i] = static_cast<int32_t>(a.materials.size());
    a.materials.push_back(defined[it->second].material);
  }
  for (int32_t& m : a.polygonMaterial)
    if (m >= 0) m = index[static_cast<size_t>(m)];
}

}  // namespace

int32_t ObjIsSupport(const char* path) {
  File file(path);
  if (!file) return 0;
  char buf[kSniffBytes];
  size_t got = fread(buf, 1, sizeof buf, file.get());
  // The last byte read is overwritten by the end mark, and the text ends at
  // the first NUL as a C string does.
  size_t len = got == 0 ? 0 : got - 1;
  std::string_view text(buf, len);
  // UTF-16 text is looked at converted: as many characters, less the last.
  std::string wide;
  if (const int bom = Utf16Bom(reinterpret_cast<const unsigned char*>(buf), got)) {
    std::vector<unsigned char> raw(2 + 2 * kSniffBytes);
    memcpy(raw.data(), buf, got);
    got += fread(raw.data() + got, 1, raw.size() - got, file.get());
    const size_t units = (got - 2) / 2 - 1;  // Utf16Bom saw one after the mark
    wide.resize(3 * units);
    size_t used = 0;
    wide.resize(Utf16ToUtf8(raw.data() + 2, 2 * units, bom == 1, true, wide.data(), used));
    text = wide;
  }
  if (const size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  size_t pos = 0;
  bool first = true;
  while (true) {
    if (!first)
      while (pos < text.size() && IsSpace(text[pos])) ++pos;
    first = false;
    const size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) return -1;  // the cut-off piece
    std::string_view line = text.substr(pos, end - pos);
    float v[3];
    if (ScanVertexLine(line, v)) return 1;
    if (line.empty() || !strchr("#bcdefghlmopstuv", line[0])) return -1;
    pos = end + 1;
  }
}

bool ObjLoadInto(const char* path, PolygonModel& model) {
  g_msg[0] = '\0';
  File file(path);
  if (!file) {
    CopyMessage(g_msg, "ファイルがオープンできませんでした。");
    return false;
  }
  LineReader lines(file.get(), 1 << 20, LineEnds::kAny, TextEncoding::kDetectUtf16);
  ReserveAhead reserve(model, file.Size());
  std::string_view text;
  std::vector<int32_t> corners;
  int32_t lineNo = 0;
  ObjLook look;
  while (lines.NextLines(text)) {
    if (!ReadLines(text, model, corners, lineNo, look)) {
      FormatMessage(g_msg, sizeof g_msg, "データエラー (line:%ld)", static_cast<long>(lineNo));
      return false;
    }
    reserve.AfterBlock(lines.Consumed());
  }
  if (!look.materialNames.empty()) SetMaterials(path, look, model.appearance);
  return true;
}

int32_t ObjLoad(const char* path) { return ObjLoadInto(path, *CurrentModel); }

const char* ObjGetErrMsg() { return g_msg; }
