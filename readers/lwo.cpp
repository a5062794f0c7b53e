#include "readers/lwo.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/text.h"
#include "readers/binary_input.h"
#include "readers/text_input.h"

namespace {

char g_msg[80];

constexpr char kOpenError[] = "ファイルがオープンできませんでした。";
constexpr char kDataError[] = "データエラー．";

constexpr uint64_t kFormHeader = 12;  // "FORM", form length, form type
constexpr uint64_t kChunkHeader = 8;  // identifier, 32-bit length
constexpr uint64_t kSubHeader = 6;    // identifier, 16-bit length
constexpr uint64_t kPointBytes = 12;
constexpr size_t kSniffBytes = 16;

bool IdIs(const unsigned char* p, const char (&id)[5]) { return memcmp(p, id, 4) == 0; }

// A zero-terminated name inside [pos, end), followed by a pad byte when the
// name with its zero byte has an odd length. Advances pos past both (pos may
// then lie one past end). Returns false when no zero byte lies before end.
bool ReadPaddedName(const unsigned char* d, uint64_t& pos, uint64_t end, std::string& out) {
  const void* nul = pos < end ? memchr(d + pos, 0, end - pos) : nullptr;
  if (!nul) return false;
  const uint64_t zero = static_cast<uint64_t>(static_cast<const unsigned char*>(nul) - d);
  out.assign(reinterpret_cast<const char*>(d + pos), zero - pos);
  pos = zero + 1 + (out.size() % 2 == 0 ? 1 : 0);
  return true;
}

// ---------------------------------------------------------------- LWOB

struct SurfaceV1 {
  std::string name;
  Float3 color{0, 0, 0};
};

void ReadPointsInto(const unsigned char* p, uint64_t length, PolygonModel& model) {
  const uint64_t n = length / kPointBytes;
  // Grown geometrically: many layers must not copy the list once each.
  const size_t need = model.vertices.size() + n;
  if (need > model.vertices.capacity())
    model.vertices.reserve(std::max(need, 2 * model.vertices.capacity()));
  for (uint64_t i = 0; i < n; ++i, p += kPointBytes)
    model.AddVertex(LoadBeFloat(p), LoadBeFloat(p + 4), -LoadBeFloat(p + 8));
}

// Polygons of a version 1 POLS chunk: count, indices, surface number, and
// after a negative surface number a count of detail polygons, which are
// read and dropped. Polygons with fewer than 3 corners or with a corner
// that names no point read so far are left out.
void ReadPolygonsV1(const unsigned char* d, uint64_t pos, uint64_t end, PolygonModel& model) {
  const int64_t nvert = model.VertexCount();
  std::vector<int32_t> corners;
  uint64_t details = 0;  // detail polygons still to drop
  while (pos + 2 <= end) {
    const uint64_t n = LoadBe16(d + pos);
    pos += 2;
    if (pos + 2 * n + 2 > end) break;  // cut at the end of the chunk
    bool keep = n >= 3 && details == 0;
    if (keep) {
      corners.resize(n);
      for (uint64_t k = 0; k < n; ++k) {
        const int32_t v = LoadBe16(d + pos + 2 * k);
        keep = keep && v < nvert;
        corners[k] = v;
      }
    }
    pos += 2 * n;
    const int16_t surface = static_cast<int16_t>(LoadBe16(d + pos));
    pos += 2;
    if (details > 0) --details;
    if (surface < 0) {
      if (pos + 2 > end) break;
      details += LoadBe16(d + pos);
      pos += 2;
    }
    if (keep) {
      const int32_t material = surface == 0 ? -1 : std::abs(int32_t{surface});
      model.AddPolygon(static_cast<int32_t>(n), corners.data(), material);
    }
  }
}

// The names of an SRFS chunk, each zero-terminated and padded to an even
// length; they number the surfaces from 1.
void ReadSurfaceNames(const unsigned char* d, uint64_t pos, uint64_t end,
                      std::vector<SurfaceV1>& surfaces) {
  surfaces.clear();
  std::string name;
  while (pos < end) {
    if (!ReadPaddedName(d, pos, end, name)) {
      name.assign(reinterpret_cast<const char*>(d + pos), end - pos);
      pos = end;
    }
    surfaces.push_back({name});
  }
}

// A version 1 SURF chunk: only a COLR sub-chunk right after the name is
// taken, as red, green and blue bytes.
void ReadSurfaceV1(const unsigned char* d, uint64_t pos, uint64_t end,
                   std::vector<SurfaceV1>& surfaces) {
  std::string name;
  if (!ReadPaddedName(d, pos, end, name)) return;
  if (pos + kSubHeader + 3 > end || !IdIs(d + pos, "COLR")) return;
  const unsigned char* rgb = d + pos + kSubHeader;
  const Float3 color{rgb[0] / 255.0f, rgb[1] / 255.0f, rgb[2] / 255.0f};
  for (SurfaceV1& s : surfaces)
    if (s.name == name) s.color = color;
}

// Never fails: a chunk that cannot be read whole ends the reading.
void ReadLwob(const unsigned char* d, uint64_t size, PolygonModel& model) {
  const int32_t firstPolygon = model.PolygonCount();
  std::vector<SurfaceV1> surfaces;
  bool pnts = false, pols = false, srfs = false, surf = false;
  uint64_t pos = kFormHeader;
  while (pos + 4 <= size) {
    const unsigned char* id = d + pos;
    const bool known = IdIs(id, "PNTS") || IdIs(id, "POLS") || IdIs(id, "SRFS") || IdIs(id, "SURF");
    if (!known && pnts && pols && srfs && surf) break;
    if (pos + kChunkHeader > size) break;
    const uint64_t body = pos + kChunkHeader;
    const uint64_t end = body + LoadBe32(d + pos + 4);
    if (end > size) break;
    if (IdIs(id, "PNTS")) {
      ReadPointsInto(d + body, end - body, model);
      pnts = true;
    } else if (IdIs(id, "POLS")) {
      ReadPolygonsV1(d, body, end, model);
      pols = true;
    } else if (IdIs(id, "SRFS")) {
      ReadSurfaceNames(d, body, end, surfaces);
      srfs = true;
    } else if (IdIs(id, "SURF")) {
      ReadSurfaceV1(d, body, end, surfaces);
      surf = true;
    }
    pos = end;
  }

  // A surface number without a surface leaves the polygon in the object
  // colour rather than in a colour nobody chose.
  const int64_t nsurf = static_cast<int64_t>(surfaces.size());
  for (int32_t p = firstPolygon; p < model.PolygonCount(); ++p) {
    int32_t& m = model.material(p);
    if (m < 1) continue;
    if (m <= nsurf)
      model.color(p) = surfaces[m - 1].color;
    else
      m = -1;
  }
}

// ---------------------------------------------------------------- LWO2

// Reads a variable-length index (2 bytes, or 4 when the first is 0xFF) at
// pos inside [pos, end). Returns false when it does not fit.
inline bool ReadVx(const unsigned char* d, uint64_t& pos, uint64_t end, uint32_t& out) {
  if (pos + 2 > end) return false;
  if (d[pos] != 0xFF) {
    out = LoadBe16(d + pos);
    pos += 2;
    return true;
  }
  if (pos + 4 > end) return false;
  out = uint32_t{d[pos + 1]} << 16 | uint32_t{d[pos + 2]} << 8 | d[pos + 3];
  pos += 4;
  return true;
}

class Lwo2Reader {
 public:
  Lwo2Reader(const unsigned char* d, uint64_t size, PolygonModel& model)
      : d_(d), size_(size), m_(model) {}
  bool Run();

