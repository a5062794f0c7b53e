#include "mesh/normals.h"

#include <cmath>
#include <limits>
#include <stdexcept>

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

struct CornerRec {
  uint32_t corner;  // position in the index pool
  uint32_t poly;
};

}  // namespace

void ComputeNormals(PolygonModel& model) {
  const int32_t np = model.PolygonCount();
  const size_t nvert = model.vertices.size();
  const uint32_t* start = model.polyStart.data();
  int32_t* pool = model.indexPool.data();

  // Polygon normals, and the number of corners at each vertex.
  std::vector<Float3> pn(static_cast<size_t>(np));
  std::vector<uint32_t> offset(nvert + 1, 0);
  {
    const Float3* pos = model.vertices.data();
    for (int32_t p = 0; p < np; ++p) {
      const uint32_t s = start[p], n = start[p + 1] - s;
      pn[p] = PolygonNormal(pos, pool + s, n);
      if (n >= 3)
        for (uint32_t j = 0; j < n; ++j) ++offset[pool[s + j] + 1];
    }
  }
  for (size_t v = 0; v < nvert; ++v) offset[v + 1] += offset[v];

  // The corners of each vertex in polygon order, then corner order.
  std::vector<CornerRec> recs(offset[nvert]);
  {
    std::vector<uint32_t> fill(offset.begin(), offset.end() - 1);
    for (int32_t p = 0; p < np; ++p) {
      const uint32_t s = start[p], n = start[p + 1] - s;
      if (n < 3) continue;
      for (uint32_t j = 0; j < n; ++j)
        recs[fill[pool[s + j]]++] = {s + j, static_cast<uint32_t>(p)};
    }
  }

  std::vector<Float3> vn(nvert);
  vn.reserve(nvert + nvert / 8);
  const double edgeCos = model.edgeCos;
  std::vector<Float3> nrm;   // the polygon normal of each corner at the vertex
  std::vector<int32_t> grp;  // its group, 0 = none yet
  std::vector<int32_t> cur;  // the vertex it refers to
  std::vector<Float3> sum;   // per group
  for (size_t v = 0; v < nvert; ++v) {
    const CornerRec* r = recs.data() + offset[v];
    const uint32_t k = offset[v + 1] - offset[v];
    if (k <= 1) {
      vn[v] =
          k == 0
              ? Float3{0, 0, 1}
              : UnitOrUp({0.0f + pn[r[0].poly].x, 0.0f + pn[r[0].poly].y, 0.0f + pn[r[0].poly].z});
      continue;
    }
    if (nrm.size() < k) {
      nrm.resize(k);
      grp.resize(k);
      cur.resize(k);
      sum.resize(k);
    }
    for (uint32_t i = 0; i < k; ++i) {
      nrm[i] = pn[r[i].poly];
      grp[i] = 0;
      cur[i] = static_cast<int32_t>(v);
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
    for (uint32_t i = 0; i < k; ++i) {
      const size_t slot = cur[i] == static_cast<int32_t>(v) ? 0 : cur[i] - firstCopy + 1;
      if (slot != 0) pool[r[i].corner] = cur[i];
      sum[slot].x += nrm[i].x;
      sum[slot].y += nrm[i].y;
      sum[slot].z += nrm[i].z;
    }
    vn[v] = UnitOrUp(sum[0]);
    for (int32_t g = 1; g < groups; ++g) vn.push_back(UnitOrUp(sum[g]));
  }

  model.polygonNormals.swap(pn);
  model.vertexNormals.swap(vn);
}
