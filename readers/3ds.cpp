#include "readers/3ds.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
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

constexpr uint16_t kMain = 0x4D4D;
constexpr uint16_t kVersion = 0x0002;
constexpr uint16_t kEditor = 0x3D3D;
constexpr uint16_t kObject = 0x4000;
constexpr uint16_t kTriMesh = 0x4100;
constexpr uint16_t kVertexList = 0x4110;
constexpr uint16_t kFaceList = 0x4120;
constexpr uint16_t kFaceMaterial = 0x4130;
constexpr uint16_t kMapCoords = 0x4140;
constexpr uint16_t kMaterial = 0xAFFF;
constexpr uint16_t kMaterialName = 0xA000;
constexpr uint16_t kDiffuse = 0xA020;
constexpr uint16_t kTransparency = 0xA050;
constexpr uint16_t kTextureMap = 0xA200;
constexpr uint16_t kMapName = 0xA300;
constexpr uint16_t kColorFloat = 0x0010, kColorByte = 0x0011;
constexpr uint16_t kColorByteGamma = 0x0012, kColorFloatLinear = 0x0013;
constexpr uint16_t kPercentInt = 0x0030, kPercentFloat = 0x0031;
constexpr uint64_t kMaxNameBytes = 256;  // names are short; longer ones are cut

constexpr uint64_t kHeaderBytes = 6;  // identifier and length
constexpr uint64_t kVertexBytes = 12;
constexpr uint64_t kFaceBytes = 8;
constexpr size_t kSniffBytes = 30;

// The sub-chunks each chunk on the way to the meshes enters; every other
// sub-chunk is skipped by its length.
bool Enters(uint16_t parent, uint16_t child) {
  switch (parent) {
    case kMain:
      return child == kEditor;
    case kEditor:
      return child == kObject || child == kMaterial;
    case kObject:
      return child == kTriMesh;
    case kTriMesh:
      return child == kVertexList || child == kFaceList || child == kMapCoords;
    default:
      return false;
  }
}

// One walk over the chunk tree. Without a model it only counts what the
// lists hold, so that the real walk can reserve the model's arrays once.
// Offsets are 64-bit: start + length never wraps.
class Walker {
 public:
  Walker(ByteSource& src, PolygonModel* model) : src_(src), size_(src.size()), model_(model) {}

  // Walks the first chunk as the main chunk, whatever its identifier.
  // Returns false on a data error.
  bool Run() { return Chunk(kMain, 0); }

  // After a successful real walk: the materials the faces named and the
  // corners' mapping coordinates go into the model's appearance.
  void FinishAppearance();

  uint64_t vertices = 0, faces = 0;  // what the lists hold (counting walk)

 private:
  bool Chunk(uint16_t id, uint64_t start);
  bool VertexList(uint64_t pos, uint64_t lim);
  bool FaceList(uint64_t pos, uint64_t lim);
  // The appearance's chunks never fail a load: what does not fit is passed
  // over.
  void Material(uint64_t pos, uint64_t lim);
  bool Color(uint64_t pos, uint64_t lim, float out[3]);
  bool Percent(uint64_t pos, uint64_t lim, float& out);
  std::string Name(uint64_t pos, uint64_t lim);
  void FaceMaterials(uint64_t pos, uint64_t lim, const std::vector<int32_t>& polygonOf);
  void MapCoords(uint64_t pos, uint64_t lim);

  ByteSource& src_;
  uint64_t size_;
  PolygonModel* model_;
  int64_t base_ = 0;      // model index of the most recent vertex list's first vertex
  int64_t meshBase_ = 0;  // vertex count when the current mesh began
  std::vector<std::string> materialNames_;
  std::vector<SurfaceMaterial> materials_;
  // Face groups name materials that may be defined later: polygons hold a
  // group name's number until the end.
  std::unordered_map<std::string, int32_t> groupIndex_;
  std::vector<std::string> groupNames_;
  std::vector<Float2> vertexUV_;  // by model vertex
  bool anyUV_ = false;
};

