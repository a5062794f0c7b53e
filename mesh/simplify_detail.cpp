#include "mesh/simplify_detail.h"

#include <meshoptimizer.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "mesh/simplify.h"
#include "mesh/vec3.h"

namespace {

// Cell coordinates take 19 bits each, the normal's direction 5 more.
constexpr int kMaxGrid = 1 << 19;
// Triangle keys hold three cluster numbers of 21 bits.
constexpr uint32_t kMaxClusters = (1u << 21) - 1;

bool Cancelled(const std::atomic<bool>* cancel) {
  return cancel && cancel->load(std::memory_order_relaxed);
}

using vec3::Cross;
using vec3::Normalised;

bool Finite(const Float3& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// One of 24 directions: the dominant axis with its sign, and the signs of
// the other two. Corners on the two sides of a crease fall into different
// ones for any crease sharper than about 45 degrees, and most gentler ones.
uint32_t Direction(const Float3& n) {
  const float ax = std::fabs(n.x), ay = std::fabs(n.y), az = std::fabs(n.z);
  if (!(ax > 0 || ay > 0 || az > 0)) return 0;
  int axis = 0;
  float a = n.x, b = n.y, c = n.z;
  if (ay > ax && ay >= az) {
    axis = 1;
    a = n.y, b = n.z, c = n.x;
  } else if (az > ax && az > ay) {
    axis = 2;
    a = n.z, b = n.x, c = n.y;
  }
  return static_cast<uint32_t>(axis * 8 + (a < 0 ? 4 : 0) + (b < 0 ? 2 : 0) + (c < 0 ? 1 : 0));
}

uint64_t Mix(uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  k ^= k >> 33;
  return k;
}

// The material and colour a triangle is drawn with.
struct Look {
  int32_t material;
  Float3 color;
  bool operator==(const Look& o) const {
    return material == o.material && std::memcmp(&color, &o.color, sizeof color) == 0;
  }
};
struct LookHash {
  size_t operator()(const Look& l) const {
    uint32_t c[3];
    std::memcpy(c, &l.color, sizeof c);
    return Mix((uint64_t{c[0]} << 32 | c[1]) ^ (uint64_t{c[2]} << 7) ^
               static_cast<uint32_t>(l.material));
  }
};

struct Cluster {
  float sum[3];
  float normal[3];
  uint32_t count;
  uint32_t look;
};

// Open addressing from (cell and direction, look) to a cluster number.
class ClusterTable {
 public:
  // The cluster of the key, made when new; kMaxClusters + 1 when the table
  // is full.
  uint32_t Find(uint64_t cell, uint32_t look, std::vector<Cluster>& clusters) {
    const uint64_t hash = Mix(cell ^ (uint64_t{look} << 40));
    // Neighbouring polygons share their corners' cells: a small table in
    // the cache answers most lookups.
    Slot& recent = recent_[hash & (kRecent - 1)];
    if (recent.cluster != 0 && recent.cell == cell && recent.look == look)
      return recent.cluster - 1;
    if (2 * (clusters.size() + 1) > slots_.size()) Grow();
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (s.cluster == 0) {
        if (clusters.size() >= kMaxClusters) return kMaxClusters + 1;
        s = {cell, look, static_cast<uint32_t>(clusters.size() + 1)};
        clusters.push_back({{0, 0, 0}, {0, 0, 0}, 0, look});
        recent = s;
        return s.cluster - 1;
      }
      if (s.cell == cell && s.look == look) {
        recent = s;
        return s.cluster - 1;
      }
    }
  }

 private:
  struct Slot {
    uint64_t cell;
    uint32_t look;
    uint32_t cluster;  // number + 1; 0 for an empty slot
  };
  void Grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(std::max<size_t>(1024, old.size() * 2), Slot{0, 0, 0});
    const size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.cluster == 0) continue;
      size_t i = Mix(s.cell ^ (uint64_t{s.look} << 40)) & mask;
      while (slots_[i].cluster != 0) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }
  static constexpr size_t kRecent = 4096;
  std::vector<Slot> slots_;
  std::vector<Slot> recent_ = std::vector<Slot>(kRecent, Slot{0, 0, 0});
};

