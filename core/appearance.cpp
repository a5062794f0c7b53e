#include "core/appearance.h"

#include <cmath>

#include "core/model.h"

namespace {

float Unit(float x, float ifNan) {
  if (std::isnan(x)) return ifNan;
  return x < 0.0f ? 0.0f : x > 1.0f ? 1.0f : x;
}

// "*N" naming an embedded image that exists, or a file name: kept.
bool TextureValid(const std::string& t, size_t images) {
  if (t.empty() || t[0] != '*') return true;
  if (t.size() < 2 || t.size() > 10) return false;
  size_t n = 0;
  for (size_t i = 1; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return false;
    n = n * 10 + static_cast<size_t>(t[i] - '0');
  }
  return n < images;
}

}  // namespace

void NormalizeAppearance(PolygonModel& model) {
  SurfaceAppearance& a = model.appearance;
  const size_t polygons = model.polyMaterial.size();
  const size_t corners = model.indexPool.size();

  if (!a.polygonMaterial.empty()) a.polygonMaterial.resize(polygons, -1);
  if (!a.cornerUV.empty()) a.cornerUV.resize(corners, Float2{0.0f, 0.0f});

  const int64_t nm = static_cast<int64_t>(a.materials.size());
  bool used = false;
  for (int32_t& m : a.polygonMaterial) {
    if (m < 0 || m >= nm) m = -1;
    used |= m >= 0;
  }
  if (!used) {
    a.Clear();
    return;
  }

  for (SurfaceMaterial& m : a.materials) {
    for (float& c : m.color) c = Unit(c, 0.0f);
    m.opacity = Unit(m.opacity, 1.0f);
    if (!TextureValid(m.texture, a.images.size())) m.texture.clear();
  }
  for (Float2& uv : a.cornerUV) {
    if (!std::isfinite(uv.u)) uv.u = 0.0f;
    if (!std::isfinite(uv.v)) uv.v = 0.0f;
  }
}

void SetPolygonMaterial(SurfaceAppearance& a, size_t polygon, int32_t material) {
  if (a.polygonMaterial.size() <= polygon) a.polygonMaterial.resize(polygon + 1, -1);
  a.polygonMaterial[polygon] = material;
}

Float2* CornerUVs(SurfaceAppearance& a, size_t firstCorner, size_t n) {
  if (a.cornerUV.size() < firstCorner + n) a.cornerUV.resize(firstCorner + n, Float2{0.0f, 0.0f});
  return a.cornerUV.data() + firstCorner;
}
