#include "mesh/normals.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/load_progress.h"
#include "mesh/corner_index.h"
#include "mesh/parallel.h"
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

namespace {

// Polygon normals of polygons [p0, p1) into out[p0 .. p1).
void PolygonNormals(const PolygonModel& model, int32_t p0, int32_t p1, Float3* out) {
  const Float3* pos = model.vertices.data();
  const uint32_t* start = model.polyStart.data();
  const int32_t* pool = model.indexPool.data();
  for (int32_t p = p0; p < p1; ++p) {
    if ((p & kCancelStepMask) == 0)
      LoadCancelPoint(static_cast<uint64_t>(p - p0), 2 * static_cast<uint64_t>(p1 - p0));
    out[p] = PolygonNormal(pos, pool + start[p], start[p + 1] - start[p]);
  }
}

// What crease splitting of one range of vertices produces besides the
// normals of its vertices: its copies (positions and normals) in the order
// they were made.
struct SplitResult {
  std::vector<Float3> copies;
  std::vector<Float3> copyNormals;
  // Corners (positions in the index pool) that refer to copy number second
  // of this range; filled only when the copies' final indices are not yet
  // known.
  std::vector<std::pair<uint32_t, uint32_t>> patches;
};

// Groups the corners at vertices [v0, v1), writes their normals to
// vn[v0 .. v1) and appends their copies to out. Reads the
// index pool's corner lists only through the corner index, and writes only
// the corners of its own vertices that move to a copy: directly when
// firstCopy (the index of this range's first copy) is known, else as
// patches.
void SplitVertices(const PolygonModel& model, const CornerIndex& index, const Float3* pn,
                   const uint8_t* reversed, size_t v0, size_t v1, int64_t firstCopy, int32_t* pool,
                   Float3* vn, SplitResult& out) {
  const uint32_t* start = model.polyStart.data();
  const double edgeCos = model.edgeCos;
  std::vector<Float3> nrm;       // the polygon normal of each corner at the vertex
  std::vector<int32_t> grp;      // its group, 0 = none yet
  std::vector<int64_t> cur;      // the vertex it refers to; copies count from -1 down
  std::vector<Float3> sum;       // per group
  std::vector<uint32_t> corner;  // its position in the index pool
  for (size_t v = v0; v < v1; ++v) {
    if ((v & kCancelStepMask) == 0) LoadCancelPoint((v1 - v0) + (v - v0), 2 * (v1 - v0));
    const CornerRef* r = index.refs.data() + index.offset[v];
    const uint32_t k = index.offset[v + 1] - index.offset[v];
    if (k == 0) {
      vn[v] = {0, 0, 1};
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
      vn[v] = UnitOrUp(total);
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
      cur[j] = 0;  // v itself
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
    const size_t firstCopyHere = out.copies.size();
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
            cur[s] = static_cast<int64_t>(out.copies.size()) + 1;
            out.copies.push_back(model.vertices[v]);
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
      const size_t slot = cur[j] == 0 ? 0 : static_cast<size_t>(cur[j]) - firstCopyHere;
      if (slot != 0) {
        const uint32_t copy = static_cast<uint32_t>(cur[j] - 1);
        if (firstCopy >= 0)
          pool[corner[j]] = static_cast<int32_t>(firstCopy + copy);
        else
          out.patches.push_back({corner[j], copy});
      }
      sum[slot].x += nrm[j].x;
      sum[slot].y += nrm[j].y;
      sum[slot].z += nrm[j].z;
    }
    vn[v] = UnitOrUp(sum[0]);
    for (int32_t g = 1; g < groups; ++g) out.copyNormals.push_back(UnitOrUp(sum[g]));
  }
}

}  // namespace

void ComputeNormals(PolygonModel& model, const CornerIndex& index,
                    const std::vector<uint8_t>& reversedPolygons) {
  const int32_t np = model.PolygonCount();
  const size_t nvert = model.vertices.size();
  const uint32_t* start = model.polyStart.data();
  int32_t* pool = model.indexPool.data();
  const bool parallel = meshpar::UseHelper(model.indexPool.size());

  std::vector<Float3> pn;
  ReserveLarge(pn, static_cast<size_t>(np));
  std::vector<Float3> vn;
  ReserveLarge(vn, index.shared ? nvert + nvert / 8 + 16 : nvert);
  Prefault prefault;
  prefault.AddCapacity(pn, static_cast<size_t>(np));
  prefault.AddCapacity(vn, nvert);
  prefault.Start();

  // Both arrays get their final sizes first (the clearing runs on the
  // memory the helper faults in) and each half fills its own part.
  pn.resize(static_cast<size_t>(np));
  {
    const int32_t half = np / 2;
    meshpar::RunHalves(parallel, [&](int h) {
      PolygonNormals(model, h == 0 ? 0 : half, h == 0 ? half : np, pn.data());
    });
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

  // Two ranges of vertices with about as many corners each. The first
  // range's copies come right after the vertices, so it renumbers its
  // corners at once; the second's indices are known only when the first is
  // done.
  const size_t mid = std::upper_bound(index.offset.begin(), index.offset.begin() + nvert,
                                      index.offset[nvert] / 2) -
                     index.offset.begin();
  const size_t cut = std::min(mid, nvert);
  const uint8_t* reversed = reversedPolygons.empty() ? nullptr : reversedPolygons.data();
  SplitResult first, second;
  vn.resize(nvert);
  meshpar::RunHalves(parallel, [&](int h) {
    if (h == 0)
      SplitVertices(model, index, pn.data(), reversed, 0, cut, static_cast<int64_t>(nvert), pool,
                    vn.data(), first);
    else
      SplitVertices(model, index, pn.data(), reversed, cut, nvert, -1, pool, vn.data(), second);
  });

  const size_t copies = first.copies.size() + second.copies.size();
  if (nvert + copies > size_t{std::numeric_limits<int32_t>::max()})
    throw std::length_error("too many vertices");
  const uint32_t secondBase = static_cast<uint32_t>(nvert + first.copies.size());
  for (const auto& [c, copy] : second.patches) pool[c] = static_cast<int32_t>(secondBase + copy);
  if (model.vertices.capacity() < nvert + copies) ReserveLarge(model.vertices, nvert + copies);
  model.vertices.insert(model.vertices.end(), first.copies.begin(), first.copies.end());
  model.vertices.insert(model.vertices.end(), second.copies.begin(), second.copies.end());

  // Vertex normals in vertex order, then those of the copies.
  if (vn.capacity() < nvert + copies) ReserveLarge(vn, nvert + copies);
  vn.insert(vn.end(), first.copyNormals.begin(), first.copyNormals.end());
  vn.insert(vn.end(), second.copyNormals.begin(), second.copyNormals.end());

  model.polygonNormals.swap(pn);
  model.vertexNormals.swap(vn);
}