// A set of triangles as sorted cluster triples (never 0: a triangle has
// three different clusters).
class TriangleSet {
 public:
  bool Insert(uint64_t key) {
    if (2 * (count_ + 1) > keys_.size()) Grow();
    const size_t mask = keys_.size() - 1;
    for (size_t i = Mix(key) & mask;; i = (i + 1) & mask) {
      if (keys_[i] == 0) {
        keys_[i] = key;
        ++count_;
        return true;
      }
      if (keys_[i] == key) return false;
    }
  }

 private:
  void Grow() {
    std::vector<uint64_t> old = std::move(keys_);
    keys_.assign(std::max<size_t>(1024, old.size() * 2), 0);
    const size_t mask = keys_.size() - 1;
    for (uint64_t k : old) {
      if (k == 0) continue;
      size_t i = Mix(k) & mask;
      while (keys_[i] != 0) i = (i + 1) & mask;
      keys_[i] = k;
    }
  }
  std::vector<uint64_t> keys_;
  size_t count_ = 0;
};

// The grid whose cells the model's vertices fill about `cells` of: counted
// on a coarse grid, and refined as a surface fills cells, with the square
// of the grid's side.
// 0 when cancelled.
double GridFor(const PolygonModel& in, const Float3& lo, double extent, double cells,
               const std::atomic<bool>* cancel) {
  constexpr int g = 128;
  std::vector<uint64_t> used(g * g * g / 64, 0);
  const double f = g / extent;
  auto axis = [](double v) {
    return static_cast<uint32_t>(std::clamp(static_cast<int>(v), 0, g - 1));
  };
  size_t count = 0;
  for (size_t i = 0; i < in.vertices.size(); ++i) {
    if ((i & 0xffff) == 0 && Cancelled(cancel)) return 0;
    const Float3& v = in.vertices[i];
    if (!Finite(v)) continue;
    const uint32_t c =
        (axis((v.x - lo.x) * f) * g + axis((v.y - lo.y) * f)) * g + axis((v.z - lo.z) * f);
    uint64_t& word = used[c >> 6];
    const uint64_t bit = uint64_t{1} << (c & 63);
    count += (word & bit) == 0;
    word |= bit;
  }
  return g * std::sqrt(cells / static_cast<double>(std::max<size_t>(count, 1)));
}

enum class Weld { kDone, kTooFine, kCancelled };

