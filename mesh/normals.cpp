#include "mesh/normals.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "mesh/corner_index.h"
#include "mesh/scratch.h"

namespace {

Float3 PolygonNormal(const Float3* pos, const int32_t* idx, uint32_t n) {
  if (n < 3) return {0, 0, 1};
  double sx = 0, sy = 0, sz = 0;
  for (uint32_t j = 0; j + 2 < n; ++j) {
    const Float3& p = pos[idx[j]];
    const Float3& a = pos[idx[j + 1]];
    const Float3& b = pos[idx[j == 0 ? n - 1 : j - 1]];
    const double ax = double(a.x) - p.x, ay = double(a.y) - p.y, az = double(a.z) - p.z;
    const double bx = double(b.x) - p.x, by = double(b.y) - p.y, bz = double(b.z) - p.z;
    sx += ay * bz - az * by;
    sy += az * bx - ax * bz;
    sz += ax * by - ay * bx;
  }
  const double len2 = sx * sx + sy * sy + sz * sz;
  if (!(len2 >= 1e-15)) return {0, 0, 1};
  const double inv = 1.0 / std::sqrt(len2);
  return {static_cast<float>(sx * inv), static_cast<float>(sy * inv), static_cast<float>(sz * inv)};
}

inline double Dot(const Float3& a, const Float3& b) {
  return double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z;
}

inline Float3 UnitOrUp(Float3 s) {
  const float len2 = static_cast<float>(double(s.x) * s.x + double(s.y) * s.y + double(s.z) * s.z);
  if (!(len2 >= 1e-15)) return {0, 0, 1};
  const float inv = 1.0f / std::sqrt(len2);
  return {s.x * inv, s.y * inv, s.z * inv};
}

}  // namespace

void ComputeNormals(PolygonModel& model) {
  CornerIndex index;
  BuildCornerIndex(model, index);
  ComputeNormals(model, index, {});
}

