#include "mesh/simplify.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>
#include <vector>

#include "mesh/vec3.h"

namespace {

// Grid sides above this would need more than 21 bits per cell number.
constexpr int kMaxGrid = 128;
constexpr uint32_t kNoCell = 0xffffffffu;

bool Cancelled(const std::atomic<bool>* cancel) {
  return cancel && cancel->load(std::memory_order_relaxed);
}

using vec3::Cross;
using vec3::Normalised;

// One clustering at grid side g; false when cancelled.
bool Cluster(const PolygonModel& in, int g, const Float3& lo, const Float3& size,
             const std::atomic<bool>* cancel, PolygonModel& out) {
  out = PolygonModel();
  const size_t nv = in.vertices.size();
  // Cell of every vertex, then a dense cluster number per used cell.
  std::vector<uint32_t> cellOf(nv, kNoCell);
  const float fx = size.x > 0 ? g / size.x : 0.0f, fy = size.y > 0 ? g / size.y : 0.0f,
              fz = size.z > 0 ? g / size.z : 0.0f;
  auto axis = [g](float v) {
    const int i = static_cast<int>(v);
    return static_cast<uint32_t>(std::clamp(i, 0, g - 1));
  };
  for (size_t i = 0; i < nv; ++i) {
    const Float3& v = in.vertices[i];
    if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z)) continue;
    cellOf[i] =
        (axis((v.x - lo.x) * fx) * g + axis((v.y - lo.y) * fy)) * g + axis((v.z - lo.z) * fz);
  }
  if (Cancelled(cancel)) return false;
  std::vector<int32_t> clusterOfCell(static_cast<size_t>(g) * g * g, -1);
  std::vector<double> sum;  // x, y, z per cluster
  std::vector<uint32_t> members;
  for (size_t i = 0; i < nv; ++i) {
    if (cellOf[i] == kNoCell) continue;
    int32_t& c = clusterOfCell[cellOf[i]];
    if (c < 0) {
      c = static_cast<int32_t>(members.size());
      members.push_back(0);
      sum.insert(sum.end(), {0.0, 0.0, 0.0});
    }
    const Float3& v = in.vertices[i];
    sum[3 * c] += v.x;
    sum[3 * c + 1] += v.y;
    sum[3 * c + 2] += v.z;
    ++members[c];
    cellOf[i] = static_cast<uint32_t>(c);  // from here on: the cluster
  }
  clusterOfCell = {};

  // Triangles between three different clusters, each cluster triple once.
  std::unordered_set<uint64_t> seen;
  std::vector<int32_t> newIndex(members.size(), -1);
  const uint32_t vcount = static_cast<uint32_t>(nv);
  std::vector<int32_t> corners;
  for (int32_t p = 0; p < in.PolygonCount(); ++p) {
    if ((p & 0xffff) == 0 && Cancelled(cancel)) return false;
    const int32_t n = in.nv(p);
    const int32_t* idx = in.index(p);
    corners.clear();
    for (int32_t i = 0; i < n; ++i) {
      if (static_cast<uint32_t>(idx[i]) < vcount && cellOf[idx[i]] != kNoCell)
        corners.push_back(static_cast<int32_t>(cellOf[idx[i]]));
    }
    for (size_t i = 1; i + 1 < corners.size(); ++i) {
      const uint32_t a = corners[0], b = corners[i], c = corners[i + 1];
      if (a == b || b == c || a == c) continue;
      uint32_t s[3] = {a, b, c};
      std::sort(s, s + 3);
      const uint64_t key = (uint64_t{s[0]} << 42) | (uint64_t{s[1]} << 21) | s[2];
      if (!seen.insert(key).second) continue;
      int32_t t[3];
      const uint32_t abc[3] = {a, b, c};
      for (int k = 0; k < 3; ++k) {
        int32_t& ni = newIndex[abc[k]];
        if (ni < 0) {
          const double m = members[abc[k]];
          ni = out.AddVertex(static_cast<float>(sum[3 * abc[k]] / m),
                             static_cast<float>(sum[3 * abc[k] + 1] / m),
                             static_cast<float>(sum[3 * abc[k] + 2] / m));
        }
        t[k] = ni;
      }
      out.AddTriangle(t[0], t[1], t[2], in.polyMaterial[p], in.polyColor[p]);
    }
  }
  return true;
}

void FillNormals(PolygonModel& m) {
  m.polygonNormals.assign(m.PolygonCount(), {0, 0, 0});
  std::vector<Float3> acc(m.vertices.size(), {0, 0, 0});
  for (int32_t p = 0; p < m.PolygonCount(); ++p) {
    const int32_t* t = m.index(p);
    const Float3 n = Cross(m.vertices[t[0]], m.vertices[t[1]], m.vertices[t[2]]);
    m.polygonNormals[p] = Normalised(n);
    for (int k = 0; k < 3; ++k) {
      Float3& a = acc[t[k]];
      a = {a.x + n.x, a.y + n.y, a.z + n.z};
    }
  }
  m.vertexNormals.resize(acc.size());
  for (size_t i = 0; i < acc.size(); ++i) m.vertexNormals[i] = Normalised(acc[i]);
}

}  // namespace

PolygonModel SimplifyByClustering(const PolygonModel& in, int32_t maxTriangles,
                                  const std::atomic<bool>* cancel) {
  PolygonModel out;
  if (maxTriangles <= 0 || in.vertices.empty() || in.PolygonCount() == 0) return out;
  bool any = false;
  Float3 lo{0, 0, 0}, hi{0, 0, 0};
  for (const Float3& v : in.vertices) {
    if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z)) continue;
    if (!any) {
      lo = hi = v;
      any = true;
    }
    lo = {std::min(lo.x, v.x), std::min(lo.y, v.y), std::min(lo.z, v.z)};
    hi = {std::max(hi.x, v.x), std::max(hi.y, v.y), std::max(hi.z, v.z)};
  }
  const Float3 size{hi.x - lo.x, hi.y - lo.y, hi.z - lo.z};
  if (!any || !std::isfinite(size.x) || !std::isfinite(size.y) || !std::isfinite(size.z))
    return out;
  // A closed surface crosses about 3 g^2 cells and leaves about two
  // triangles per cell.
  int g = static_cast<int>(std::sqrt(maxTriangles / 6.0));
  g = std::clamp(g, 2, kMaxGrid);
  for (;;) {
    if (!Cluster(in, g, lo, size, cancel, out)) return PolygonModel();
    if (out.PolygonCount() <= maxTriangles) break;
    if (g <= 2) return PolygonModel();
    const double shrink = std::sqrt(static_cast<double>(maxTriangles) / out.PolygonCount()) * 0.9;
    g = std::max(2, std::min(g - 1, static_cast<int>(g * shrink)));
  }
  FillNormals(out);
  return out;
}
