#include "core/appearance_wire.h"

#include <cstring>
#include <string>

#include "core/appearance_limits.h"

namespace lp = loader_protocol;
namespace al = appearance_limits;

namespace appearance_wire {

static_assert(sizeof(MaterialRecord) == 20 && sizeof(ImageRecord) == 24,
              "the table's records have no padding of their own");
static_assert(sizeof(Float2) == 8, "texture coordinates travel as 8 bytes");

namespace {

template <typename T>
void Put(std::vector<uint8_t>& out, const T& v) {
  const auto* p = reinterpret_cast<const uint8_t*>(&v);
  out.insert(out.end(), p, p + sizeof v);
}

bool Unit(float v) { return v >= 0.0f && v <= 1.0f; }

}  // namespace

std::vector<uint8_t> EncodeTable(const SurfaceAppearance& a, const std::vector<uint64_t>& imageAt,
                                 lp::ModelHeader& h) {
  h.materials = a.materials.size();
  h.polygonMaterials = a.polygonMaterial.size();
  h.cornerUVs = a.cornerUV.size();
  h.images = a.images.size();
  h.imageBytes = 0;
  std::vector<uint8_t> table;
  if (a.materials.empty() && a.images.empty()) {
    h.tableBytes = 0;
    return table;
  }
  for (const SurfaceMaterial& m : a.materials) {
    const MaterialRecord r{
        {m.color[0], m.color[1], m.color[2]}, m.opacity, static_cast<uint32_t>(m.texture.size())};
    Put(table, r);
  }
  for (size_t i = 0; i < a.images.size(); ++i) {
    const EmbeddedImage& image = a.images[i];
    const ImageRecord r{i < imageAt.size() ? imageAt[i] : 0, image.data.size(),
                        static_cast<uint32_t>(image.hint.size()), 0};
    Put(table, r);
    h.imageBytes += image.data.size();
  }
  for (const SurfaceMaterial& m : a.materials)
    table.insert(table.end(), m.texture.begin(), m.texture.end());
  for (const EmbeddedImage& image : a.images)
    table.insert(table.end(), image.hint.begin(), image.hint.end());
  h.tableBytes = table.size();
  return table;
}

bool CountsSound(const lp::ModelHeader& h) {
  return h.materials <= al::kMaxMaterials && h.images <= al::kMaxImages &&
         h.imageBytes <= al::kMaxImageBytes &&
         (h.polygonMaterials == 0 || h.polygonMaterials == h.polygons) &&
         (h.cornerUVs == 0 || h.cornerUVs == h.corners) &&
         h.tableBytes <= h.materials * (sizeof(MaterialRecord) + al::kMaxTextureName) +
                             h.images * (sizeof(ImageRecord) + al::kMaxImageHint);
}

bool DecodeTable(const uint8_t* table, size_t n, const lp::ModelHeader& h, SurfaceAppearance& out,
                 std::vector<ImageRecord>& images) {
  out.materials.clear();
  out.images.clear();
  images.clear();
  const uint64_t records = h.materials * sizeof(MaterialRecord) + h.images * sizeof(ImageRecord);
  if (n < records) return false;
  std::vector<MaterialRecord> materials(h.materials);
  images.resize(h.images);
  if (!materials.empty())
    memcpy(materials.data(), table, materials.size() * sizeof(MaterialRecord));
  if (!images.empty())
    memcpy(images.data(), table + materials.size() * sizeof(MaterialRecord),
           images.size() * sizeof(ImageRecord));
  // The texts' lengths, each within its limit, must fill the rest exactly.
  uint64_t texts = 0, imageBytes = 0;
  bool ok = true;
  for (const MaterialRecord& r : materials) {
    ok = ok && r.textureLen <= al::kMaxTextureName && Unit(r.color[0]) && Unit(r.color[1]) &&
         Unit(r.color[2]) && Unit(r.opacity);
    texts += r.textureLen;
  }
  for (const ImageRecord& r : images) {
    ok = ok && r.hintLen <= al::kMaxImageHint && r.bytes <= al::kMaxImageBytes;
    texts += r.hintLen;
    imageBytes += ok ? r.bytes : 0;
  }
  ok = ok && records + texts == n && imageBytes == h.imageBytes;
  const char* text = reinterpret_cast<const char*>(table + records);
  auto take = [&](std::string& s, uint32_t len) {
    s.assign(text, len);
    text += len;
    return s.find('\0') == std::string::npos;
  };
  if (ok) {
    out.materials.resize(materials.size());
    for (size_t i = 0; ok && i < materials.size(); ++i) {
      SurfaceMaterial& m = out.materials[i];
      memcpy(m.color, materials[i].color, sizeof m.color);
      m.opacity = materials[i].opacity;
      ok = take(m.texture, materials[i].textureLen);
    }
    out.images.resize(images.size());
    for (size_t i = 0; ok && i < images.size(); ++i)
      ok = take(out.images[i].hint, images[i].hintLen);
  }
  if (!ok) {
    out.materials = {};
    out.images = {};
    images = {};
  }
  return ok;
}

bool MaterialNumbersSound(const SurfaceAppearance& a) {
  const int64_t count = static_cast<int64_t>(a.materials.size());
  for (const int32_t m : a.polygonMaterial)
    if (m < -1 || m >= count) return false;
  return true;
}

}  // namespace appearance_wire