// The model's corners moved into cells of side `cell`, one cluster per
// cell, direction and look; triangles between three different clusters,
// each triple once. kTooFine when more than maxClusters clusters or
// maxTris triangles come out.
Weld ClusterCells(const PolygonModel& in, double cell, const Float3& lo, uint32_t maxClusters,
                  size_t maxTris, const std::atomic<bool>* cancel, std::vector<Cluster>& clusters,
                  std::vector<Look>& looks, std::vector<uint32_t>& tris) {
  clusters.clear();
  looks.clear();
  tris.clear();
  ClusterTable table;
  TriangleSet seen;
  std::unordered_map<Look, uint32_t, LookHash> lookOf;
  const size_t nv = in.vertices.size();
  const bool vertexNormals = in.vertexNormals.size() == nv;
  const bool polygonNormals = in.polygonNormals.size() == static_cast<size_t>(in.PolygonCount());
  const double inv = 1.0 / cell;
  auto axis = [](double v) {
    return static_cast<uint64_t>(
        std::clamp(static_cast<int64_t>(v), int64_t{0}, int64_t{kMaxGrid - 1}));
  };
  Look lastLook{0, {0, 0, 0}};
  uint32_t lastLookId = UINT32_MAX;
  std::vector<uint32_t> corners;
  for (int32_t p = 0; p < in.PolygonCount(); ++p) {
    if ((p & 0xffff) == 0 && Cancelled(cancel)) return Weld::kCancelled;
    const Look look{in.polyMaterial[p], in.polyColor[p]};
    if (lastLookId == UINT32_MAX || !(look == lastLook)) {
      auto [it, added] = lookOf.try_emplace(look, static_cast<uint32_t>(looks.size()));
      if (added) looks.push_back(look);
      lastLook = look;
      lastLookId = it->second;
    }
    const int32_t n = in.nv(p);
    const int32_t* idx = in.index(p);
    corners.clear();
    for (int32_t i = 0; i < n; ++i) {
      const uint32_t v = static_cast<uint32_t>(idx[i]);
      if (v >= nv || !Finite(in.vertices[v])) continue;
      const Float3& x = in.vertices[v];
      const Float3 normal = vertexNormals    ? in.vertexNormals[v]
                            : polygonNormals ? in.polygonNormals[p]
                                             : Float3{0, 0, 0};
      const uint64_t key = (axis((x.x - lo.x) * inv) << 43) | (axis((x.y - lo.y) * inv) << 24) |
                           (axis((x.z - lo.z) * inv) << 5) | Direction(normal);
      const uint32_t c = table.Find(key, lastLookId, clusters);
      if (c > kMaxClusters || clusters.size() > maxClusters) return Weld::kTooFine;
      Cluster& k = clusters[c];
      k.sum[0] += x.x, k.sum[1] += x.y, k.sum[2] += x.z;
      if (Finite(normal)) k.normal[0] += normal.x, k.normal[1] += normal.y, k.normal[2] += normal.z;
      ++k.count;
      corners.push_back(c);
    }
    for (size_t i = 1; i + 1 < corners.size(); ++i) {
      const uint32_t a = corners[0], b = corners[i], c = corners[i + 1];
      if (a == b || b == c || a == c) continue;
      uint64_t s[3] = {a, b, c};
      std::sort(s, s + 3);
      // Cluster 0 may be the smallest: the key of (0, 1, 2) is not 0.
      if (!seen.Insert((s[0] << 42 | s[1] << 21 | s[2]) + 1)) continue;
      if (tris.size() / 3 >= maxTris) return Weld::kTooFine;
      tris.insert(tris.end(), {a, b, c});
    }
  }
  return Weld::kDone;
}

}  // namespace

