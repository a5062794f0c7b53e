#include "readers/obj.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"
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

// Adds the face of the "f" line at p and returns where the line ends (at
// its line end or last); a bad reference drops the whole face. Tokens are
// separated by spaces only; each is read as atoi reads it, so whatever
// follows the digits ("/2/3") is passed over.
const char* ReadFace(const char* p, const char* const last, PolygonModel& model,
                     std::vector<int32_t>& corners) {
  corners.clear();
  // "f" and the character after it, unless the line ends there.
  for (int i = 0; i < 2; ++i)
    if (++p == last || IsLineEnd(*p)) return p;
  const int64_t n = model.VertexCount();
  constexpr int64_t kLimit = int64_t{1} << 40;  // far beyond any vertex count
  while (true) {
    while (p < last && *p == ' ') ++p;
    if (p == last || IsLineEnd(*p)) break;
    while (p < last && *p != ' ' && IsBlank(*p)) ++p;
    bool negative = false;
    if (p < last && (*p == '+' || *p == '-')) negative = *p++ == '-';
    // Up to 12 digits need no overflow check; any further digit only
    // makes the number larger than every vertex count.
    int64_t v = 0;
    const char* const stopChecking = last - p > 12 ? p + 12 : last;
    while (p < stopChecking && static_cast<unsigned char>(*p - '0') <= 9) v = v * 10 + (*p++ - '0');
    for (; p < last && static_cast<unsigned char>(*p - '0') <= 9; ++p) v = kLimit;
    if (negative) v = -v;
    while (p < last && *p != ' ' && !IsLineEnd(*p)) ++p;
    if (v == 0 || v > n || -v > n) return FindLineEnd(p, last);
    corners.push_back(static_cast<int32_t>(v > 0 ? v - 1 : n + v));
  }
  if (corners.size() == 3)
    model.AddTriangle(corners[0], corners[1], corners[2]);
  else if (corners.size() > 3)
    model.AddPolygon(static_cast<int32_t>(corners.size()), corners.data());
  return p;
}

// Reads the lines of text, whole lines each with its line end (the last
// may have none), into the model. Returns false at a vertex line without
// three numbers, with lineNo at that line.
bool ReadLines(std::string_view text, PolygonModel& model, std::vector<int32_t>& corners,
               int32_t& lineNo) {
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
      p = ReadFace(p, last, model, corners);
    } else {
      p = FindLineEnd(p, last);
    }
    p = SkipLineEnd(p, last);
  }
  return true;
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
  while (lines.NextLines(text)) {
    if (!ReadLines(text, model, corners, lineNo)) {
      FormatMessage(g_msg, sizeof g_msg, "データエラー (line:%ld)", static_cast<long>(lineNo));
      return false;
    }
    reserve.AfterBlock(lines.Consumed());
  }
  return true;
}

int32_t ObjLoad(const char* path) { return ObjLoadInto(path, *CurrentModel); }

const char* ObjGetErrMsg() { return g_msg; }
