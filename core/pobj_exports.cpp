#include "core/pobj_exports.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/appearance_limits.h"
#include "core/model.h"

namespace al = appearance_limits;

// Plug-ins must never unwind into C code, so allocation failures stop here.

namespace {

// 0 to 1; what is not a number counts as 0.
float Unit(float v) { return v >= 0.0f ? std::fmin(v, 1.0f) : 0.0f; }

// Room for n more elements, growing by doubling: a reserve of just what
// one more polygon needs would copy the array on every call.
template <typename T>
void Room(std::vector<T>& v, size_t n) {
  if (v.capacity() - v.size() < n) v.reserve(std::max(v.size() + n, 2 * v.capacity()));
}

uint64_t ImageBytes(const SurfaceAppearance& a) {
  uint64_t sum = 0;
  for (const EmbeddedImage& i : a.images) sum += i.data.size();
  return sum;
}

}  // namespace

void _PobjClearObject(void) {
  if (CurrentModel) CurrentModel->Clear();
}

int32_t _PobjAddVertex(float x, float y, float z) {
  if (!CurrentModel) return -1;
  try {
    return CurrentModel->AddVertex(x, y, z);
  } catch (...) {
    return -1;
  }
}

int32_t _PobjAddPolygon(int32_t nv, const int32_t* index) {
  if (!CurrentModel || nv < 0 || index == nullptr) return -1;
  PolygonModel& m = *CurrentModel;
  SurfaceAppearance& a = m.appearance;
  try {
    // The appearance's arrays, once started, grow in step: a polygon added
    // after them has no material and its corners sit at (0, 0).
    if (!a.polygonMaterial.empty()) Room(a.polygonMaterial, 1);
    if (!a.cornerUV.empty()) Room(a.cornerUV, static_cast<size_t>(nv));
    const int32_t p = m.AddPolygon(nv, index);
    if (!a.polygonMaterial.empty()) a.polygonMaterial.push_back(-1);
    if (!a.cornerUV.empty()) a.cornerUV.resize(m.indexPool.size(), Float2{0.0f, 0.0f});
    return p;
  } catch (...) {
    return -1;
  }
}

void _PobjSetPolygonColor(int32_t polygon, const float* rgb) {
  if (!CurrentModel || rgb == nullptr) return;
  CurrentModel->SetPolygonColor(polygon, rgb[0], rgb[1], rgb[2]);
}

int32_t _PobjGetNv(void) { return CurrentModel ? CurrentModel->VertexCount() : 0; }

int32_t _PobjGetNp(void) { return CurrentModel ? CurrentModel->PolygonCount() : 0; }

int32_t _PobjSetMaterial(int32_t material, float r, float g, float b, float opacity,
                         const char* texture) {
  if (!CurrentModel || material < 0 || static_cast<uint64_t>(material) >= al::kMaxMaterials)
    return -1;
  const size_t nameLen = texture ? strnlen(texture, al::kMaxTextureName + 1) : 0;
  if (nameLen > al::kMaxTextureName) return -1;
  std::vector<SurfaceMaterial>& list = CurrentModel->appearance.materials;
  try {
    SurfaceMaterial s;
    s.color[0] = Unit(r);
    s.color[1] = Unit(g);
    s.color[2] = Unit(b);
    s.opacity = Unit(opacity);
    s.texture.assign(texture ? texture : "", nameLen);
    // Materials between the last one and this start white and opaque.
    if (static_cast<size_t>(material) >= list.size())
      list.resize(static_cast<size_t>(material) + 1);
    list[static_cast<size_t>(material)] = std::move(s);
    return material;
  } catch (...) {
    return -1;
  }
}

int32_t _PobjSetPolygonMaterial(int32_t polygon, int32_t material) {
  if (!CurrentModel) return -1;
  PolygonModel& m = *CurrentModel;
  SurfaceAppearance& a = m.appearance;
  if (polygon < 0 || polygon >= m.PolygonCount() || material < -1 ||
      material >= static_cast<int64_t>(a.materials.size()))
    return -1;
  try {
    if (a.polygonMaterial.empty()) a.polygonMaterial.assign(m.polyMaterial.size(), -1);
    a.polygonMaterial[static_cast<size_t>(polygon)] = material;
    return polygon;
  } catch (...) {
    return -1;
  }
}

int32_t _PobjSetPolygonUV(int32_t polygon, int32_t nv, const float* uv) {
  if (!CurrentModel || uv == nullptr) return -1;
  PolygonModel& m = *CurrentModel;
  SurfaceAppearance& a = m.appearance;
  if (polygon < 0 || polygon >= m.PolygonCount() || nv != m.nv(polygon)) return -1;
  try {
    if (a.cornerUV.empty()) a.cornerUV.assign(m.indexPool.size(), Float2{0.0f, 0.0f});
    Float2* at = a.cornerUV.data() + m.polyStart[static_cast<size_t>(polygon)];
    for (int32_t k = 0; k < nv; ++k) at[k] = {uv[2 * k], uv[2 * k + 1]};
    return polygon;
  } catch (...) {
    return -1;
  }
}

int32_t _PobjAddImage(const char* hint, const void* data, int32_t bytes) {
  if (!CurrentModel || data == nullptr || bytes <= 0) return -1;
  SurfaceAppearance& a = CurrentModel->appearance;
  if (a.images.size() >= al::kMaxImages ||
      ImageBytes(a) + static_cast<uint64_t>(bytes) > al::kMaxImageBytes)
    return -1;
  // The hint names a format, as a file extension would; anything else is
  // no hint.
  std::string h;
  const size_t hintLen = hint ? strnlen(hint, al::kMaxImageHint + 1) : 0;
  for (size_t i = 0; i < hintLen && hintLen <= al::kMaxImageHint; ++i) {
    const char c = hint[i];
    if (c >= 'A' && c <= 'Z') {
      h += static_cast<char>(c - 'A' + 'a');
    } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      h += c;
    } else {
      h.clear();
      break;
    }
  }
  try {
    const auto* p = static_cast<const uint8_t*>(data);
    a.images.push_back({std::move(h), std::vector<uint8_t>(p, p + bytes)});
    return static_cast<int32_t>(a.images.size() - 1);
  } catch (...) {
    return -1;
  }
}