// A chunk whose header starts at start. Reads stay inside the chunk and the
// file; a read that would cross either end is a data error. A length below
// the header's own size would make the walk stand still, so it is one too.
bool Walker::Chunk(uint16_t id, uint64_t start) {
  const unsigned char* h = src_.Get(start, kHeaderBytes);
  if (!h) return false;
  const uint64_t length = LoadLe32(h + 2);
  if (length < kHeaderBytes) return false;
  const uint64_t end = start + length;
  const uint64_t lim = std::min(end, size_);
  uint64_t pos = start + kHeaderBytes;

  switch (id) {
    case kObject: {
      // The name, up to its zero byte however long it is; it is not used.
      uint64_t zero;
      if (src_.Find(pos, lim, 0, zero) != ByteSource::Found::kYes) return false;
      pos = zero + 1;
      break;
    }
    case kTriMesh:
      if (model_) meshBase_ = model_->VertexCount();
      break;
    case kVertexList:
      return VertexList(pos, lim);
    case kFaceList:
      return FaceList(pos, lim);  // its sub-chunks go with it
    case kMaterial:
      if (model_) Material(pos, lim);
      return true;
    case kMapCoords:
      if (model_) MapCoords(pos, lim);
      return true;
    default:
      break;
  }

  while (pos < end) {
    if (pos + kHeaderBytes > lim) {
      // Too few bytes for a sub-chunk: the file is cut, or the chunk ends
      // in a few stray bytes, which are passed over.
      if (end > size_) return false;
      break;
    }
    const unsigned char* sh = src_.Get(pos, kHeaderBytes);
    if (!sh) return false;
    const uint16_t sub = LoadLe16(sh);
    const uint64_t subLength = LoadLe32(sh + 2);
    if (subLength < kHeaderBytes) return false;
    if (Enters(id, sub) && !Chunk(sub, pos)) return false;
    // A skip beyond the end of the file is no error by itself; only a read
    // there is.
    pos += subLength;
  }
  return true;
}

// Records are taken in batches that fit the source's window.
constexpr uint64_t kBatch = 16384;

bool Walker::VertexList(uint64_t pos, uint64_t lim) {
  const unsigned char* h = pos + 2 <= lim ? src_.Get(pos, 2) : nullptr;
  if (!h) return false;
  const uint64_t count = LoadLe16(h);
  pos += 2;
  const uint64_t n = std::min(count, (lim - pos) / kVertexBytes);
  if (!model_) {
    vertices += n;
    return n == count;
  }
  base_ = model_->VertexCount();
  for (uint64_t i = 0; i < n;) {
    const uint64_t b = std::min(n - i, kBatch);
    const unsigned char* p = src_.Get(pos, b * kVertexBytes);
    if (!p) return false;
    for (uint64_t k = 0; k < b; ++k, p += kVertexBytes) {
      // The file's z axis is the model's y axis.
      model_->AddVertex(LoadLeFloat(p), LoadLeFloat(p + 8), -LoadLeFloat(p + 4));
    }
    pos += b * kVertexBytes;
    i += b;
  }
  return n == count;
}

bool Walker::FaceList(uint64_t pos, uint64_t lim) {
  const unsigned char* h = pos + 2 <= lim ? src_.Get(pos, 2) : nullptr;
  if (!h) return false;
  const uint64_t count = LoadLe16(h);
  pos += 2;
  const uint64_t n = std::min(count, (lim - pos) / kFaceBytes);
  if (!model_) {
    faces += n;
    return n == count;
  }
  // Corners refer to the most recent vertex list; a face naming a vertex
  // that was never read is left out.
  const int64_t limit = model_->VertexCount() - base_;
  const int32_t base = static_cast<int32_t>(base_);
  // The polygon each face became, or -1, for the material groups after it.
  std::vector<int32_t> polygonOf;
  polygonOf.reserve(n);
  for (uint64_t i = 0; i < n;) {
    const uint64_t b = std::min(n - i, kBatch);
    const unsigned char* p = src_.Get(pos, b * kFaceBytes);
    if (!p) return false;
    for (uint64_t k = 0; k < b; ++k, p += kFaceBytes) {
      const int32_t a = LoadLe16(p), c1 = LoadLe16(p + 2), c2 = LoadLe16(p + 4);
      if (a < limit && c1 < limit && c2 < limit)
        polygonOf.push_back(model_->AddTriangle(a + base, c1 + base, c2 + base));
      else
        polygonOf.push_back(-1);
    }
    pos += b * kFaceBytes;
    i += b;
  }
  if (n == count) FaceMaterials(pos, lim, polygonOf);
  return n == count;
}

std::string Walker::Name(uint64_t pos, uint64_t lim) {
  const uint64_t n = std::min(lim - pos, kMaxNameBytes);
  const unsigned char* p = n > 0 ? src_.Get(pos, n) : nullptr;
  if (!p) return {};
  const void* zero = memchr(p, 0, n);
  return std::string(reinterpret_cast<const char*>(p),
                     zero ? static_cast<const unsigned char*>(zero) - p : n);
}

// Walks the sub-chunks of [pos, lim), calling f(id, body, end) for each
// whole one; stops at a length that cannot be.
template <typename F>
void EachSubChunk(ByteSource& src, uint64_t pos, uint64_t lim, F&& f) {
  while (pos + kHeaderBytes <= lim) {
    const unsigned char* h = src.Get(pos, kHeaderBytes);
    if (!h) return;
    const uint16_t id = LoadLe16(h);
    const uint64_t length = LoadLe32(h + 2);
    if (length < kHeaderBytes) return;
    f(id, pos + kHeaderBytes, std::min(pos + length, lim));
    pos += length;
  }
}

