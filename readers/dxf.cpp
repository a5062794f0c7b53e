#include "readers/dxf.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/load_progress.h"
#include "core/text.h"
#include "readers/text_input.h"

namespace {

char g_msg[80];

// Lines are at most this long; a longer one is split and its rest read as
// further lines. The file is taken in chunks of the same size that end
// after a line feed when one comes sooner.
constexpr size_t kMaxLine = 511;

// Line reader of the DXF format. It keeps the chunking of the line-oriented
// reads the format has always been read with, because the line numbers of
// the error messages and the splitting of long lines depend on it: a NUL
// byte hides the rest of its chunk, and a CR LF is one line end only when
// both bytes lie in the same chunk.
class DxfLines {
 public:
  explicit DxfLines(FILE* f) : f_(f), buf_(BlockSizeFor(f, 1 << 20)) {}

  // The next line, without its end, valid until the next call. False at the
  // end of the file; a last line without a line end is returned first.
  inline bool Next(std::string_view& line);
  // Whether the last line was cut at kMaxLine characters.
  bool cut() const { return cut_; }
  int64_t lineNo = 0;  // lines returned so far

 private:
  bool Refill() {
    if (eof_) return false;
    pos_ = 0;
    // Progress for the window; a cancelled load reads as the end of the file.
    end_ = LoadCheckpointFile(f_) ? fread(buf_.data(), 1, buf_.size(), f_) : 0;
    if (end_ == 0) eof_ = true;
    return end_ != 0;
  }
  int NextChar();
  bool SlowNext(std::string_view& line);

  FILE* f_;
  std::vector<char> buf_;
  size_t pos_ = 0, end_ = 0;
  size_t chunkRaw_ = 0;  // bytes of the current chunk consumed; 0 at a chunk start
  bool dead_ = false;    // a NUL hid the rest of the current chunk
  bool eof_ = false;
  bool cut_ = false;
  std::string long_;
};

// The next character of the current chunk, starting a new chunk as needed;
// -1 at the end of the file.
int DxfLines::NextChar() {
  for (;;) {
    if (pos_ == end_ && !Refill()) return -1;
    const unsigned char c = static_cast<unsigned char>(buf_[pos_++]);
    const bool start = chunkRaw_ == 0;
    const bool ends = c == '\n' || ++chunkRaw_ == kMaxLine;
    if (ends) chunkRaw_ = 0;
    if (dead_) {
      if (ends) dead_ = false;
      continue;
    }
    if (c == 0) {
      // The chunk's text ends here. A chunk that is empty from its first
      // byte is still entered at that byte, so the NUL lands in the line.
      if (!ends) dead_ = true;
      if (start) return 0;
      continue;
    }
    return c;
  }
}

bool DxfLines::SlowNext(std::string_view& line) {
  long_.clear();
  for (;;) {
    const int c = NextChar();
    if (c < 0) {
      // A last line without a line end still counts, unless it is empty.
      if (strnlen(long_.data(), long_.size()) == 0) return false;
      break;
    }
    if (c == '\r' || c == '\n') {
      // The LF of a CR LF is skipped only inside the same chunk.
      if (c == '\r' && chunkRaw_ != 0) {
        if (pos_ == end_) Refill();
        if (pos_ < end_ && buf_[pos_] == '\n') {
          ++pos_;
          chunkRaw_ = 0;
        }
      }
      break;
    }
    long_.push_back(static_cast<char>(c));
    if (long_.size() == kMaxLine) {
      cut_ = true;
      break;
    }
  }
  ++lineNo;
  // A NUL taken into the line ends its text.
  line = std::string_view(long_.data(), strnlen(long_.data(), long_.size()));
  return true;
}

// Index of the first LF, CR or NUL in b[0, room), or room. b must have 512
// readable bytes.
size_t FindLineEnd(const char* b, size_t room) {
#if defined(__SSE2__)
  // Sixteen bytes at a time.
  const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r'), nul = _mm_setzero_si128();
  for (size_t i = 0; i < room; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)),
                                     _mm_cmpeq_epi8(v, nul));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask) {
      const size_t k = i + static_cast<size_t>(__builtin_ctz(mask));
      return k < room ? k : room;
    }
  }
  return room;