void ComputeNormals(PolygonModel& model, const CornerIndex& index,
                    const std::vector<uint8_t>& reversedPolygons) {
  const int32_t np = model.PolygonCount();
  const size_t nvert = model.vertices.size();
  const uint32_t* start = model.polyStart.data();
  int32_t* pool = model.indexPool.data();

  std::vector<Float3> pn;
  ReserveLarge(pn, static_cast<size_t>(np));
  std::vector<Float3> vn;
  ReserveLarge(vn, index.shared ? nvert + nvert / 8 + 16 : nvert);
  Prefault prefault;
  prefault.AddCapacity(pn, static_cast<size_t>(np));
  prefault.AddCapacity(vn, nvert);
  prefault.Start();
  {
    const Float3* pos = model.vertices.data();
    for (int32_t p = 0; p < np; ++p)
      pn.push_back(PolygonNormal(pos, pool + start[p], start[p + 1] - start[p]));
  }

  if (!index.shared) {
    // Every vertex has at most one corner: nothing to split, and a vertex
    // normal is its polygon's normal, normalised once more.
    vn.assign(nvert, Float3{0, 0, 1});
    for (int32_t p = 0; p < np; ++p) {
      const uint32_t s = start[p], e = start[p + 1];
      if (e - s < 3) continue;
      const Float3 n = UnitOrUp({0.0f + pn[p].x, 0.0f + pn[p].y, 0.0f + pn[p].z});
      for (uint32_t k = s; k < e; ++k) vn[pool[k]] = n;
    }
    model.polygonNormals.swap(pn);
    model.vertexNormals.swap(vn);
    return;
  }

  // Vertex normals in vertex order; those of the copies, appended to the
  // vertices as they are made, follow at the end.
  std::vector<Float3> copyNormals;
  const double edgeCos = model.edgeCos;
  std::vector<Float3> nrm;       // the polygon normal of each corner at the vertex
  std::vector<int32_t> grp;      // its group, 0 = none yet
  std::vector<int32_t> cur;      // the vertex it refers to
  std::vector<Float3> sum;       // per group
  std::vector<uint32_t> corner;  // its position in the index pool
  const uint8_t* reversed = reversedPolygons.empty() ? nullptr : reversedPolygons.data();
  for (size_t v = 0; v < nvert; ++v) {
    const CornerRef* r = index.refs.data() + index.offset[v];
    const uint32_t k = index.offset[v + 1] - index.offset[v];
    if (k == 0) {
      vn.push_back({0, 0, 1});
      continue;
    }
    // The first corner opens the first group and takes in every later one
    // whose polygon is within the angle of its own; when that is all of
    // them nothing splits and v's normal is the sum over its corners.
    const Float3 n0 = pn[r[0].poly];
    Float3 total{0.0f + n0.x, 0.0f + n0.y, 0.0f + n0.z};
    uint32_t i = 1;
    for (; i < k; ++i) {
      const Float3 n = pn[r[i].poly];
      if (!(Dot(n, n0) > edgeCos)) break;
      total = {total.x + n.x, total.y + n.y, total.z + n.z};
    }
    if (i == k) {
      vn.push_back(UnitOrUp(total));
      continue;
    }

    if (nrm.size() < k) {
      nrm.resize(k);
      grp.resize(k);
      cur.resize(k);
      sum.resize(k);
      corner.resize(k);
    }
    for (uint32_t j = 0; j < k; ++j) {
      nrm[j] = pn[r[j].poly];
      grp[j] = 0;
      cur[j] = static_cast<int32_t>(v);
      corner[j] = r[j].corner;
    }
    if (reversed) {
      // The index was built before orientation correction: a reversed
      // polygon's corner j is now at n-1-j, and when it uses v more than
      // once its corners come in the opposite order.
      for (uint32_t j = 0; j < k;) {
        const uint32_t p = r[j].poly;
        uint32_t e = j + 1;
        while (e < k && r[e].poly == p) ++e;
        if (reversed[p]) {
          for (uint32_t c = j; c < e; ++c) corner[c] = start[p + 1] - 1 - (corner[c] - start[p]);
          std::reverse(corner.begin() + j, corner.begin() + e);
        }
        j = e;
      }
    }
    const size_t firstCopy = model.vertices.size();
    int32_t groups = 0;
    uint32_t ungrouped = k;
    for (uint32_t s = 0; s < k && ungrouped > 0; ++s) {
      if (grp[s] == 0) {
        --ungrouped;
        uint32_t q = s + 1;
        while (q < k && !(grp[q] != 0 && Dot(nrm[s], nrm[q]) > edgeCos)) ++q;
        if (q < k) {
          grp[s] = grp[q];
          cur[s] = cur[q];
        } else {
          grp[s] = ++groups;
          if (groups > 1) {
            if (model.vertices.size() >= size_t{std::numeric_limits<int32_t>::max()})
              throw std::length_error("too many vertices");
            const Float3 copy = model.vertices[v];
            cur[s] = static_cast<int32_t>(model.vertices.size());
            if (model.vertices.size() == model.vertices.capacity())
              ReserveLarge(model.vertices, model.vertices.size() * 2);
            model.vertices.push_back(copy);
          }
        }
      }
      for (uint32_t q = s + 1; q < k && ungrouped > 0; ++q) {
        if (grp[q] == 0 && Dot(nrm[q], nrm[s]) > edgeCos) {
          grp[q] = grp[s];
          cur[q] = cur[s];
          --ungrouped;
        }
      }
    }

    // Every corner now refers to v or one of its copies; each of those sums
    // the normals of its own corners, in corner order.
    for (int32_t g = 0; g < groups; ++g) sum[g] = {0, 0, 0};
    for (uint32_t j = 0; j < k; ++j) {
      const size_t slot = cur[j] == static_cast<int32_t>(v) ? 0 : cur[j] - firstCopy + 1;
      if (slot != 0) pool[corner[j]] = cur[j];
      sum[slot].x += nrm[j].x;
      sum[slot].y += nrm[j].y;
      sum[slot].z += nrm[j].z;
    }
    vn.push_back(UnitOrUp(sum[0]));
    for (int32_t g = 1; g < groups; ++g) copyNormals.push_back(UnitOrUp(sum[g]));
  }
  if (vn.capacity() < model.vertices.size()) ReserveLarge(vn, model.vertices.size());
  vn.insert(vn.end(), copyNormals.begin(), copyNormals.end());

  model.polygonNormals.swap(pn);
  model.vertexNormals.swap(vn);
}
