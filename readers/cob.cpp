#include "readers/cob.h"

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/load_progress.h"
#include "core/text.h"
#include "readers/binary_input.h"
#include "readers/text_input.h"

namespace {

char g_msg[80];

constexpr char kSignature[] = "Caligari V00.01";
constexpr size_t kSignatureLength = 15;
constexpr int64_t kBinaryStart = 32;
constexpr char kDataError[] = "データエラー．";

bool Fail(const char* message) {
  CopyMessage(g_msg, message);
  return false;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && memcmp(s.data(), prefix.data(), prefix.size()) == 0;
}

// The header test on the first bytes of the file: the signature, then 'A'
// (text) or 'B' (binary). Returns the form letter, or 0.
char HeaderForm(const unsigned char* head, size_t got) {
  if (got < kSignatureLength + 1 || memcmp(head, kSignature, kSignatureLength) != 0) return 0;
  const char form = static_cast<char>(head[kSignatureLength]);
  return form == 'A' || form == 'B' ? form : 0;
}

// ---------------------------------------------------------------------------
// Text input

// "%d": white space, an optional sign and at least one digit. Values beyond
// 32 bits saturate.
inline bool ScanDecimal(std::string_view& s, int32_t& out) {
  const char* p = s.data();
  const char* const e = p + s.size();
  while (p < e && IsSpace(*p)) ++p;
  bool negative = false;
  if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
  if (p >= e || static_cast<unsigned char>(*p - '0') > 9) return false;
  while (p < e && *p == '0') ++p;
  const char* const digits = p;
  uint64_t v = 0;
  for (; p < e && static_cast<unsigned char>(*p - '0') <= 9; ++p) v = v * 10 + (*p - '0');
  // More than ten significant digits lie beyond 32 bits whatever they are.
  if (p - digits > 10 || v > INT32_MAX) v = uint64_t{INT32_MAX} + 1;
  const int64_t value = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
  out = static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
  s.remove_prefix(static_cast<size_t>(p - s.data()));
  return true;
}

// The part of sscanf the fixed line formats of this format use: a blank
// skips any white space, "%d" stores an int32_t, "%g" a float, "%*d" reads
// and drops an integer, every other character must match. Returns the number
// of values stored, or -1 when the text ends before the first one.
int Scan(std::string_view s, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int stored = 0;
  bool ended = false;
  for (const char* f = fmt; *f; ++f) {
    if (IsSpace(*f)) {
      SkipSpace(s);
      continue;
    }
    if (*f != '%') {
      if (s.empty()) {
        ended = true;
        break;
      }
      if (s[0] != *f) break;
      s.remove_prefix(1);
      continue;
    }
    ++f;
    const bool drop = *f == '*';
    if (drop) ++f;
    SkipSpace(s);
    if (s.empty()) {
      ended = true;
      break;
    }
    if (*f == 'd') {
      int32_t v;
      if (!ScanDecimal(s, v)) break;
      if (!drop) {
        *va_arg(ap, int32_t*) = v;
        ++stored;
      }
    } else {  // 'g'
      float v;
      if (!ScanFloat(s, v)) break;
      if (!drop) {
        *va_arg(ap, float*) = v;
        ++stored;
      }
    }
  }
  va_end(ap);
  return ended && stored == 0 ? -1 : stored;
}

// "%g %g %g" into v: the count scanned, or -1 for a line of white space.
int ScanVertex(std::string_view s, float v[3]) {
  SkipSpace(s);
  if (s.empty()) return -1;
  int n = 0;
  while (n < 3 && ScanFloat(s, v[n])) ++n;
  return n;
}

// "Face verts %d flags %*d mat %d" for k and the material, both needed. The
// usual single spacing is matched directly; anything else goes to Scan,
// which gives the same result for the usual form.
bool ScanFaceHeader(std::string_view line, int32_t& k, int32_t& material) {
  std::string_view s = line;
  int32_t flags;
  if (StartsWith(s, "Face verts ")) {
    s.remove_prefix(11);
    if (ScanDecimal(s, k) && StartsWith(s, " flags ")) {
      s.remove_prefix(7);
      if (ScanDecimal(s, flags) && StartsWith(s, " mat ")) {
        s.remove_prefix(5);
        if (ScanDecimal(s, material)) return true;
      }
    }
  }
  return Scan(line, "Face verts %d flags %*d mat %d", &k, &material) >= 2;
}

// "<%d,%*d>": only the opening bracket and the vertex index decide.
bool ScanCorner(std::string_view piece, int32_t& index) {
  if (piece.empty() || piece[0] != '<') return false;
  piece.remove_prefix(1);
  return ScanDecimal(piece, index);
}

// ---------------------------------------------------------------------------
// Shared by both forms

// Room for `more` elements without giving up geometric growth. Arrays of
// tens of megabytes filled once spend much of their time in page faults, so
// new storage asks for huge pages.
template <typename T>
void Grow(std::vector<T>& v, int64_t more) {
  const size_t want = v.size() + static_cast<size_t>(more);
  if (want <= v.capacity()) return;
  v.reserve(std::max(want, 2 * v.capacity()));
  AdviseHugePages(v);
}

struct Transform {
  float m[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};  // three rows of four
};

inline void AddTransformed(PolygonModel& model, const Transform& t, float x, float y, float z) {
  const float* m = t.m;
  model.AddVertex(m[0] * x + m[1] * y + m[2] * z + m[3], m[4] * x + m[5] * y + m[6] * z + m[7],
                  m[8] * x + m[9] * y + m[10] * z + m[11]);
}

// The polygons of one object by material number, as runs of consecutive
// polygon indices: faces come in runs of one material, and a run is cheaper
// to keep and to colour than its polygons one by one.
struct Run {
  int32_t begin, end;
};
using MaterialFaces = std::unordered_map<int32_t, std::vector<Run>>;

class ObjectFaces {
 public:
  // Polygons are recorded in increasing order.
  void Record(int32_t material, int32_t polygon) {
    if (last_ && material == lastMaterial_ && last_->back().end == polygon) {
      ++last_->back().end;
      return;
    }
    StartRun(material, polygon);
  }