#else
  size_t i = 0;
  while (i < room && b[i] != '\n' && b[i] != '\r' && b[i] != 0) ++i;
  return i;
#endif
}

inline bool DxfLines::Next(std::string_view& line) {
  cut_ = false;
  // Fast path: the line and the byte after it lie in the buffer and no NUL
  // interferes; the result is the same as character by character.
  if (!dead_ && end_ - pos_ > kMaxLine) {
    const char* b = buf_.data() + pos_;
    const size_t room = kMaxLine - chunkRaw_;  // bytes left in this chunk
    const size_t i = FindLineEnd(b, room);
    if (i < room && b[i] != 0) {
      line = std::string_view(b, i);
      pos_ += i + 1;
      chunkRaw_ += i + 1;
      if (b[i] == '\n' || chunkRaw_ == kMaxLine) {
        chunkRaw_ = 0;
      } else if (b[i + 1] == '\n') {
        ++pos_;
        chunkRaw_ = 0;
      }
      ++lineNo;
      return true;
    }
    if (i == kMaxLine) {  // a whole chunk without a line end
      line = std::string_view(b, i);
      pos_ += i;
      cut_ = true;
      ++lineNo;
      return true;
    }
  }
  return SlowNext(line);
}

// The binary form of the format: after the sentinel, each group is a code
// (2 bytes little-endian; 1 byte in files of older releases, where 255
// escapes a 2-byte code) and a value whose form the code's range gives:
// a NUL-terminated string, a little-endian double or integer, or a
// length-prefixed binary chunk. The groups are handed out as the lines of
// the text form would be, so the reader above treats both alike and an
// error names the line the text form would have.
constexpr char kBinarySentinel[] = "AutoCAD Binary DXF\r\n\x1a";  // and its NUL
constexpr size_t kSentinelBytes = sizeof kBinarySentinel;         // 22

enum class ValueKind { kString, kDouble, kInt16, kInt32, kInt64, kBool, kChunk, kUnknown };

ValueKind KindOf(int64_t c) {
  struct Range {
    int16_t first, last;
    ValueKind kind;
  };
  static constexpr Range kRanges[] = {
      {0, 9, ValueKind::kString},       {10, 59, ValueKind::kDouble},
      {60, 79, ValueKind::kInt16},      {90, 99, ValueKind::kInt32},
      {100, 100, ValueKind::kString},   {102, 102, ValueKind::kString},
      {105, 105, ValueKind::kString},   {110, 149, ValueKind::kDouble},
      {160, 169, ValueKind::kInt64},    {170, 179, ValueKind::kInt16},
      {210, 239, ValueKind::kDouble},   {270, 289, ValueKind::kInt16},
      {290, 299, ValueKind::kBool},     {300, 309, ValueKind::kString},
      {310, 319, ValueKind::kChunk},    {320, 369, ValueKind::kString},
      {370, 389, ValueKind::kInt16},    {390, 399, ValueKind::kString},
      {400, 409, ValueKind::kInt16},    {410, 419, ValueKind::kString},
      {420, 429, ValueKind::kInt32},    {430, 439, ValueKind::kString},
      {440, 459, ValueKind::kInt32},    {460, 469, ValueKind::kDouble},
      {470, 481, ValueKind::kString},   {999, 999, ValueKind::kString},
      {1004, 1004, ValueKind::kChunk},  {1000, 1009, ValueKind::kString},
      {1010, 1059, ValueKind::kDouble}, {1060, 1070, ValueKind::kInt16},
      {1071, 1071, ValueKind::kInt32},
  };
  for (const Range& r : kRanges)
    if (c >= r.first && c <= r.last) return r.kind;
  return ValueKind::kUnknown;  // its size is unknown: the groups cannot be followed
}

class DxfBinaryLines {
 public:
  // f stands after the sentinel.
  explicit DxfBinaryLines(FILE* f) : f_(f), buf_(BlockSizeFor(f, 1 << 20)) {}

  // The next code or value, as a line of the text form. False at the end of
  // the file, inside a group, or at a code whose value's size is unknown.
  bool Next(std::string_view& line);
  bool cut() const { return false; }  // long strings are cut and their rest skipped
  int64_t lineNo = 0;

