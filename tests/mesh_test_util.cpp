#include "tests/mesh_test_util.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "mesh/parallel.h"

PolygonModel MakeModel(const std::vector<Float3>& vertices,
                       const std::vector<std::vector<int32_t>>& polygons) {
  PolygonModel m;
  for (const Float3& v : vertices) m.AddVertex(v.x, v.y, v.z);
  for (const auto& p : polygons) m.AddPolygon(static_cast<int32_t>(p.size()), p.data());
  return m;
}

void AddCube(PolygonModel& m, float shift) {
  const int32_t o = m.VertexCount();
  for (int z = 0; z < 2; ++z)
    for (int i = 0; i < 4; ++i)
      m.AddVertex(shift + float(i == 1 || i == 2), float(i >= 2), float(z));
  const int32_t faces[6][4] = {{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4},
                               {2, 3, 7, 6}, {0, 4, 7, 3}, {1, 2, 6, 5}};
  for (const auto& f : faces) {
    const int32_t idx[4] = {f[0] + o, f[1] + o, f[2] + o, f[3] + o};
    m.AddPolygon(4, idx);
  }
}

void ReversePolygon(PolygonModel& m, int32_t p) { std::reverse(m.index(p), m.index(p) + m.nv(p)); }

std::vector<int32_t> Indices(const PolygonModel& m, int32_t p) {
  return std::vector<int32_t>(m.index(p), m.index(p) + m.nv(p));
}

namespace {

bool SameBits(const std::vector<Float3>& a, const std::vector<Float3>& b, size_t& at) {
  for (at = 0; at < std::min(a.size(), b.size()); ++at)
    if (std::memcmp(&a[at], &b[at], sizeof(Float3)) != 0) return false;
  return a.size() == b.size();
}

std::string Str(const Float3& f) {
  char buf[96];
  snprintf(buf, sizeof buf, "(%.9g %.9g %.9g)", f.x, f.y, f.z);
  return buf;
}

std::string FloatsDiffer(const char* what, const std::vector<Float3>& a,
                         const std::vector<Float3>& b) {
  size_t at = 0;
  if (SameBits(a, b, at)) return {};
  if (a.size() != b.size() && at == std::min(a.size(), b.size()))
    return std::string(what) + " count " + std::to_string(a.size()) + " vs " +
           std::to_string(b.size());
  return std::string(what) + " " + std::to_string(at) + ": " + Str(a[at]) + " vs " + Str(b[at]);
}

}  // namespace

std::string FirstDifference(const PolygonModel& a, const PolygonModel& b) {
  std::string d = FloatsDiffer("vertex", a.vertices, b.vertices);
  if (!d.empty()) return d;
  if (a.polyStart != b.polyStart) return "polygon layout";
  for (size_t i = 0; i < a.indexPool.size(); ++i)
    if (a.indexPool[i] != b.indexPool[i])
      return "index pool " + std::to_string(i) + ": " + std::to_string(a.indexPool[i]) + " vs " +
             std::to_string(b.indexPool[i]);
  if (a.polyMaterial != b.polyMaterial) return "materials";
  d = FloatsDiffer("colour", a.polyColor, b.polyColor);
  if (!d.empty()) return d;
  d = FloatsDiffer("polygon normal", a.polygonNormals, b.polygonNormals);
  if (!d.empty()) return d;
  d = FloatsDiffer("vertex normal", a.vertexNormals, b.vertexNormals);
  if (!d.empty()) return d;
  if (std::memcmp(&a.edgeCos, &b.edgeCos, sizeof(double)) != 0) return "edgeCos";
  return {};
}

namespace {

class Builder {
 public:
  explicit Builder(uint32_t seed) : rng_(seed) {}

  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  float Real(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng_); }

  // A coordinate from a small set, so that positions coincide, with both zeros.
  float Coarse() {
    static const float kValues[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 2.0f, 0.25f, -0.5f};
    return kValues[Int(0, 7)];
  }

  PolygonModel m;

  // Adds the polygon, sometimes with vertices of its own (a copy per corner).
  void Polygon(std::vector<int32_t> idx, bool ownCopies) {
    if (Chance(0.5)) std::reverse(idx.begin(), idx.end());  // random winding
    if (ownCopies)
      for (int32_t& i : idx) {
        const Float3 p = m.vertices[i];
        i = m.AddVertex(p.x, p.y, p.z);
      }
    m.AddPolygon(static_cast<int32_t>(idx.size()), idx.data(), Chance(0.2) ? Int(0, 3) : -1,
                 {0.5f, 0.25f, 1.0f});
  }