 private:
  bool Polygons(uint64_t pos, uint64_t end);
  void Tags(uint64_t pos, uint64_t end);
  bool PolygonTags(uint64_t pos, uint64_t end);
  bool Surface(uint64_t pos, uint64_t end);
  bool Colour();

  const unsigned char* d_;
  uint64_t size_;
  PolygonModel& m_;
  std::vector<std::string> tags_;
  // Tag number of each model polygon, -1 for none: the polygon-tag map kept
  // in polygon order.
  std::vector<int32_t> polygonTag_;
  std::unordered_map<std::string, Float3> surfaces_;
  int64_t vertexBase_ = 0;
  int64_t polygonBase_ = 0;
  int64_t polygonEnd_ = 0;  // end of the polygons of the most recent POLS
  bool placeholders_ = false;
};

bool Lwo2Reader::Run() {
  uint64_t pos = kFormHeader;
  bool ok = true;
  while (ok && pos + 4 <= size_) {
    // A chunk that runs past the end of the file is an error, never a stall.
    if (pos + kChunkHeader > size_) {
      ok = false;
      break;
    }
    const unsigned char* id = d_ + pos;
    const uint64_t body = pos + kChunkHeader;
    const uint64_t end = body + LoadBe32(d_ + pos + 4);
    if (end > size_) {
      ok = false;
      break;
    }
    if (IdIs(id, "PNTS")) {
      vertexBase_ = m_.VertexCount();
      ReadPointsInto(d_ + body, end - body, m_);
    } else if (IdIs(id, "POLS")) {
      ok = Polygons(body, end);
    } else if (IdIs(id, "TAGS")) {
      Tags(body, end);
    } else if (IdIs(id, "PTAG")) {
      ok = PolygonTags(body, end);
    } else if (IdIs(id, "SURF")) {
      ok = Surface(body, end);
    }
    pos = end;
  }
  if (ok) ok = Colour();
  // Polygons that named a missing point were kept as placeholders so that
  // PTAG numbers still fit; they go now.
  if (placeholders_) m_.DropInvalidPolygons();
  return ok;
}

// Polygons of the FACE and PTCH types; any corner count is kept. A corner
// naming a point that was not read is stored as -1 and its polygon dropped
// at the end.
bool Lwo2Reader::Polygons(uint64_t pos, uint64_t end) {
  polygonBase_ = polygonEnd_ = m_.PolygonCount();
  if (end - pos < 4) return true;
  if (!IdIs(d_ + pos, "FACE") && !IdIs(d_ + pos, "PTCH")) return true;
  pos += 4;
  const int64_t nvert = m_.VertexCount();
  int32_t corners[0x3FF];
  while (pos < end) {
    if (pos + 2 > end) return false;
    const uint32_t n = LoadBe16(d_ + pos) & 0x3FF;  // the top 6 bits are flags
    pos += 2;
    for (uint32_t k = 0; k < n; ++k) {
      uint32_t index;
      if (!ReadVx(d_, pos, end, index)) return false;
      const int64_t v = vertexBase_ + index;
      if (v < nvert) {
        corners[k] = static_cast<int32_t>(v);
      } else {
        corners[k] = -1;
        placeholders_ = true;
      }
    }
    m_.AddPolygon(static_cast<int32_t>(n), corners);
  }
  polygonEnd_ = m_.PolygonCount();
  return true;
}

void Lwo2Reader::Tags(uint64_t pos, uint64_t end) {
  while (pos < end) {
    if (d_[pos] == 0) {
      ++pos;
      continue;
    }
    const void* nul = memchr(d_ + pos, 0, end - pos);
    const uint64_t stop =
        nul ? static_cast<uint64_t>(static_cast<const unsigned char*>(nul) - d_) : end;
    tags_.emplace_back(reinterpret_cast<const char*>(d_ + pos), stop - pos);
    pos = stop;
  }
}

// Surface tags of the polygons of the most recent POLS chunk. Entries for
// polygons that chunk did not add (or a POLS of a type not read) are
// ignored.
bool Lwo2Reader::PolygonTags(uint64_t pos, uint64_t end) {
  if (end - pos < 4 || !IdIs(d_ + pos, "SURF")) return true;
  pos += 4;
  while (pos < end) {
    uint32_t polygon;
    if (!ReadVx(d_, pos, end, polygon) || pos + 2 > end) return false;
    const int32_t tag = LoadBe16(d_ + pos);
    pos += 2;
    const int64_t p = polygonBase_ + polygon;
    if (p >= polygonEnd_) continue;
    if (polygonTag_.size() < static_cast<uint64_t>(polygonEnd_))
      polygonTag_.resize(static_cast<size_t>(polygonEnd_), -1);
    polygonTag_[static_cast<size_t>(p)] = tag;
  }
  return true;
}

// A SURF chunk: name and source name, then sub-chunks of which only the
// base colour counts. A surface with a source takes the source's colour.
bool Lwo2Reader::Surface(uint64_t pos, uint64_t end) {
  std::string name, source;
  if (!ReadPaddedName(d_, pos, end, name) || !ReadPaddedName(d_, pos, end, source)) return false;
  if (!source.empty()) {
    const auto it = surfaces_.find(source);
    if (it != surfaces_.end()) surfaces_[name] = it->second;
    return true;
  }
  while (pos + kSubHeader <= end) {
    const uint64_t length = LoadBe16(d_ + pos + 4);
    if (IdIs(d_ + pos, "COLR")) {
      if (pos + kSubHeader + 12 > end) return false;
      const unsigned char* c = d_ + pos + kSubHeader;
      surfaces_[name] = {LoadBeFloat(c), LoadBeFloat(c + 4), LoadBeFloat(c + 8)};
      return true;
    }
    pos += kSubHeader + length;
  }
  return true;
}

// Gives every tagged polygon, in polygon order, its surface's colour and
// the material tag + 1. A tag whose surface has no colour is a data error.
bool Lwo2Reader::Colour() {
  // Each tag is looked up once, not once per polygon.
  enum : uint8_t { kUnknown, kMissing, kFound };
  std::vector<uint8_t> state(tags_.size(), kUnknown);
  std::vector<Float3> color(tags_.size());
  const int64_t ntags = static_cast<int64_t>(tags_.size());
  for (size_t p = 0; p < polygonTag_.size(); ++p) {
    const int32_t t = polygonTag_[p];
    if (t < 0 || t >= ntags) continue;
    if (state[t] == kUnknown) {
      const auto it = surfaces_.find(tags_[t]);
      state[t] = it == surfaces_.end() ? kMissing : kFound;
      if (it != surfaces_.end()) color[t] = it->second;
    }
    if (state[t] == kMissing) return false;
    m_.material(static_cast<int32_t>(p)) = t + 1;
    m_.color(static_cast<int32_t>(p)) = color[t];
  }
  return true;
}

}  // namespace