// The first colour sub-chunk: three floats or three bytes.
bool Walker::Color(uint64_t pos, uint64_t lim, float out[3]) {
  bool found = false;
  EachSubChunk(src_, pos, lim, [&](uint16_t id, uint64_t body, uint64_t end) {
    if (found) return;
    if ((id == kColorFloat || id == kColorFloatLinear) && end - body >= 12) {
      const unsigned char* p = src_.Get(body, 12);
      if (!p) return;
      for (int i = 0; i < 3; ++i) out[i] = LoadLeFloat(p + 4 * i);
      found = true;
    } else if ((id == kColorByte || id == kColorByteGamma) && end - body >= 3) {
      const unsigned char* p = src_.Get(body, 3);
      if (!p) return;
      for (int i = 0; i < 3; ++i) out[i] = p[i] / 255.0f;
      found = true;
    }
  });
  return found;
}

// The first percentage sub-chunk, as a fraction.
bool Walker::Percent(uint64_t pos, uint64_t lim, float& out) {
  bool found = false;
  EachSubChunk(src_, pos, lim, [&](uint16_t id, uint64_t body, uint64_t end) {
    if (found) return;
    if (id == kPercentInt && end - body >= 2) {
      const unsigned char* p = src_.Get(body, 2);
      if (!p) return;
      out = static_cast<int16_t>(LoadLe16(p)) / 100.0f;
      found = true;
    } else if (id == kPercentFloat && end - body >= 4) {
      const unsigned char* p = src_.Get(body, 4);
      if (!p) return;
      out = LoadLeFloat(p) / 100.0f;
      found = true;
    }
  });
  return found;
}

void Walker::Material(uint64_t pos, uint64_t lim) {
  std::string name;
  SurfaceMaterial m;
  EachSubChunk(src_, pos, lim, [&](uint16_t id, uint64_t body, uint64_t end) {
    float transparency;
    switch (id) {
      case kMaterialName:
        name = Name(body, end);
        break;
      case kDiffuse:
        Color(body, end, m.color);
        break;
      case kTransparency:
        if (Percent(body, end, transparency)) m.opacity = 1.0f - transparency;
        break;
      case kTextureMap:
        EachSubChunk(src_, body, end, [&](uint16_t sub, uint64_t b, uint64_t e) {
          if (sub == kMapName) m.texture = Name(b, e);
        });
        break;
      default:
        break;
    }
  });
  materialNames_.push_back(std::move(name));
  materials_.push_back(std::move(m));
}

// Material groups after a face list's records: a name, a count and the
// numbers of the faces that use it.
void Walker::FaceMaterials(uint64_t pos, uint64_t lim, const std::vector<int32_t>& polygonOf) {
  EachSubChunk(src_, pos, lim, [&](uint16_t id, uint64_t body, uint64_t end) {
    if (id != kFaceMaterial) return;
    const std::string name = Name(body, end);
    body += name.size() + 1;
    if (body + 2 > end) return;
    const unsigned char* h = src_.Get(body, 2);
    if (!h) return;
    body += 2;
    const uint64_t n = std::min<uint64_t>(LoadLe16(h), (end - body) / 2);
    const unsigned char* p = n > 0 ? src_.Get(body, 2 * n) : nullptr;
    if (!p) return;
    const auto [it, added] =
        groupIndex_.try_emplace(name, static_cast<int32_t>(groupNames_.size()));
    if (added) groupNames_.push_back(name);
    for (uint64_t k = 0; k < n; ++k) {
      const uint16_t face = LoadLe16(p + 2 * k);
      if (face < polygonOf.size() && polygonOf[face] >= 0)
        SetPolygonMaterial(model_->appearance, static_cast<size_t>(polygonOf[face]), it->second);
    }
  });
}

// Mapping coordinates, one per vertex of the mesh's vertex list.
void Walker::MapCoords(uint64_t pos, uint64_t lim) {
  const unsigned char* h = pos + 2 <= lim ? src_.Get(pos, 2) : nullptr;
  if (!h) return;
  pos += 2;
  const uint64_t n = std::min<uint64_t>(LoadLe16(h), (lim - pos) / 8);
  const size_t first = static_cast<size_t>(meshBase_);
  if (vertexUV_.size() < first + n) vertexUV_.resize(first + n, Float2{0.0f, 0.0f});
  for (uint64_t i = 0; i < n;) {
    const uint64_t b = std::min(n - i, kBatch);
    const unsigned char* p = src_.Get(pos, b * 8);
    if (!p) return;
    for (uint64_t k = 0; k < b; ++k, p += 8)
      vertexUV_[first + i + k] = {LoadLeFloat(p), LoadLeFloat(p + 4)};
    pos += b * 8;
    i += b;
  }
  anyUV_ |= n > 0;
}