 private:
  bool Refill() {
    if (eof_) return false;
    pos_ = 0;
    end_ = LoadCheckpointFile(f_) ? fread(buf_.data(), 1, buf_.size(), f_) : 0;
    if (end_ == 0) eof_ = true;
    return end_ != 0;
  }
  bool Byte(unsigned char& c) {
    if (pos_ == end_ && !Refill()) return false;
    c = buf_[pos_++];
    return true;
  }
  // n (at most 8) bytes as a little-endian number.
  bool Number(int n, uint64_t& out) {
    out = 0;
    for (int i = 0; i < n; ++i) {
      unsigned char c;
      if (!Byte(c)) return false;
      out |= uint64_t{c} << (8 * i);
    }
    return true;
  }
  bool Code(int64_t& code);
  bool Value(std::string_view& line);

  FILE* f_;
  std::vector<unsigned char> buf_;
  size_t pos_ = 0, end_ = 0;
  bool eof_ = false;
  int wide_ = -1;       // 1: 2-byte codes, 0: 1-byte codes, -1: not known yet
  bool value_ = false;  // a value comes next
  int64_t code_ = 0;
  std::string text_;
};

bool DxfBinaryLines::Code(int64_t& code) {
  if (wide_ < 0) {
    // The first group is a 0 (SECTION): its second byte is the code's high
    // byte, 0, only in the 2-byte form.
    if (pos_ == end_ && !Refill()) return false;
    wide_ = end_ - pos_ >= 2 && buf_[pos_ + 1] == 0;
  }
  uint64_t v;
  if (wide_) {
    if (!Number(2, v)) return false;
    code = static_cast<int16_t>(v);
    return true;
  }
  if (!Number(1, v)) return false;
  if (v == 255 && !Number(2, v)) return false;
  code = static_cast<int16_t>(v);
  return true;
}

bool DxfBinaryLines::Value(std::string_view& line) {
  char num[32];
  uint64_t v;
  text_.clear();
  switch (KindOf(code_)) {
    case ValueKind::kString:
      // Up to the NUL; only the first line's worth is kept.
      for (unsigned char c;;) {
        if (!Byte(c)) return false;
        if (c == 0) break;
        if (text_.size() < kMaxLine) text_.push_back(static_cast<char>(c));
      }
      line = text_;
      return true;
    case ValueKind::kDouble: {
      if (!Number(8, v)) return false;
      double d;
      memcpy(&d, &v, sizeof d);
      // Read as a float, as the text form's numbers are; out of range is inf.
      const float f = std::isnan(d)  ? std::numeric_limits<float>::quiet_NaN()
                      : d > FLT_MAX  ? std::numeric_limits<float>::infinity()
                      : d < -FLT_MAX ? -std::numeric_limits<float>::infinity()
                                     : static_cast<float>(d);
      // The shortest text that reads back as the same float.
      const auto r = std::to_chars(num, num + sizeof num, f);
      text_.assign(num, r.ptr);
      break;
    }
    case ValueKind::kInt16:
      if (!Number(2, v)) return false;
      text_ = std::to_string(static_cast<int16_t>(v));
      break;
    case ValueKind::kInt32:
      if (!Number(4, v)) return false;
      text_ = std::to_string(static_cast<int32_t>(v));
      break;
    case ValueKind::kInt64:
      if (!Number(8, v)) return false;
      text_ = std::to_string(static_cast<int64_t>(v));
      break;
    case ValueKind::kBool:
      if (!Number(1, v)) return false;
      text_ = std::to_string(v);
      break;
    case ValueKind::kChunk: {
      // A length byte, then the data: passed over.
      if (!Number(1, v)) return false;
      unsigned char c;
      for (uint64_t i = 0; i < v; ++i)
        if (!Byte(c)) return false;
      break;
    }
    case ValueKind::kUnknown:
      return false;
  }
  line = text_;
  return true;
}