namespace {

PolygonModel Simplify(const PolygonModel& in, int32_t maxTriangles, const std::atomic<bool>* cancel,
                      std::atomic<bool>* modelDone) {
  PolygonModel out;
  if (maxTriangles <= 0 || in.vertices.empty() || in.PolygonCount() == 0) return out;
  bool any = false;
  Float3 lo{0, 0, 0}, hi{0, 0, 0};
  for (size_t i = 0; i < in.vertices.size(); ++i) {
    if ((i & 0xffff) == 0 && Cancelled(cancel)) return out;
    const Float3& v = in.vertices[i];
    if (!Finite(v)) continue;
    if (!any) {
      lo = hi = v;
      any = true;
    }
    lo = {std::min(lo.x, v.x), std::min(lo.y, v.y), std::min(lo.z, v.z)};
    hi = {std::max(hi.x, v.x), std::max(hi.y, v.y), std::max(hi.z, v.z)};
  }
  const double extent =
      std::max({static_cast<double>(hi.x) - lo.x, static_cast<double>(hi.y) - lo.y,
                static_cast<double>(hi.z) - lo.z});
  if (!any || !std::isfinite(extent) || !(extent > 0)) return out;

  // As many clusters as the budget has triangles, about twice the vertices
  // the result can have: the simplifier then chooses which of them to keep.
  // Coarser when looks and directions split cells into more than that.
  const double budget = maxTriangles;
  const uint32_t maxClusters =
      static_cast<uint32_t>(std::min<double>(kMaxClusters, 1.5 * budget + 1024));
  const size_t maxTris = static_cast<size_t>(4 * budget + 2048);
  double grid = GridFor(in, lo, extent, budget, cancel);
  if (Cancelled(cancel)) return out;
  grid = std::clamp(grid, 2.0, static_cast<double>(kMaxGrid - 1));
  std::vector<Cluster> clusters;
  std::vector<Look> looks;
  std::vector<uint32_t> tris;
  for (;;) {
    const Weld w =
        ClusterCells(in, extent / grid, lo, maxClusters, maxTris, cancel, clusters, looks, tris);
    if (w == Weld::kCancelled) return out;
    if (w == Weld::kDone) break;
    grid *= 0.8;
    // Looks or directions split nearly every cell (a colour per polygon, a
    // noisy surface): clustered without them.
    if (grid < 0.25 * std::sqrt(budget)) return SimplifyByClustering(in, maxTriangles, cancel);
  }
  if (tris.empty()) return out;
  if (modelDone) *modelDone = true;

  std::vector<float> positions(3 * clusters.size());
  for (size_t c = 0; c < clusters.size(); ++c)
    for (int k = 0; k < 3; ++k) positions[3 * c + k] = clusters[c].sum[k] / clusters[c].count;
  if (Cancelled(cancel)) return out;

  const size_t target = 3 * static_cast<size_t>(maxTriangles);
  std::vector<uint32_t> kept(tris.size());
  size_t count = tris.size();
  if (count > target) {
    // About one cell of error: the surface stays within a pixel or so.
    const float error = static_cast<float>(1.0 / grid);
    count = meshopt_simplify(kept.data(), tris.data(), tris.size(), positions.data(),
                             clusters.size(), 3 * sizeof(float), target, error, 0, nullptr);
    if (count > target && !Cancelled(cancel)) {
      // Left above the budget by the bound: clustered down to it.
      tris.assign(kept.begin(), kept.begin() + count);
      count = meshopt_simplifySloppy(kept.data(), tris.data(), tris.size(), positions.data(),
                                     clusters.size(), 3 * sizeof(float), target, FLT_MAX, nullptr);
    }
    // Sloppy clustering meets any budget; should it ever not, no level.
    if (count > target) return out;
  } else {
    kept = tris;
  }
  tris = {};
  if (Cancelled(cancel)) return out;

  // Only the clusters the triangles use, numbered in order of use.
  std::vector<int32_t> newIndex(clusters.size(), -1);
  const bool sourceNormals = !in.vertexNormals.empty() || !in.polygonNormals.empty();
  out.Reserve(std::min(clusters.size(), count), count / 3, count);
  for (size_t t = 0; t + 2 < count; t += 3) {
    const uint32_t* c = &kept[t];
    if (c[0] == c[1] || c[1] == c[2] || c[0] == c[2]) continue;
    int32_t v[3];
    for (int k = 0; k < 3; ++k) {
      int32_t& ni = newIndex[c[k]];
      if (ni < 0)
        ni = out.AddVertex(positions[3 * c[k]], positions[3 * c[k] + 1], positions[3 * c[k] + 2]);
      v[k] = ni;
    }
    const Look& look = looks[clusters[c[0]].look];
    out.AddTriangle(v[0], v[1], v[2], look.material, look.color);
  }
  out.polygonNormals.resize(out.PolygonCount());
  std::vector<Float3> acc(out.vertices.size(), {0, 0, 0});
  if (sourceNormals) {
    for (size_t c = 0; c < clusters.size(); ++c)
      if (newIndex[c] >= 0)
        acc[newIndex[c]] = {clusters[c].normal[0], clusters[c].normal[1], clusters[c].normal[2]};
  }
  for (int32_t p = 0; p < out.PolygonCount(); ++p) {
    const int32_t* t = out.index(p);
    const Float3 n = Cross(out.vertices[t[0]], out.vertices[t[1]], out.vertices[t[2]]);
    out.polygonNormals[p] = Normalised(n);
    if (sourceNormals) continue;
    for (int k = 0; k < 3; ++k) {
      Float3& a = acc[t[k]];
      a = {a.x + n.x, a.y + n.y, a.z + n.z};
    }
  }
  out.vertexNormals.resize(acc.size());
  for (size_t i = 0; i < acc.size(); ++i) out.vertexNormals[i] = Normalised(acc[i]);
  return out;
}

}  // namespace

PolygonModel SimplifyForDetail(const PolygonModel& in, int32_t maxTriangles,
                               const std::atomic<bool>* cancel, std::atomic<bool>* modelDone) {
  PolygonModel out = Simplify(in, maxTriangles, cancel, modelDone);
  if (modelDone) *modelDone = true;
  return out;
}
