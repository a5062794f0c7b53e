// Triangles for concave polygons: which polygons need them, and that the
// triangles cover the polygon exactly once in its own winding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "mesh/triangulate.h"

namespace {

// Twice the signed area in the xy plane.
double Area2(const std::vector<Float3>& v, const std::vector<int32_t>& idx) {
  double a = 0;
  for (size_t i = 0; i < idx.size(); ++i) {
    const Float3& p = v[idx[i]];
    const Float3& q = v[idx[(i + 1) % idx.size()]];
    a += static_cast<double>(p.x) * q.y - static_cast<double>(q.x) * p.y;
  }
  return a;
}

std::vector<Float3> Star(int points, float outer, float inner, bool clockwise = false) {
  std::vector<Float3> v;
  for (int i = 0; i < 2 * points; ++i) {
    const double a = (clockwise ? -1 : 1) * M_PI * i / points;
    const float r = i % 2 ? inner : outer;
    v.push_back({static_cast<float>(r * std::cos(a)), static_cast<float>(r * std::sin(a)), 0.0f});
  }
  return v;
}

std::vector<int32_t> Iota(size_t n) {
  std::vector<int32_t> idx(n);
  for (size_t i = 0; i < n; ++i) idx[i] = static_cast<int32_t>(i);
  return idx;
}

const std::vector<Float3> kL = {{0, 0, 0}, {2, 0, 0}, {2, 1, 0}, {1, 1, 0}, {1, 2, 0}, {0, 2, 0}};

struct Case {
  std::string name;
  std::vector<Float3> v;
  std::vector<int32_t> idx;
  bool convex;
  bool clipped;
  int triangles;  // -1: any number
};

TEST(Triangulate, Table) {
  std::vector<Float3> bentL = kL;
  bentL[3].z = 0.2f;  // the inner corner lifted: not planar
  std::vector<Float3> collinearSquare = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {2, 2, 0}, {0, 2, 0}};
  const std::vector<Float3> star = Star(5, 1.0f, 0.4f), starCw = Star(5, 1.0f, 0.4f, true);
  std::vector<Float3> pentagram;
  for (int i = 0; i < 5; ++i) {
    const double a = 2 * M_PI * 2 * i / 5;
    pentagram.push_back({static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a)), 0});
  }
  const Case cases[] = {
      {"triangle", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 1, 2}, true, true, 1},
      {"square", {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {0, 1, 2, 3}, true, true, 2},
      {"square clockwise",
       {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}},
       {0, 3, 2, 1},
       true,
       true,
       2},
      {"L", kL, Iota(6), false, true, 4},
      {"L clockwise", kL, {5, 4, 3, 2, 1, 0}, false, true, 4},
      {"L standing in the yz plane",
       {{0, 0, 0}, {0, 2, 0}, {0, 2, 1}, {0, 1, 1}, {0, 1, 2}, {0, 0, 2}},
       Iota(6),
       false,
       true,
       4},
      {"star", star, Iota(10), false, true, 8},
      {"star clockwise", starCw, Iota(10), false, true, 8},
      {"collinear corner", collinearSquare, Iota(5), true, true, -1},
      {"L with a collinear corner",
       {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {2, 1, 0}, {1, 1, 0}, {1, 2, 0}, {0, 2, 0}},
       Iota(7),
       false,
       true,
       -1},
      {"L with a repeated corner", kL, {0, 1, 2, 3, 3, 4, 5}, false, true, 4},
      {"L with a repeated position",
       {{0, 0, 0}, {2, 0, 0}, {2, 1, 0}, {1, 1, 0}, {1, 1, 0}, {1, 2, 0}, {0, 2, 0}},
       Iota(7),
       false,
       true,
       4},
      {"L not planar", bentL, Iota(6), false, true, 4},
      {"all on one line", {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}}, Iota(4), true, false, 0},
      {"one point repeated", {{1, 1, 1}}, {0, 0, 0, 0}, true, false, 0},
      {"bad index", kL, {0, 1, 2, 3, 4, 99}, true, false, 0},
      {"pentagram (self-intersecting)", pentagram, Iota(5), false, false, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int32_t n = static_cast<int32_t>(c.idx.size());
    const int32_t nv = static_cast<int32_t>(c.v.size());
    EXPECT_EQ(IsConvexPolygon(c.v.data(), nv, c.idx.data(), n), c.convex);
    std::vector<int32_t> out = {7};  // what was there stays
    const bool clipped = EarClip(c.v.data(), nv, c.idx.data(), n, out);
    ASSERT_GE(out.size(), 1u);
    EXPECT_EQ(out[0], 7);
    out.erase(out.begin());
    if (c.name.find("pentagram") != std::string::npos) continue;  // only: no crash
    EXPECT_EQ(clipped, c.clipped);
    if (!clipped) {
      EXPECT_TRUE(out.empty());
      continue;
    }
    ASSERT_EQ(out.size() % 3, 0u);
    if (c.triangles >= 0) {
      EXPECT_EQ(static_cast<int>(out.size() / 3), c.triangles);
    }
    // The triangles wind as the polygon and add up to its area, so none
    // overlaps another or leaves the polygon (checked in the xy plane, or
    // yz for the standing L).
    const bool yz = c.name.find("yz") != std::string::npos;
    std::vector<Float3> flat = c.v;
    if (yz)
      for (Float3& p : flat) p = {p.y, p.z, 0};
    const double whole = Area2(flat, c.idx);
    double sum = 0;
    for (size_t t = 0; t < out.size(); t += 3) {
      const double a = Area2(flat, {out[t], out[t + 1], out[t + 2]});
      EXPECT_GT(a * whole, 0.0) << "triangle " << t / 3 << " turns the wrong way";
      sum += a;
      for (int k = 0; k < 3; ++k)
        EXPECT_NE(std::find(c.idx.begin(), c.idx.end(), out[t + k]), c.idx.end());
    }
    EXPECT_NEAR(sum, whole, 1e-4 * std::fabs(whole));
  }
}