bool DxfBinaryLines::Next(std::string_view& line) {
  if (!value_) {
    if (!Code(code_)) return false;
    text_ = std::to_string(code_);
    line = text_;
  } else if (!Value(line)) {
    return false;
  }
  value_ = !value_;
  ++lineNo;
  return true;
}

// The first word of a value line: leading white space skipped, up to the
// next white space.
std::string_view FirstWord(std::string_view s) {
  SkipSpace(s);
  size_t e = 0;
  while (e < s.size() && !IsSpace(s[e])) ++e;
  return s.substr(0, e);
}

// Compares a word with an upper-case name, ignoring the word's case.
bool IsName(std::string_view word, std::string_view upper) {
  if (word.size() != upper.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != upper[i]) return false;
  }
  return true;
}

// One number by "%g"; the rest of the line is ignored. The view is used up
// in place: copying it costs a stalled reload on this hot path.
bool ScanOneFloat(std::string_view& s, float& out) { return ScanFloat(s, out); }

// One number by "%d", kept within the int32 range.
bool ScanOneInt(std::string_view s, int64_t& out) {
  if (!ScanDecimal(s, out)) return false;
  if (out > INT32_MAX) out = INT32_MAX;
  if (out < INT32_MIN) out = INT32_MIN;
  return true;
}

// Reads groups from the lines of the text form (DxfLines) or of the binary
// form (DxfBinaryLines).
template <class Lines>
class DxfReader {
 public:
  DxfReader(FILE* f, PolygonModel& model) : lines_(f), model_(model) {}

  // Reads up to the EOF group; false on a data error.
  bool Run();
  int64_t lineNo() const { return lines_.lineNo; }

 private:
  // A group code line, converted as atoi does (no number gives 0).
  bool ReadCode(int64_t& code) {
    std::string_view s;
    if (!lines_.Next(s)) return false;
    code = ScanCode(s);
    return true;
  }
  static int64_t ScanCode(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    // Codes are short and unsigned in practice; anything else goes the long way.
    int64_t v = 0;
    const size_t start = i;
    for (; i < s.size() && i - start < 9 && static_cast<unsigned>(s[i] - '0') <= 9; ++i)
      v = v * 10 + (s[i] - '0');
    if (i == start || i - start == 9) return ScanInt(s);
    return v;
  }
  bool ReadFace();
  bool ReadPolyline();
  void AddMeshQuads(int64_t m, int64_t n, int64_t flags, int32_t base, int64_t count);

  Lines lines_;
  PolygonModel& model_;
  bool codeZeroRead_ = false;  // the 3DFACE reader consumed the next code line
};

template <class Lines>
bool DxfReader<Lines>::Run() {
  bool inSection = false;
  std::string_view value;
  for (;;) {
    int64_t code = 0;
    if (codeZeroRead_) {
      codeZeroRead_ = false;
    } else if (!ReadCode(code)) {
      return false;
    }
    if (!lines_.Next(value)) return false;
    if (code == 0) {
      const std::string_view name = FirstWord(value);
      if (IsName(name, "SECTION")) {
        if (inSection) return false;
        inSection = true;
      } else if (IsName(name, "ENDSEC")) {
        if (!inSection) return false;
        inSection = false;
      } else if (IsName(name, "3DFACE")) {
        if (!ReadFace()) return false;
      } else if (IsName(name, "POLYLINE")) {
        if (!ReadPolyline()) return false;
      } else if (IsName(name, "EOF")) {
        return true;
      }
    } else if (code == 2) {
      const std::string_view name = FirstWord(value);
      if (!inSection && (IsName(name, "ENTITIES") || IsName(name, "BLOCKS"))) return false;
    } else if (code >= 1000) {
      // Extended data may hold long texts: skip the rest of a cut line.
      std::string_view rest;
      while (lines_.cut() && lines_.Next(rest)) {
      }
    }
  }
}