int32_t LwoIsSupport(const char* path) {
  g_msg[0] = '\0';
  File file(path);
  if (!file) return -1;
  unsigned char head[kSniffBytes] = {};
  [[maybe_unused]] const size_t got = fread(head, 1, sizeof head, file.get());
  if (memcmp(head, "FORM", 4) != 0) return -1;
  return memcmp(head + 8, "LWOB", 4) == 0 || memcmp(head + 8, "LWO2", 4) == 0 ? 1 : -1;
}

bool LwoLoadInto(const char* path, PolygonModel& model) {
  File file(path);
  if (!file) {
    CopyMessage(g_msg, kOpenError);
    return false;
  }
  g_msg[0] = '\0';
  FileBytes bytes;
  if (!ReadWholeFile(file.get(), bytes)) {
    CopyMessage(g_msg, kDataError);
    return false;
  }
  const unsigned char* d = bytes.data.get();
  // The form type's last character tells the version; any other form
  // leaves the model empty.
  const unsigned char version = bytes.size >= kFormHeader ? d[kFormHeader - 1] : 0;
  if (version == 'B') {
    ReadLwob(d, bytes.size, model);
  } else if (version == '2') {
    Lwo2Reader reader(d, bytes.size, model);
    if (!reader.Run()) {
      CopyMessage(g_msg, kDataError);
      return false;
    }
  }
  return true;
}

int32_t LwoLoad(const char* path) { return LwoLoadInto(path, *CurrentModel); }

const char* LwoGetErrMsg() { return g_msg; }
