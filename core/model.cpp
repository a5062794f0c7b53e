#include "core/model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/huge_pages.h"

std::unique_ptr<PolygonModel> CurrentModel;

double EdgeCosForAngle(float degrees) {
  // The shortened pi and the 1/180 multiplier are deliberate: the crease
  // threshold at 120 degrees must stay just below 0.5.
  return std::cos((180.0 - degrees) * 3.14159265359 * (1.0 / 180.0));
}

void PolygonModel::Clear() {
  vertices.clear();
  polyStart.assign(1, 0);
  indexPool.clear();
  polyMaterial.clear();
  polyColor.clear();
  vertexNormals.clear();
  vertexNormals.shrink_to_fit();
  polygonNormals.clear();
  polygonNormals.shrink_to_fit();
  appearance.Clear();
}

namespace {
template <typename T>
void GrowFor(std::vector<T>& v, size_t n) {
  if (v.capacity() - v.size() >= n) return;
  size_t want = v.capacity() < 1024 ? 1024 : 2 * v.capacity();
  if (want < v.size() + n) want = v.size() + n;
  ReserveLarge(v, want);
}
}  // namespace

void PolygonModel::GrowVertices(size_t n) { GrowFor(vertices, n); }

void PolygonModel::GrowPolygons(size_t corners) {
  // Offsets into the pool are 32-bit.
  if (indexPool.size() + corners > std::numeric_limits<uint32_t>::max())
    throw std::length_error("index pool full");
  GrowFor(indexPool, corners);
  GrowFor(polyStart, 1);
  GrowFor(polyMaterial, 1);
  GrowFor(polyColor, 1);
}

int32_t PolygonModel::AddPolygon(int32_t nv, const int32_t* idx, int32_t material, Float3 color) {
  if (nv < 0) nv = 0;
  GrowPolygons(static_cast<size_t>(nv));
  indexPool.insert(indexPool.end(), idx, idx + nv);
  polyStart.push_back(static_cast<uint32_t>(indexPool.size()));
  polyMaterial.push_back(material);
  polyColor.push_back(color);
  return static_cast<int32_t>(polyMaterial.size() - 1);
}

void PolygonModel::SetPolygonColor(int32_t p, float r, float g, float b) {
  if (p < 0 || p >= PolygonCount()) return;
  if (polyMaterial[p] < 0) polyMaterial[p] = 1;
  polyColor[p] = {r, g, b};
}

void PolygonModel::Reserve(size_t nVertices, size_t nPolygons, size_t nCorners) {
  ReserveLarge(vertices, nVertices);
  ReserveLarge(polyStart, nPolygons + 1);
  ReserveLarge(polyMaterial, nPolygons);
  ReserveLarge(polyColor, nPolygons);
  ReserveLarge(indexPool, nCorners);
}

size_t PolygonModel::DropInvalidPolygons() {
  const uint32_t nvert = static_cast<uint32_t>(vertices.size());
  const int32_t np = PolygonCount();
  // Nearly every model is clean: check the pool first and rewrite nothing.
  // A negative index wraps to a huge unsigned value and fails too.
  bool clean = true;
  for (const int32_t i : indexPool) clean &= static_cast<uint32_t>(i) < nvert;
  if (clean) return 0;
  // The appearance rides along; a reader may have filled it only as far as
  // its last polygon with a material or coordinates.
  std::vector<int32_t>& pm = appearance.polygonMaterial;
  std::vector<Float2>& uv = appearance.cornerUV;
  const bool withMaterial = !pm.empty();
  const bool withUV = !uv.empty();
  if (withMaterial) pm.resize(static_cast<size_t>(np), -1);
  if (withUV) uv.resize(indexPool.size(), Float2{0.0f, 0.0f});
  int32_t out = 0;
  uint32_t write = 0;
  for (int32_t p = 0; p < np; ++p) {
    const uint32_t b = polyStart[p], e = polyStart[p + 1];
    bool ok = true;
    for (uint32_t i = b; i < e; ++i) {
      if (static_cast<uint32_t>(indexPool[i]) >= nvert) {
        ok = false;
        break;
      }
    }
    if (!ok) continue;
    if (withUV) std::copy(uv.begin() + b, uv.begin() + e, uv.begin() + write);
    for (uint32_t i = b; i < e; ++i) indexPool[write++] = indexPool[i];
    if (withMaterial) pm[out] = pm[p];
    polyMaterial[out] = polyMaterial[p];
    polyColor[out] = polyColor[p];
    polyStart[out + 1] = write;
    ++out;
  }
  const size_t dropped = static_cast<size_t>(np - out);
  indexPool.resize(write);
  polyStart.resize(out + 1);
  polyMaterial.resize(out);
  polyColor.resize(out);
  if (withMaterial) pm.resize(out);
  if (withUV) uv.resize(write);
  return dropped;
}