template <class Lines>
bool DxfReader<Lines>::ReadFace() {
  // Corner k's x, y and z come with codes 10 + k, 20 + k and 30 + k, in
  // whatever order the exporter wrote them; a repeated code replaces the
  // value.
  float v[4][3];
  unsigned given[4] = {0, 0, 0, 0};  // bit a: axis a of the corner was read
  std::string_view value;
  for (;;) {
    int64_t code;
    if (!ReadCode(code)) return false;
    if (code == 0) break;
    if (!lines_.Next(value)) return false;
    if (code < 10 || code > 33 || code % 10 > 3) continue;
    const int64_t axis = code / 10 - 1, k = code % 10;
    if (!ScanOneFloat(value, v[k][axis])) return false;
    given[k] |= 1u << axis;
  }
  codeZeroRead_ = true;
  constexpr unsigned kAll = 7;
  if (given[0] != kAll || given[1] != kAll || given[2] != kAll) return false;
  int corners = given[3] == kAll ? 4 : 3;
  if (corners == 4 && v[3][0] == v[2][0] && v[3][1] == v[2][1] && v[3][2] == v[2][2]) corners = 3;
  int32_t idx[4];
  for (int k = 0; k < corners; ++k) idx[k] = model_.AddVertex(v[k][0], v[k][1], v[k][2]);
  model_.AddPolygon(corners, idx);
  return true;
}

// Takes back what a polyline added: the vertices from `vertices` on and the
// polygons from `polygons` on.
void DropFrom(PolygonModel& model, int32_t vertices, int32_t polygons) {
  const size_t p = static_cast<size_t>(polygons);
  model.vertices.resize(static_cast<size_t>(vertices));
  model.indexPool.resize(model.polyStart[p]);
  model.polyStart.resize(p + 1);
  model.polyMaterial.resize(p);
  model.polyColor.resize(p);
}

template <class Lines>
bool DxfReader<Lines>::ReadPolyline() {
  int64_t polyFlags = 0, vertexFlags = 0;
  bool inVertex = false;
  float x = 0, y = 0, z = 0, elevation = 0;
  int64_t m = 0, n = 0;
  int64_t corner[4] = {0, 0, 0, 0};
  bool hasFourth = false;
  int64_t count = 0;  // vertices added by this polyline
  const int32_t base = model_.VertexCount();
  const int32_t firstPolygon = model_.PolygonCount();
  // A polyline with vertices of no three-dimensional kind (a 2D polyline,
  // or vertices without flags) is an ordinary drawing line: it is read to
  // its end for errors but adds nothing.
  bool passOver = false;
  std::string_view value;
  for (;;) {
    int64_t code;
    if (!ReadCode(code) || !lines_.Next(value)) return false;
    switch (code) {
      case 10:
      case 20:
      case 30: {
        float f;
        if (!ScanOneFloat(value, f)) return false;
        (code == 10 ? x : code == 20 ? y : z) = f;
        if (code == 30 && !inVertex) elevation = f;
        break;
      }
      case 66:
        if (!inVertex && ScanInt(value) != 1) return false;
        break;
      case 70: {
        const int64_t flags = ScanInt(value);
        if (!inVertex) {
          polyFlags = flags;
          if (flags & (2 | 4)) return false;  // curve-fit or spline-fit vertices
        } else {
          vertexFlags = flags;
          if (flags & (1 | 2 | 4)) return false;
        }
        break;
      }
      case 71:
      case 72:
      case 73:
      case 74: {
        int64_t v;
        if (!ScanOneInt(value, v)) return false;
        if (!inVertex) {
          if (polyFlags & 16) {
            if (code == 71) m = v;
            if (code == 72) n = v;
          }
        } else if (polyFlags == 64) {
          corner[code - 71] = v < 0 ? -v : v;
          if (code == 74) hasFourth = true;
        }
        break;
      }
      case 0: {
        if (inVertex) {
          if (vertexFlags & (8 | 16 | 32 | 64)) {
            if ((polyFlags & 16) && !(vertexFlags & 64)) return false;
            if (!passOver) {
              model_.AddVertex(x, y, z + elevation);
              ++count;
            }
          } else if (vertexFlags != 128) {
            // Neither a coordinate vertex nor a face record.
            if (!passOver) DropFrom(model_, base, firstPolygon);
            passOver = true;
          } else if (!passOver) {
            const int nv = !hasFourth || corner[3] == corner[2] ? 3 : 4;
            int32_t idx[4];
            bool inside = true;
            // Corner numbers count from 1 within this polyline; a face that
            // names a vertex the polyline does not have is left out.
            for (int k = 0; k < nv; ++k) {
              if (corner[k] < 1 || corner[k] > count) inside = false;
              idx[k] = inside ? static_cast<int32_t>(base + corner[k] - 1) : 0;
            }
            if (inside) model_.AddPolygon(nv, idx);
          }
        }
        const std::string_view name = FirstWord(value);
        if (IsName(name, "VERTEX")) {
          inVertex = true;
          hasFourth = false;
        } else if (IsName(name, "SEQEND")) {
          if ((polyFlags & 16) && !passOver) AddMeshQuads(m, n, polyFlags, base, count);
          return true;
        } else {
          return false;
        }
        break;
      }
      default:
        break;
    }
  }
}