void Walker::FinishAppearance() {
  SurfaceAppearance& a = model_->appearance;
  if (anyUV_) {
    const std::vector<int32_t>& pool = model_->indexPool;
    a.cornerUV.resize(pool.size(), Float2{0.0f, 0.0f});
    for (size_t c = 0; c < pool.size(); ++c) {
      const size_t v = static_cast<size_t>(pool[c]);
      if (v < vertexUV_.size()) a.cornerUV[c] = vertexUV_[v];
    }
  }
  if (a.polygonMaterial.empty()) return;
  // A group names the first material of that name; a name no material has
  // leaves its faces without appearance.
  std::unordered_map<std::string, int32_t> byName;
  for (size_t i = 0; i < materialNames_.size(); ++i)
    byName.try_emplace(materialNames_[i], static_cast<int32_t>(i));
  std::vector<int32_t> materialOf(groupNames_.size(), -1);
  for (size_t g = 0; g < groupNames_.size(); ++g) {
    const auto it = byName.find(groupNames_[g]);
    if (it != byName.end()) materialOf[g] = it->second;
  }
  for (int32_t& m : a.polygonMaterial)
    if (m >= 0) m = materialOf[static_cast<size_t>(m)];
  a.materials = std::move(materials_);
}

// Other exporters open the editor chunk with the master scale or a
// material, so byte 28 tells nothing there. Such a file is still known by
// its structure: a main chunk that fits the file, holding the editor chunk
// or the version chunk among its first chunks, every length on the way at
// least a header and inside its parent.
bool LooksLikeChunkTree(const File& file) {
  constexpr int kFirstChunks = 8;
  FILE* f = file.get();
  const int64_t size = file.Size();
  unsigned char h[kHeaderBytes];
  if (size < 0 || fseeko(f, 0, SEEK_SET) != 0 || fread(h, 1, sizeof h, f) != sizeof h) return false;
  const uint64_t end = LoadLe32(h + 2);
  if (LoadLe16(h) != kMain || end < kHeaderBytes || end > static_cast<uint64_t>(size)) return false;
  uint64_t pos = kHeaderBytes;
  for (int i = 0; i < kFirstChunks && pos + kHeaderBytes <= end; ++i) {
    if (fseeko(f, static_cast<off_t>(pos), SEEK_SET) != 0 || fread(h, 1, sizeof h, f) != sizeof h)
      return false;
    const uint16_t id = LoadLe16(h);
    const uint64_t length = LoadLe32(h + 2);
    if (length < kHeaderBytes || length > end - pos) return false;
    if (id == kEditor || id == kVersion) return true;
    pos += length;
  }
  return false;
}

}  // namespace

int32_t TdsIsSupport(const char* path) {
  g_msg[0] = '\0';
  File file(path);
  if (!file) return 0;
  unsigned char head[kSniffBytes] = {};
  // A short file is tested on the bytes it has; the rest count as zero.
  [[maybe_unused]] const size_t got = fread(head, 1, sizeof head, file.get());
  if (head[0] != 'M' || head[1] != 'M') return -1;
  // Byte 28 is the mesh version when the editor chunk opens with it, as
  // most exporters write it.
  if (static_cast<int8_t>(head[28]) >= 2) return 1;
  return LooksLikeChunkTree(file) ? 1 : -1;
}

bool TdsLoadInto(const char* path, PolygonModel& model) {
  File file(path);
  if (!file) {
    CopyMessage(g_msg, kOpenError);
    return false;
  }
  g_msg[0] = '\0';
  ByteSource src(file.get());
  if (!src.ok()) {
    CopyMessage(g_msg, kDataError);
    return false;
  }
  // The counting walk only hops from header to header.
  src.SetReadAhead(64);
  Walker count(src, nullptr);
  count.Run();
  src.SetReadAhead(ByteSource::kWindow);
  model.Reserve(model.vertices.size() + count.vertices, model.polyMaterial.size() + count.faces,
                model.indexPool.size() + 3 * count.faces);
  Walker walk(src, &model);
  if (!walk.Run()) {
    CopyMessage(g_msg, kDataError);
    return false;
  }
  walk.FinishAppearance();
  return true;
}

int32_t TdsLoad(const char* path) { return TdsLoadInto(path, *CurrentModel); }

const char* TdsGetErrMsg() { return g_msg; }