  // A height field of w x h cells as triangles, quads or fans of n-gons.
  void Grid(int w, int h, bool soup) {
    const int32_t o = m.VertexCount();
    const int bumps = Int(0, 3);  // 0: flat
    const float dx = Real(-2, 2), dz = Real(-100, 100);
    for (int y = 0; y <= h; ++y)
      for (int x = 0; x <= w; ++x) {
        float z = 0;
        if (bumps == 1) z = float((x * 7 + y * 3) % 5) * 0.3f;                      // sharp creases
        if (bumps == 2) z = std::sin(float(x) * 0.3f) * std::cos(float(y) * 0.2f);  // smooth
        if (bumps == 3) z = Chance(0.3) ? Coarse() : 0.0f;
        m.AddVertex(float(x) + dx, float(y), z + dz);
      }
    const int style = Int(0, 2);
    auto at = [&](int x, int y) { return o + y * (w + 1) + x; };
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const int32_t a = at(x, y), b = at(x + 1, y), c = at(x + 1, y + 1), d = at(x, y + 1);
        if (style == 0 || (style == 2 && Chance(0.5))) {
          Polygon({a, b, c}, soup);
          Polygon({a, c, d}, soup);
        } else if (style == 1) {
          Polygon({a, b, c, d}, soup);
        } else {
          Polygon({a, b, c, d, a}, soup);  // a repeated corner
        }
      }
  }

  // A closed box of quads or a fan of triangles around one apex.
  void Closed() {
    const float s = Real(0.5f, 3);
    const int32_t o = m.VertexCount();
    if (Chance(0.5)) {
      for (int z = 0; z < 2; ++z)
        for (int i = 0; i < 4; ++i)
          m.AddVertex(s * float(i == 1 || i == 2), s * float(i >= 2), s * float(z));
      const int32_t f[6][4] = {{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4},
                               {2, 3, 7, 6}, {0, 4, 7, 3}, {1, 2, 6, 5}};
      for (const auto& q : f) Polygon({q[0] + o, q[1] + o, q[2] + o, q[3] + o}, false);
    } else {
      const int n = Int(3, 60);  // more than the small-bucket limit at times
      m.AddVertex(0, 0, s);
      for (int i = 0; i < n; ++i) {
        const float t = float(i) * 6.2831853f / float(n);
        m.AddVertex(std::cos(t), std::sin(t), Chance(0.2) ? s : 0.0f);
      }
      for (int i = 0; i < n; ++i) Polygon({o, o + 1 + i, o + 1 + (i + 1) % n}, false);
    }
  }

  // Polygons of random corners over a small set of coarse positions.
  void Soup(int count) {
    const int32_t o = m.VertexCount();
    const int pool = Int(1, 12);
    for (int i = 0; i < pool; ++i) m.AddVertex(Coarse(), Coarse(), Coarse());
    for (int i = 0; i < count; ++i) {
      const int n = Chance(0.1) ? Int(0, 2) : (Chance(0.7) ? 3 : Int(4, 7));
      std::vector<int32_t> idx;
      for (int j = 0; j < n; ++j) idx.push_back(o + Int(0, pool - 1));
      Polygon(idx, Chance(0.3));
    }
  }

 private:
  std::mt19937 rng_;
};

}  // namespace

PolygonModel RandomModel(uint32_t seed, size_t scale) {
  Builder b(seed);
  const int parts = b.Int(1, 4);
  for (int i = 0; i < parts; ++i) {
    switch (b.Int(0, 3)) {
      case 0:
      case 1:
        b.Grid(b.Int(1, 8) * static_cast<int>(scale), b.Int(1, 6) * static_cast<int>(scale),
               b.Chance(0.4));
        break;
      case 2:
        b.Closed();
        break;
      default:
        b.Soup(b.Int(1, 40) * static_cast<int>(scale));
        break;
    }
  }
  PolygonModel& m = b.m;
  // Edges shared by three polygons and repeated polygons.
  for (int i = b.Int(0, 3); i > 0 && m.PolygonCount() > 0; --i) {
    const int32_t p = b.Int(0, m.PolygonCount() - 1);
    std::vector<int32_t> idx = Indices(m, p);
    if (idx.size() >= 2 && b.Chance(0.5)) idx.back() = b.Int(0, m.VertexCount() - 1);
    b.Polygon(idx, false);
  }
  // Unused vertices.
  for (int i = b.Int(0, 2); i > 0; --i) m.AddVertex(b.Coarse(), 7.0f, b.Coarse());

  // Mix the polygon order and the vertex numbering.
  const int32_t np = m.PolygonCount(), nv = m.VertexCount();
  std::vector<int32_t> order(np), remap(nv);
  for (int32_t i = 0; i < np; ++i) order[i] = i;
  for (int32_t i = 0; i < nv; ++i) remap[i] = i;
  std::mt19937 mix(seed * 7919u + 1);
  if (b.Chance(0.4)) std::shuffle(order.begin(), order.end(), mix);
  if (b.Chance(0.4)) std::shuffle(remap.begin(), remap.end(), mix);
  PolygonModel out;
  out.vertices.resize(nv);
  for (int32_t i = 0; i < nv; ++i) out.vertices[remap[i]] = m.vertices[i];
  for (int32_t p : order) {
    std::vector<int32_t> idx = Indices(m, p);
    for (int32_t& i : idx) i = remap[i];
    out.AddPolygon(static_cast<int32_t>(idx.size()), idx.data(), m.material(p), m.color(p));
  }
  return out;
}

ThreadsForTest::~ThreadsForTest() { meshpar::SetThreads(0); }
void ThreadsForTest::Single() { meshpar::SetThreads(1); }
void ThreadsForTest::Helper() { meshpar::SetThreads(2, 0); }