TEST(Triangulate, ModelKeepsConvexPolygonsWhole) {
  PolygonModel m;
  for (const Float3& p : kL) m.AddVertex(p.x, p.y, p.z);
  const int32_t quad[4] = {0, 1, 2, 5}, lshape[6] = {0, 1, 2, 3, 4, 5};
  m.AddTriangle(0, 1, 2);
  m.AddPolygon(4, quad);
  m.AddPolygon(6, lshape);
  const int32_t bad[6] = {0, 1, 2, 3, 4, -1};
  m.AddPolygon(6, bad);
  m.AddPolygon(6, lshape);
  const ConcaveTriangles t = TriangulateConcave(m);
  EXPECT_EQ(t.polygon, (std::vector<int32_t>{2, 4}));
  ASSERT_EQ(t.start.size(), 3u);
  EXPECT_EQ(t.start[1], 12u);
  EXPECT_EQ(t.start[2], 24u);
  EXPECT_EQ(t.corner.size(), 24u);
}

TEST(Triangulate, HugeCombStaysBounded) {
  // A comb of 20000 teeth (80000 corners): either finished or given up,
  // never a wait of minutes.
  std::vector<Float3> v;
  const int teeth = 20000;
  for (int i = 0; i < teeth; ++i) {
    v.push_back({static_cast<float>(2 * i), 0, 0});
    v.push_back({static_cast<float>(2 * i), 10, 0});
    v.push_back({static_cast<float>(2 * i + 1), 10, 0});
    v.push_back({static_cast<float>(2 * i + 1), 1, 0});
  }
  v.push_back({static_cast<float>(2 * teeth), -1, 0});
  v.push_back({0, -1, 0});
  // Reversed so the comb winds counter-clockwise.
  std::vector<int32_t> idx = Iota(v.size());
  std::reverse(idx.begin(), idx.end());
  std::vector<int32_t> out;
  EXPECT_FALSE(IsConvexPolygon(v.data(), static_cast<int32_t>(v.size()), idx.data(),
                               static_cast<int32_t>(idx.size())));
  const bool clipped = EarClip(v.data(), static_cast<int32_t>(v.size()), idx.data(),
                               static_cast<int32_t>(idx.size()), out);
  EXPECT_EQ(out.size() % 3, 0u);
  if (!clipped) {
    EXPECT_TRUE(out.empty());
  }
}

}  // namespace
