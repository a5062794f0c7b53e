#include "readers/lwo.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
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
constexpr uint64_t kSubHeader3 = 8;   // identifier, 32-bit length (LWO3)
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

// The points of a PNTS chunk [pos, pos + length), taken in batches that fit
// the source's window. False when the source could not deliver them.
bool ReadPoints(ByteSource& src, uint64_t pos, uint64_t length, PolygonModel& model) {
  const uint64_t n = length / kPointBytes;
  // Grown geometrically: many layers must not copy the list once each.
  const size_t need = model.vertices.size() + n;
  if (need > model.vertices.capacity())
    model.vertices.reserve(std::max(need, 2 * model.vertices.capacity()));
  constexpr uint64_t kBatch = ByteSource::kWindow / kPointBytes;
  for (uint64_t i = 0; i < n;) {
    const uint64_t b = std::min(n - i, kBatch);
    const unsigned char* p = src.Get(pos, b * kPointBytes);
    if (!p) return false;
    for (uint64_t k = 0; k < b; ++k, p += kPointBytes)
      model.AddVertex(LoadBeFloat(p), LoadBeFloat(p + 4), -LoadBeFloat(p + 8));
    pos += b * kPointBytes;
    i += b;
  }
  return true;
}

// Polygons of a version 1 POLS chunk: count, indices, surface number, and
// after a negative surface number a count of detail polygons, which are
// read and dropped. Polygons with fewer than 3 corners or with a corner
// that names no point read so far are left out.
void ReadPolygonsV1(const unsigned char* d, uint64_t pos, uint64_t end, int32_t firstVertex,
                    PolygonModel& model) {
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
        const int32_t v = firstVertex + LoadBe16(d + pos + 2 * k);
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
void ReadLwob(ByteSource& src, PolygonModel& model) {
  const uint64_t size = src.size();
  const int32_t firstVertex = model.VertexCount();  // indices count from this file's points
  const int32_t firstPolygon = model.PolygonCount();
  std::vector<SurfaceV1> surfaces;
  bool pnts = false, pols = false, srfs = false, surf = false;
  uint64_t pos = kFormHeader;
  while (pos + 4 <= size) {
    const unsigned char* h = src.Get(pos, pos + kChunkHeader <= size ? kChunkHeader : 4);
    if (!h) break;
    const bool isPnts = IdIs(h, "PNTS"), isPols = IdIs(h, "POLS"), isSrfs = IdIs(h, "SRFS"),
               isSurf = IdIs(h, "SURF");
    if (!(isPnts || isPols || isSrfs || isSurf) && pnts && pols && srfs && surf) break;
    if (pos + kChunkHeader > size) break;
    const uint64_t body = pos + kChunkHeader;
    const uint64_t length = LoadBe32(h + 4);
    const uint64_t end = body + length;
    if (end > size) break;
    if (isPnts) {
      if (!ReadPoints(src, body, length, model)) break;
      pnts = true;
    } else if (isPols || isSrfs || isSurf) {
      const unsigned char* d = src.Get(body, length);
      if (!d) break;
      if (isPols) {
        ReadPolygonsV1(d, 0, length, firstVertex, model);
        pols = true;
      } else if (isSrfs) {
        ReadSurfaceNames(d, 0, length, surfaces);
        srfs = true;
      } else {
        ReadSurfaceV1(d, 0, length, surfaces);
        surf = true;
      }
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

// Reads LWO2 and LWO3 objects. LWO3 has the same chunks, but a surface
// comes as a FORM of type SURF and its sub-chunks have 32-bit lengths.
class Lwo2Reader {
 public:
  Lwo2Reader(ByteSource& src, PolygonModel& model, bool lwo3)
      : src_(src), size_(src.size()), m_(model), lwo3_(lwo3) {}
  bool Run();

 private:
  void Reserve();
  bool Polygons(uint64_t pos, uint64_t end);
  void Tags(const unsigned char* d, uint64_t length);
  bool PolygonTags(uint64_t pos, uint64_t end);
  bool Surface(const unsigned char* d, uint64_t length);
  bool Colour();
  // Texture coordinates, surface images and clips: never a data error.
  void UvMap(const unsigned char* d, uint64_t length, bool perPolygon);
  void SurfaceImage(const std::string& name, const unsigned char* d, uint64_t pos, uint64_t length);
  void Clip(const unsigned char* d, uint64_t length);
  void FinishAppearance();

  ByteSource& src_;
  uint64_t size_;
  PolygonModel& m_;
  bool lwo3_;
  std::vector<std::string> tags_;
  std::unordered_map<std::string, Float3> surfaces_;
  // LWO3 surfaces without a base colour (node-based materials): their
  // polygons are drawn in the object colour.
  std::unordered_set<std::string> plainSurfaces_;
  int64_t vertexBase_ = 0;
  int64_t polygonBase_ = 0;
  int64_t polygonEnd_ = 0;  // end of the polygons of the most recent POLS
  int32_t firstPolygon_ = m_.PolygonCount();
  bool placeholders_ = false;
  // The first "TXUV" map's name: only its values are read.
  std::string uvMap_;
  bool haveUvMap_ = false;
  std::vector<Float2> pointUV_;  // by model vertex
  struct CornerUV {
    int64_t polygon, vertex;
    Float2 uv;
  };
  std::vector<CornerUV> cornerUV_;                         // per-polygon overrides, in file order
  std::unordered_map<std::string, uint32_t> surfaceClip_;  // a surface's colour image
  std::unordered_map<uint32_t, std::string> clipFile_;     // still image of each clip
};

// The longest polygon record: a count word and 1023 corners of 4 bytes. A
// slab of the window always holds one whole, or reaches the chunk's end.
constexpr uint64_t kMaxPolygonBytes = 2 + 4 * 0x3FF;
static_assert(kMaxPolygonBytes < ByteSource::kWindow);

// Reserves the model's arrays once for what the PNTS and POLS chunks hold:
// points exactly, polygons and corners from the first part of each POLS
// chunk scaled to its length (a chunk that fits the sample is counted
// exactly). The estimate only saves copying; the arrays still grow if it
// falls short, and it never exceeds what the bytes can hold.
void Lwo2Reader::Reserve() {
  constexpr uint64_t kSample = 64 << 10;
  uint64_t points = 0, polygons = 0, corners = 0;
  src_.SetReadAhead(64);  // hops from header to header
  uint64_t pos = kFormHeader;
  while (pos + kChunkHeader <= size_) {
    const unsigned char* h = src_.Get(pos, kChunkHeader);
    if (!h) break;
    const bool isPnts = IdIs(h, "PNTS"), isPols = IdIs(h, "POLS");
    const uint64_t body = pos + kChunkHeader;
    const uint64_t end = body + LoadBe32(h + 4);
    if (end > size_) break;
    pos = end;
    if (isPnts) points += (end - body) / kPointBytes;
    if (!isPols || end - body < 4) continue;
    const uint64_t length = end - body - 4;
    const uint64_t slab = std::min(length, kSample);
    const unsigned char* b = src_.Get(body, slab + 4);
    if (!b || !(IdIs(b, "FACE") || IdIs(b, "PTCH"))) continue;
    b += 4;
    uint64_t q = 0, np = 0, nc = 0;
    while (q + 2 <= slab) {
      const uint32_t n = LoadBe16(b + q) & 0x3FF;
      uint64_t r = q + 2;
      uint32_t k = 0;
      for (; k < n && r + 2 <= slab; ++k) r += b[r] == 0xFF ? 4 : 2;
      if (k < n || r > slab) break;
      ++np;
      nc += n;
      q = r;
    }
    if (q == 0) continue;
    // Scaled with a little slack; at most one polygon or corner per 2 bytes.
    const uint64_t bound = length / 2;
    polygons += q == length ? np : std::min(bound, np * length / q + np / 16 + 16);
    corners += q == length ? nc : std::min(bound, nc * length / q + nc / 16 + 16);
  }
  src_.SetReadAhead(ByteSource::kWindow);
  m_.Reserve(m_.vertices.size() + points, m_.polyMaterial.size() + polygons,
             m_.indexPool.size() + corners);
}

bool Lwo2Reader::Run() {
  Reserve();
  uint64_t pos = kFormHeader;
  bool ok = true;
  while (ok && pos + 4 <= size_) {
    // A chunk that runs past the end of the file is an error, never a stall.
    const unsigned char* h = pos + kChunkHeader <= size_ ? src_.Get(pos, kChunkHeader) : nullptr;
    if (!h) {
      ok = false;
      break;
    }
    const bool isPnts = IdIs(h, "PNTS"), isPols = IdIs(h, "POLS"), isTags = IdIs(h, "TAGS"),
               isPtag = IdIs(h, "PTAG"), isForm = lwo3_ && IdIs(h, "FORM");
    const bool isVmap = IdIs(h, "VMAP"), isVmad = IdIs(h, "VMAD"), isClip = IdIs(h, "CLIP");
    bool isSurf = IdIs(h, "SURF");
    uint64_t body = pos + kChunkHeader;
    uint64_t length = LoadBe32(h + 4);
    const uint64_t end = body + length;
    if (end > size_) {
      ok = false;
      break;
    }
    if (isForm && length >= 4) {
      // A nested form: only surfaces are read, from after the form type.
      const unsigned char* type = src_.Get(body, 4);
      if (!type) {
        ok = false;
        break;
      }
      isSurf = IdIs(type, "SURF");
      body += 4;
      length -= 4;
    }
    if (isPnts) {
      vertexBase_ = m_.VertexCount();
      ok = ReadPoints(src_, body, length, m_);
    } else if (isPols) {
      ok = Polygons(body, end);
    } else if (isPtag) {
      ok = PolygonTags(body, end);
    } else if (isTags || isSurf) {
      const unsigned char* d = src_.Get(body, length);
      if (!d)
        ok = false;
      else if (isTags)
        Tags(d, length);
      else
        ok = Surface(d, length);
    } else if ((isVmap || isVmad || isClip) && !lwo3_) {
      if (const unsigned char* d = length > 0 ? src_.Get(body, length) : nullptr) {
        if (isClip)
          Clip(d, length);
        else
          UvMap(d, length, isVmad);
      }
    }
    pos = end;
  }
  if (ok) ok = Colour();
  if (ok) FinishAppearance();
  // Polygons that named a missing point were kept with a corner of -1 so
  // that PTAG numbers still fit; they go now.
  if (placeholders_) m_.DropInvalidPolygons();
  return ok;
}

// Polygons of the FACE and PTCH types; any corner count is kept. A corner
// naming a point that was not read is stored as -1 and its polygon dropped
// at the end. The chunk is read in slabs of the window; a polygon that
// crosses the end of its chunk is a data error.
bool Lwo2Reader::Polygons(uint64_t pos, uint64_t end) {
  polygonBase_ = polygonEnd_ = m_.PolygonCount();
  if (end - pos < 4) return true;
  const unsigned char* type = src_.Get(pos, 4);
  if (!type) return false;
  if (!IdIs(type, "FACE") && !IdIs(type, "PTCH")) return true;
  pos += 4;
  std::vector<int32_t>& pool = m_.indexPool;
  // The polygon offsets are 32-bit; every corner takes at least 2 bytes.
  if (pool.size() + (end - pos) / 2 > UINT32_MAX) throw std::length_error("index pool full");
  const int64_t nvert = m_.VertexCount();
  const int64_t base = vertexBase_;
  bool missing = false;
  bool ok = true;
  while (ok && pos < end) {
    const uint64_t slab = std::min(end - pos, ByteSource::kWindow);
    const bool last = slab == end - pos;  // the slab reaches the chunk's end
    const unsigned char* b = src_.Get(pos, slab);
    if (!b) {
      ok = false;
      break;
    }
    uint64_t q = 0;
    while (q < slab) {
      if (slab - q < 2) {
        ok = !last;
        break;
      }
      const uint32_t n = LoadBe16(b + q) & 0x3FF;  // the top 6 bits are flags
      uint64_t r = q + 2;
      const size_t first = pool.size();
      if (slab - r >= 4 * uint64_t{n}) {
        // Even in the 4-byte form the corners end inside the slab.
        for (uint32_t k = 0; k < n; ++k) {
          uint32_t index;
          if (b[r] != 0xFF) {
            index = LoadBe16(b + r);
            r += 2;
          } else {
            index = uint32_t{b[r + 1]} << 16 | uint32_t{b[r + 2]} << 8 | b[r + 3];
            r += 4;
          }
          const int64_t v = base + index;
          missing |= v >= nvert;
          pool.push_back(v < nvert ? static_cast<int32_t>(v) : -1);
        }
      } else {
        uint32_t k = 0;
        for (; k < n; ++k) {
          uint32_t index;
          if (!ReadVx(b, r, slab, index)) break;
          const int64_t v = base + index;
          missing |= v >= nvert;
          pool.push_back(v < nvert ? static_cast<int32_t>(v) : -1);
        }
        if (k < n) {
          // Cut at the slab's end: read again from its start, unless the
          // chunk ends there.
          pool.resize(first);
          ok = !last;
          break;
        }
      }
      m_.polyStart.push_back(static_cast<uint32_t>(pool.size()));
      m_.polyMaterial.push_back(-1);
      m_.polyColor.push_back({0, 0, 0});
      q = r;
    }
    if (q == 0) ok = false;  // no progress: cannot happen, never loop
    pos += q;
  }
  polygonEnd_ = m_.PolygonCount();
  placeholders_ |= missing;
  return ok;
}

void Lwo2Reader::Tags(const unsigned char* d, uint64_t length) {
  uint64_t pos = 0;
  while (pos < length) {
    if (d[pos] == 0) {
      ++pos;
      continue;
    }
    const void* nul = memchr(d + pos, 0, length - pos);
    const uint64_t stop =
        nul ? static_cast<uint64_t>(static_cast<const unsigned char*>(nul) - d) : length;
    tags_.emplace_back(reinterpret_cast<const char*>(d + pos), stop - pos);
    pos = stop;
  }
}

// Surface tags of the polygons of the most recent POLS chunk. Entries for
// polygons that chunk did not add (or a POLS of a type not read) are
// ignored.
bool Lwo2Reader::PolygonTags(uint64_t pos, uint64_t end) {
  if (end - pos < 4) return true;
  const unsigned char* type = src_.Get(pos, 4);
  if (!type) return false;
  if (!IdIs(type, "SURF")) return true;
  pos += 4;
  // The polygon-tag map lives in the material field, as tag + 1, until the
  // surfaces are known: every LWO2 polygon starts with -1 there, and a
  // later entry for a polygon replaces an earlier one.
  int32_t* material = m_.polyMaterial.data();
  while (pos < end) {
    const uint64_t slab = std::min(end - pos, ByteSource::kWindow);
    const bool last = slab == end - pos;
    const unsigned char* b = src_.Get(pos, slab);
    if (!b) return false;
    uint64_t q = 0;
    while (q < slab) {
      uint64_t r = q;
      uint32_t polygon;
      if (!ReadVx(b, r, slab, polygon) || r + 2 > slab) {
        if (last) return false;  // an entry cut by the chunk's end
        break;
      }
      const int32_t tag = LoadBe16(b + r);
      const int64_t p = polygonBase_ + polygon;
      if (p < polygonEnd_) material[p] = tag + 1;
      q = r + 2;
    }
    if (q == 0) return false;  // no progress: cannot happen, never loop
    pos += q;
  }
  return true;
}

// A SURF chunk: name and source name, then sub-chunks of which only the
// base colour counts. A surface whose source is known takes the source's
// colour. Exporters also write sources that name no surface (or the
// surface itself); such a surface has its own sub-chunks read.
bool Lwo2Reader::Surface(const unsigned char* d, uint64_t length) {
  std::string name, source;
  uint64_t pos = 0;
  if (!ReadPaddedName(d, pos, length, name) || !ReadPaddedName(d, pos, length, source))
    return false;
  if (!source.empty()) {
    const auto it = surfaces_.find(source);
    if (it != surfaces_.end()) {
      surfaces_[name] = it->second;
      if (const auto clip = surfaceClip_.find(source); clip != surfaceClip_.end())
        surfaceClip_[name] = clip->second;
      plainSurfaces_.erase(name);
      return true;
    }
    if (plainSurfaces_.count(source) && !surfaces_.count(name)) {
      plainSurfaces_.insert(name);
      return true;
    }
  }
  const uint64_t header = lwo3_ ? kSubHeader3 : kSubHeader;
  if (!lwo3_) SurfaceImage(name, d, pos, length);
  while (pos + header <= length) {
    const uint64_t sub = lwo3_ ? LoadBe32(d + pos + 4) : LoadBe16(d + pos + 4);
    if (IdIs(d + pos, "COLR")) {
      if (pos + header + 12 > length) return false;
      const unsigned char* c = d + pos + header;
      surfaces_[name] = {LoadBeFloat(c), LoadBeFloat(c + 4), LoadBeFloat(c + 8)};
      plainSurfaces_.erase(name);
      return true;
    }
    pos += header + sub;
  }
  if (lwo3_ && !surfaces_.count(name)) plainSurfaces_.insert(name);
  return true;
}

// Gives every tagged polygon, in polygon order, its surface's colour and
// the material tag + 1. A tag whose surface has no colour is a data error.
bool Lwo2Reader::Colour() {
  // Each tag is looked up once, not once per polygon.
  enum : uint8_t { kUnknown, kMissing, kFound, kPlain };
  std::vector<uint8_t> state(tags_.size(), kUnknown);
  std::vector<Float3> color(tags_.size());
  const int64_t ntags = static_cast<int64_t>(tags_.size());
  const int32_t count = m_.PolygonCount();
  int32_t* material = m_.polyMaterial.data();
  for (int32_t p = firstPolygon_; p < count; ++p) {
    const int64_t t = int64_t{material[p]} - 1;
    if (t < 0) continue;
    if (t >= ntags) {
      material[p] = -1;  // a tag number beyond the tag list
      continue;
    }
    if (state[t] == kUnknown) {
      const auto it = surfaces_.find(tags_[t]);
      state[t] = it != surfaces_.end()            ? kFound
                 : plainSurfaces_.count(tags_[t]) ? kPlain
                                                  : kMissing;
      if (it != surfaces_.end()) color[t] = it->second;
    }
    if (state[t] == kPlain) {
      material[p] = -1;
      continue;
    }
    if (state[t] == kMissing) {
      // The polygons from here on keep no colour of their own.
      for (; p < count; ++p)
        if (material[p] > 0) material[p] = -1;
      return false;
    }
    m_.polyColor[p] = color[t];
  }
  return true;
}

// A "VMAP" (one value per point) or "VMAD" (per polygon corner) chunk of
// type TXUV and dimension 2; other maps are passed over.
void Lwo2Reader::UvMap(const unsigned char* d, uint64_t length, bool perPolygon) {
  if (length < 6 || !IdIs(d, "TXUV") || LoadBe16(d + 4) != 2) return;
  uint64_t pos = 6;
  std::string name;
  if (!ReadPaddedName(d, pos, length, name)) return;
  if (!haveUvMap_) {
    uvMap_ = name;
    haveUvMap_ = true;
  }
  if (name != uvMap_) return;
  const int64_t nvert = m_.VertexCount();
  while (pos < length) {
    uint32_t vert = 0, poly = 0;
    if (!ReadVx(d, pos, length, vert)) return;
    if (perPolygon && !ReadVx(d, pos, length, poly)) return;
    if (pos + 8 > length) return;
    const Float2 uv = {LoadBeFloat(d + pos), LoadBeFloat(d + pos + 4)};
    pos += 8;
    const int64_t v = vertexBase_ + vert;
    if (v >= nvert) continue;
    if (perPolygon) {
      const int64_t p = polygonBase_ + poly;
      if (p < polygonEnd_) cornerUV_.push_back({p, v, uv});
    } else {
      if (pointUV_.size() <= static_cast<size_t>(v))
        pointUV_.resize(static_cast<size_t>(nvert), Float2{0.0f, 0.0f});
      pointUV_[static_cast<size_t>(v)] = uv;
    }
  }
}

// The image of a surface's first texture block that maps the colour
// channel by UV: BLOK, its IMAP header (channel COLR), projection 5, IMAG.
void Lwo2Reader::SurfaceImage(const std::string& name, const unsigned char* d, uint64_t pos,
                              uint64_t length) {
  for (; pos + kSubHeader <= length;) {
    const uint64_t sub = LoadBe16(d + pos + 4);
    const uint64_t body = pos + kSubHeader, end = std::min(body + sub, length);
    pos = body + sub + (sub & 1);
    if (!IdIs(d + body - kSubHeader, "BLOK") || end - body < kSubHeader) continue;
    if (!IdIs(d + body, "IMAP")) continue;
    bool colour = true, uv = false;
    uint32_t clip = 0;
    bool haveClip = false;
    // The header's own sub-chunks, after its ordinal string.
    const uint64_t headerEnd = std::min(body + kSubHeader + LoadBe16(d + body + 4), end);
    uint64_t q = body + kSubHeader;
    std::string ordinal;
    if (!ReadPaddedName(d, q, headerEnd, ordinal)) continue;
    while (q + kSubHeader <= headerEnd) {
      const uint64_t n = LoadBe16(d + q + 4);
      if (IdIs(d + q, "CHAN") && q + kSubHeader + 4 <= headerEnd)
        colour = IdIs(d + q + kSubHeader, "COLR");
      q += kSubHeader + n + (n & 1);
    }
    q = headerEnd + ((headerEnd - body) & 1);
    while (q + kSubHeader <= end) {
      const uint64_t n = LoadBe16(d + q + 4);
      const uint64_t b = q + kSubHeader;
      if (IdIs(d + q, "PROJ") && b + 2 <= end) uv = LoadBe16(d + b) == 5;
      if (IdIs(d + q, "IMAG")) {
        uint64_t r = b;
        haveClip = ReadVx(d, r, std::min(b + n, end), clip);
      }
      q = b + n + (n & 1);
    }
    if (colour && uv && haveClip) {
      surfaceClip_[name] = clip;
      return;
    }
  }
}

// A CLIP chunk: its index, then a still image's file name.
void Lwo2Reader::Clip(const unsigned char* d, uint64_t length) {
  if (length < 4) return;
  const uint32_t index = LoadBe32(d);
  uint64_t pos = 4;
  while (pos + kSubHeader <= length) {
    const uint64_t n = LoadBe16(d + pos + 4);
    uint64_t b = pos + kSubHeader;
    std::string file;
    if (IdIs(d + pos, "STIL") && ReadPaddedName(d, b, std::min(b + n, length), file)) {
      clipFile_.try_emplace(index, std::move(file));
      return;
    }
    pos += kSubHeader + n + (n & 1);
  }
}

// One material for each surface the polygons use, with its image, and
// the corners' texture coordinates: the point's, unless the polygon has its
// own for that corner. A coloured polygon still holds its tag + 1.
void Lwo2Reader::FinishAppearance() {
  SurfaceAppearance& a = m_.appearance;
  const int32_t count = m_.PolygonCount();
  std::vector<int32_t> materialOf(tags_.size(), -2);  // -2: not looked at yet
  for (int32_t p = firstPolygon_; p < count; ++p) {
    const int64_t t = int64_t{m_.polyMaterial[p]} - 1;  // -1: no colour of its own
    if (t < 0 || t >= static_cast<int64_t>(tags_.size())) continue;
    int32_t& mat = materialOf[static_cast<size_t>(t)];
    if (mat == -2) {
      SurfaceMaterial m;
      const Float3& c = m_.polyColor[p];
      m.color[0] = c.x;
      m.color[1] = c.y;
      m.color[2] = c.z;
      if (const auto clip = surfaceClip_.find(tags_[t]); clip != surfaceClip_.end())
        if (const auto file = clipFile_.find(clip->second); file != clipFile_.end())
          m.texture = file->second;
      mat = static_cast<int32_t>(a.materials.size());
      a.materials.push_back(std::move(m));
    }
    SetPolygonMaterial(a, static_cast<size_t>(p), mat);
  }
  if (pointUV_.empty() && cornerUV_.empty()) return;
  const std::vector<int32_t>& pool = m_.indexPool;
  a.cornerUV.resize(pool.size(), Float2{0.0f, 0.0f});
  for (size_t c = 0; c < pool.size(); ++c) {
    const int32_t v = pool[c];
    if (v >= 0 && static_cast<size_t>(v) < pointUV_.size()) a.cornerUV[c] = pointUV_[v];
  }
  for (const CornerUV& o : cornerUV_) {
    const uint32_t b = m_.polyStart[o.polygon], e = m_.polyStart[o.polygon + 1];
    for (uint32_t c = b; c < e; ++c)
      if (pool[c] == o.vertex) a.cornerUV[c] = o.uv;
  }
}

}  // namespace

int32_t LwoIsSupport(const char* path) {
  g_msg[0] = '\0';
  File file(path);
  if (!file) return -1;
  unsigned char head[kSniffBytes] = {};
  [[maybe_unused]] const size_t got = fread(head, 1, sizeof head, file.get());
  if (memcmp(head, "FORM", 4) != 0) return -1;
  return memcmp(head + 8, "LWOB", 4) == 0 || memcmp(head + 8, "LWO2", 4) == 0 ||
                 memcmp(head + 8, "LWO3", 4) == 0
             ? 1
             : -1;
}

bool LwoLoadInto(const char* path, PolygonModel& model) {
  File file(path);
  if (!file) {
    CopyMessage(g_msg, kOpenError);
    return false;
  }
  g_msg[0] = '\0';
  ByteSource src(file.get());
  const unsigned char* head = src.size() >= kFormHeader ? src.Get(0, kFormHeader) : nullptr;
  if (!src.ok()) {
    CopyMessage(g_msg, kDataError);
    return false;
  }
  // The form type's last character tells the version (LWO3 is named in
  // full); any other form leaves the model empty.
  const unsigned char version = head ? head[kFormHeader - 1] : 0;
  const bool lwo3 = head && memcmp(head + 8, "LWO3", 4) == 0;
  if (version == 'B') {
    ReadLwob(src, model);
  } else if (version == '2' || lwo3) {
    Lwo2Reader reader(src, model, lwo3);
    if (!reader.Run()) {
      CopyMessage(g_msg, kDataError);
      return false;
    }
  }
  return true;
}

int32_t LwoLoad(const char* path) { return LwoLoadInto(path, *CurrentModel); }

const char* LwoGetErrMsg() { return g_msg; }