// The quads of an M x N polygon mesh whose vertices came row by row. Quads
// naming a vertex the mesh did not deliver are left out, and the loops run
// only over rows that exist, so sizes from the file cannot make them long.
template <class Lines>
void DxfReader<Lines>::AddMeshQuads(int64_t m, int64_t n, int64_t flags, int32_t base,
                                    int64_t count) {
  if (m < 1 || n < 1) return;
  auto quad = [&](int64_t a, int64_t b, int64_t c, int64_t d) {
    if (a >= count || b >= count || c >= count || d >= count) return;
    const int32_t idx[4] = {static_cast<int32_t>(base + a), static_cast<int32_t>(base + b),
                            static_cast<int32_t>(base + c), static_cast<int32_t>(base + d)};
    model_.AddPolygon(4, idx);
  };
  auto v = [n](int64_t i, int64_t j) { return i * n + j; };
  const bool closedN = flags & 32;
  for (int64_t i = 0; i + 1 < m && v(i + 1, 0) < count; ++i) {
    for (int64_t j = 0; j + 1 < n && v(i + 1, j + 1) < count; ++j)
      quad(v(i, j), v(i, j + 1), v(i + 1, j + 1), v(i + 1, j));
    if (closedN) quad(v(i, n - 1), v(i, 0), v(i + 1, 0), v(i + 1, n - 1));
  }
  if ((flags & 1) && v(m - 1, 0) < count) {
    for (int64_t j = 0; j + 1 < n && v(m - 1, j + 1) < count; ++j)
      quad(v(m - 1, j), v(m - 1, j + 1), v(0, j + 1), v(0, j));
    if (closedN) quad(v(m - 1, n - 1), v(m - 1, 0), v(0, 0), v(0, n - 1));
  }
}

template <class Lines>
bool Read(FILE* f, PolygonModel& model, int64_t& lineNo) {
  DxfReader<Lines> reader(f, model);
  const bool ok = reader.Run();
  lineNo = reader.lineNo();
  return ok;
}

}  // namespace

int32_t DxfIsSupport(const char*) {
  g_msg[0] = '\0';
  return 0;
}

bool DxfLoadInto(const char* path, PolygonModel& model) {
  g_msg[0] = '\0';
  File file(path);
  if (!file) {
    CopyMessage(g_msg, "ファイルがオープンできませんでした。");
    return false;
  }
  char head[kSentinelBytes];
  const bool binary = fread(head, 1, sizeof head, file.get()) == sizeof head &&
                      memcmp(head, kBinarySentinel, sizeof head) == 0;
  if (!binary) rewind(file.get());
  int64_t lineNo = 0;
  const bool ok = binary ? Read<DxfBinaryLines>(file.get(), model, lineNo)
                         : Read<DxfLines>(file.get(), model, lineNo);
  if (!ok) {
    FormatMessage(g_msg, sizeof g_msg, "データエラー (line:%lld)", static_cast<long long>(lineNo));
    return false;
  }
  return true;
}

int32_t DxfLoad(const char* path) { return DxfLoadInto(path, *CurrentModel); }

const char* DxfGetErrMsg() { return g_msg; }

std::vector<std::string> DxfSplitLines(const char* path) {
  std::vector<std::string> out;
  File file(path);
  if (!file) return out;
  DxfLines lines(file.get());
  std::string_view line;
  while (lines.Next(line)) out.emplace_back(line);
  return out;
}