  MaterialFaces Take() {
    MaterialFaces out = std::move(faces_);
    faces_.clear();
    last_ = nullptr;
    return out;
  }

 private:
  [[gnu::noinline]] void StartRun(int32_t material, int32_t polygon) {
    if (!last_ || material != lastMaterial_) {
      last_ = &faces_[material];
      lastMaterial_ = material;
    }
    last_->push_back({polygon, polygon + 1});
  }

  MaterialFaces faces_;
  std::vector<Run>* last_ = nullptr;
  int32_t lastMaterial_ = 0;
};

// Objects by id, filled as each object's faces are complete.
using FileFaces = std::unordered_map<int32_t, MaterialFaces>;

void ApplyColor(const FileFaces& file, PolygonModel& model, int32_t parent, int32_t material,
                float r, float g, float b) {
  const auto object = file.find(parent);
  if (object == file.end()) return;
  const auto faces = object->second.find(material);
  if (faces == object->second.end()) return;
  for (const Run& run : faces->second)
    for (int32_t p = run.begin; p < run.end; ++p) model.SetPolygonColor(p, r, g, b);
}

// ---------------------------------------------------------------------------
// Text form

constexpr char kFaceError[] = "Face データ読込みエラー";

// Counts in the text only hint at the room to reserve. These divisors keep
// each reservation within the bytes the file has left (a vertex takes 12
// bytes of storage, a face 20 and a corner 4; a face's text is at least 30
// bytes).
constexpr int64_t kVertexText = 12;
constexpr int64_t kFaceText = 30;
constexpr int64_t kCornerText = 4;

// What is left of the file after the lines read so far.
int64_t BytesLeft(const LineReader& lines, int64_t fileSize) {
  return fileSize >= 0 ? std::max<int64_t>(fileSize - lines.Consumed(), 0) : 0;
}

// The face list after a "Faces" line. Faces are added with their corners
// offset by base; one naming a vertex outside [base, vertex count) is left
// out.
bool ReadTextFaces(LineReader& lines, int64_t fileSize, std::string_view header, int32_t base,
                   PolygonModel& model, ObjectFaces& faces) {
  int32_t count = 0;
  if (Scan(header, "Faces %d", &count) < 1) return Fail("Faces ヘッダ読込みエラー");
  if (count > 0) {
    const int64_t left = BytesLeft(lines, fileSize);
    const int64_t polys = std::min<int64_t>(count, left / kFaceText);
    Grow(model.polyMaterial, polys);
    Grow(model.polyColor, polys);
    Grow(model.polyStart, polys);
    Grow(model.indexPool, std::min<int64_t>(3 * int64_t{count}, left / kCornerText));
  }
  std::string_view line;
  std::vector<int32_t> corners;
  for (int32_t i = 0; i < count; ++i) {
    if (!lines.Next(line)) return Fail(kFaceError);
    if (StartsWith(line, "Hole ")) {
      if (!lines.Next(line)) return Fail(kFaceError);
      continue;
    }
    if (!StartsWith(line, "Face ")) return Fail("Faces データ読込みエラー");
    int32_t k = 0, material = 0;
    if (!ScanFaceHeader(line, k, material)) return Fail(kFaceError);
    if (!lines.Next(line)) return Fail(kFaceError);
    // The corners are separated by single spaces; the vector grows with the
    // pieces actually present, never with the count.
    corners.clear();
    const int64_t nvert = model.VertexCount();
    bool inside = true;
    size_t pos = 0;
    for (int32_t j = 0; j < k; ++j) {
      if (pos > line.size()) return Fail(kFaceError);
      size_t end = line.find(' ', pos);
      if (end == std::string_view::npos) end = line.size();
      int32_t index;
      if (!ScanCorner(line.substr(pos, end - pos), index)) return Fail(kFaceError);
      pos = end + 1;
      const int64_t v = int64_t{base} + index;
      if (index < 0 || v >= nvert) inside = false;
      corners.push_back(static_cast<int32_t>(v));
    }
    if (k == 3 && inside)
      faces.Record(material, model.AddTriangle(corners[0], corners[1], corners[2]));
    else if (k >= 1 && inside)
      faces.Record(material, model.AddPolygon(k, corners.data()));
  }
  return true;
}

enum class Section { kNone, kWorldVertices, kTextureVertices, kMaterialColor };

bool ParseText(LineReader& lines, int64_t fileSize, PolygonModel& model) {
  std::string_view line;
  bool inObject = false;
  Section section = Section::kNone;
  int32_t objectId = 0;
  int32_t base = model.VertexCount();
  Transform transform;
  ObjectFaces faces;
  FileFaces file;
  int32_t parent = 0, material = 0;
  while (lines.Next(line)) {
    if (StartsWith(line, "End ")) return true;
    if (StartsWith(line, "PolH ")) {
      if (Scan(line, "PolH V%*d.%*d Id %d", &objectId) < 1) return Fail("PolH ヘッダ読込みエラー");
      inObject = true;
      section = Section::kNone;
      faces.Take();
      base = model.VertexCount();
      // An object without a transform of its own is not moved.
      transform = Transform();
      continue;
    }
    if (StartsWith(line, "Grou ")) {
      inObject = false;
      section = Section::kNone;
      continue;
    }
    if (inObject && section == Section::kNone && StartsWith(line, "Transform")) {
      for (int row = 0; row < 3; ++row) {
        float* r = transform.m + 4 * row;
        if (!lines.Next(line) || Scan(line, "%g %g %g %g", &r[0], &r[1], &r[2], &r[3]) < 4)
          return Fail("Transformデータ読込みエラー");
      }
      if (!lines.Next(line)) return Fail("Transformデータ読込みエラー");
      continue;
    }
    if (inObject && section == Section::kNone && StartsWith(line, "World Vertices ")) {
      section = Section::kWorldVertices;
      base = model.VertexCount();
      // The count is only a hint for the room to reserve.
      std::string_view count = line.substr(15);
      int32_t n;
      if (ScanDecimal(count, n) && n > 0)
        Grow(model.vertices, std::min<int64_t>(n, BytesLeft(lines, fileSize) / kVertexText));
      continue;
    }
    if (section == Section::kWorldVertices && StartsWith(line, "Texture Vertices ")) {
      section = Section::kTextureVertices;
      continue;
    }
    if (section == Section::kTextureVertices && StartsWith(line, "Faces ")) {
      if (!ReadTextFaces(lines, fileSize, line, base, model, faces)) return false;
      file[objectId] = faces.Take();
      inObject = false;
      section = Section::kNone;
      continue;
    }
    if (section == Section::kNone && (StartsWith(line, "Mat1 ") || StartsWith(line, "PrTx "))) {
      if (Scan(line.substr(5), "V%*d.%*d Id %*d Parent %d", &parent) < 1)
        return Fail("Material ヘッダ読込みエラー");
      if (!lines.Next(line) || Scan(line, "mat# %d", &material) < 1)
        return Fail("Material データ読込みエラー");
      section = Section::kMaterialColor;
      continue;
    }
    if (section == Section::kWorldVertices) {
      float v[3];
      const int n = ScanVertex(line, v);
      if (n == 3)
        AddTransformed(model, transform, v[0], v[1], v[2]);
      else if (n == 0)
        section = Section::kNone;
      else
        return Fail("Vertex データ読込みエラー");
      continue;
    }
    if (section == Section::kMaterialColor && StartsWith(line, "rgb ")) {
      float r, g, b;
      if (Scan(line, "rgb %g,%g,%g", &r, &g, &b) < 3) return Fail("rgb データ読込みエラー");
      ApplyColor(file, model, parent, material, r, g, b);
      section = Section::kNone;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Binary form

// Buffered reading with every request checked against the end of the file.
class ByteReader {
 public:
  static constexpr size_t kBlock = 1 << 20;  // more than the largest record

  // No larger than the file: a record that does not fit is cut by its end.
  ByteReader(FILE* f, int64_t offset) : f_(f), buf_(BlockSizeFor(f, kBlock)) { SeekTo(offset); }

  // n contiguous bytes (n <= kBlock), or null when the file ends first.
  const unsigned char* Take(size_t n) {
    if (end_ - pos_ >= n) {
      const unsigned char* p = buf_.data() + pos_;
      pos_ += n;
      return p;
    }
    return TakeSlow(n);
  }

  int64_t Tell() const { return base_ + static_cast<int64_t>(pos_); }

  // Moves to an offset, which may lie beyond the end of the file.
  void SeekTo(int64_t offset) {
    if (offset >= base_ && offset <= base_ + static_cast<int64_t>(end_)) {
      pos_ = static_cast<size_t>(offset - base_);
      return;
    }
    base_ = offset;
    pos_ = end_ = 0;
    seek_ = true;
  }

 private:
  const unsigned char* TakeSlow(size_t n) {
    if (seek_) {
      if (fseeko(f_, static_cast<off_t>(base_), SEEK_SET) != 0) return nullptr;
      seek_ = false;
    }
    const size_t rest = end_ - pos_;
    memmove(buf_.data(), buf_.data() + pos_, rest);
    base_ += static_cast<int64_t>(pos_);
    pos_ = 0;
    end_ = rest;
    while (end_ < n) {
      // Progress for the window; a cancelled load fails as a short read.
      if (!LoadCheckpointFile(f_)) return nullptr;
      const size_t got = fread(buf_.data() + end_, 1, buf_.size() - end_, f_);
      if (got == 0) return nullptr;
      end_ += got;
    }
    pos_ = n;
    return buf_.data();
  }

  FILE* f_;
  std::vector<unsigned char> buf_;
  int64_t base_ = 0;  // file offset of buf_[0]
  size_t pos_ = 0, end_ = 0;
  bool seek_ = false;  // the file is not yet at base_
};

template <bool Big>
uint32_t U32(const unsigned char* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  if (Big != (std::endian::native == std::endian::big)) v = __builtin_bswap32(v);
  return v;
}
template <bool Big>
uint16_t U16(const unsigned char* p) {
  return Big ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[0] | p[1] << 8);
}
template <bool Big>
int32_t I32(const unsigned char* p) {
  return static_cast<int32_t>(U32<Big>(p));
}
template <bool Big>
float F32(const unsigned char* p) {
  return std::bit_cast<float>(U32<Big>(p));
}

// Record sizes in the file. Reservations from counts stay within the bytes
// the file has left: a vertex takes 12 bytes in the file and in the model, a
// polygon 20 bytes of storage, a corner 8 bytes in the file and 4 stored.
constexpr int64_t kVertexBytes = 12;
constexpr int64_t kCornerBytes = 8;
constexpr int64_t kPolygonStorage = 20;

template <bool Big>
bool ReadPolH(ByteReader& in, int64_t fileSize, PolygonModel& model, ObjectFaces& faces) {
  const unsigned char* p = in.Take(4);
  if (!p) return false;
  const uint16_t nameLength = U16<Big>(p + 2);
  in.SeekTo(in.Tell() + nameLength + 48);  // the name and the local axes
  if (!(p = in.Take(48))) return false;
  Transform t;
  for (int i = 0; i < 12; ++i) t.m[i] = F32<Big>(p + 4 * i);

  if (!(p = in.Take(4))) return false;
  const int64_t nv = std::max(I32<Big>(p), 0);
  const int32_t base = model.VertexCount();
  const int64_t left = fileSize >= 0 ? std::max<int64_t>(fileSize - in.Tell(), 0) : 0;
  Grow(model.vertices, std::min(nv, left / kVertexBytes));
  for (int64_t i = 0; i < nv; ++i) {
    if (!(p = in.Take(12))) return false;
    AddTransformed(model, t, F32<Big>(p), F32<Big>(p + 4), F32<Big>(p + 8));
  }

  if (!(p = in.Take(4))) return false;
  const int64_t nt = std::max(I32<Big>(p), 0);
  in.SeekTo(in.Tell() + nt * 8);  // texture vertices

  if (!(p = in.Take(4))) return false;
  const int64_t nf = std::max(I32<Big>(p), 0);
  {
    const int64_t room = fileSize >= 0 ? std::max<int64_t>(fileSize - in.Tell(), 0) : 0;
    const int64_t polys = std::min(nf, room / kPolygonStorage);
    Grow(model.polyMaterial, polys);
    Grow(model.polyColor, polys);
    Grow(model.polyStart, polys);
    Grow(model.indexPool, std::min(3 * nf, room / kCornerBytes));
  }
  std::vector<int32_t> corners;
  for (int64_t i = 0; i < nf; ++i) {
    if (!(p = in.Take(3))) return false;
    const unsigned flags = p[0];
    const uint16_t k = U16<Big>(p + 1);
    if (flags & 0x08) {  // a hole
      in.SeekTo(in.Tell() + int64_t{k} * kCornerBytes);
      continue;
    }
    if (!(p = in.Take(2 + size_t{k} * kCornerBytes))) return false;
    const int32_t material = U16<Big>(p);
    corners.resize(k);
    bool inside = true;
    for (size_t j = 0; j < k; ++j) {
      const int32_t index = I32<Big>(p + 2 + kCornerBytes * j);
      // Negative indices wrap to large unsigned values and fail too.
      inside &= static_cast<uint32_t>(index) < static_cast<uint64_t>(nv);
      corners[j] = static_cast<int32_t>(int64_t{base} + index);
    }
    if (k == 3 && inside)
      faces.Record(material, model.AddTriangle(corners[0], corners[1], corners[2]));
    else if (k >= 1 && inside)
      faces.Record(material, model.AddPolygon(k, corners.data()));
  }
  return true;
}

template <bool Big>
bool ParseBinary(ByteReader& in, int64_t fileSize, PolygonModel& model) {
  ObjectFaces faces;
  FileFaces file;
  for (;;) {
    const unsigned char* p = in.Take(4);
    if (!p) return true;  // no further chunk
    char tag[4];
    memcpy(tag, p, 4);
    // From here on a short read means a chunk cut off by the end of the file.
    if (!(p = in.Take(16))) return Fail(kDataError);
    const int32_t id = I32<Big>(p + 4);
    const int32_t parent = I32<Big>(p + 8);
    const int32_t size = I32<Big>(p + 12);
    if (size < 0) return Fail(kDataError);  // would never move on
    const int64_t end = in.Tell() + size;
    if (memcmp(tag, "End ", 4) == 0) return true;
    if (memcmp(tag, "PolH", 4) == 0) {
      if (!ReadPolH<Big>(in, fileSize, model, faces)) return Fail(kDataError);
      file[id] = faces.Take();
    } else if (memcmp(tag, "Mat1", 4) == 0 || memcmp(tag, "PrTx", 4) == 0) {
      if (!(p = in.Take(2 + 3 + 12))) return Fail(kDataError);
      const int32_t material = static_cast<int16_t>(U16<Big>(p));
      ApplyColor(file, model, parent, material, F32<Big>(p + 5), F32<Big>(p + 9), F32<Big>(p + 13));
    }
    if (fileSize >= 0 && end > fileSize) return Fail(kDataError);
    in.SeekTo(end);
  }
}

}  // namespace

int32_t CobIsSupport(const char* path) {
  File file(path);
  if (!file) return -1;
  unsigned char head[kSignatureLength + 1];
  const size_t got = fread(head, 1, sizeof head, file.get());
  return HeaderForm(head, got) ? 1 : -1;
}

bool CobLoadInto(const char* path, PolygonModel& model) {
  File file(path);
  if (!file) {
    CopyMessage(g_msg, "ファイルがオープンできませんでした。");
    return false;
  }
  g_msg[0] = '\0';
  unsigned char head[kSignatureLength + 2];
  const size_t got = fread(head, 1, sizeof head, file.get());
  const char form = HeaderForm(head, got);
  if (form == 'A') {
    const int64_t size = file.Size();
    rewind(file.get());
    LineReader lines(file.get(), 1 << 20, LineEnds::kTextMode);
    std::string_view first;
    lines.Next(first);  // the header line, however long
    return ParseText(lines, size, model);
  }
  if (form == 'B') {
    const bool big = got > kSignatureLength + 1 && head[kSignatureLength + 1] == 'H';
    const int64_t size = file.Size();
    ByteReader in(file.get(), kBinaryStart);
    return big ? ParseBinary<true>(in, size, model) : ParseBinary<false>(in, size, model);
  }
  return false;  // not a COB header: no message
}

int32_t CobLoad(const char* path) { return CobLoadInto(path, *CurrentModel); }

const char* CobGetErrMsg() { return g_msg; }
