// The coarse stand-in by vertex clustering: bounded output, valid indices
// and normals, whatever the input.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "mesh/simplify.h"

namespace {

// A closed UV sphere of about 2 * rings * sides triangles.
PolygonModel Sphere(int rings, int sides) {
  PolygonModel m;
  m.AddVertex(0, 0, 1);
  for (int r = 1; r < rings; ++r)
    for (int s = 0; s < sides; ++s) {
      const double th = M_PI * r / rings, ph = 2 * M_PI * s / sides;
      m.AddVertex(static_cast<float>(std::sin(th) * std::cos(ph)),
                  static_cast<float>(std::sin(th) * std::sin(ph)),
                  static_cast<float>(std::cos(th)));
    }
  const int32_t south = m.AddVertex(0, 0, -1);
  auto at = [&](int r, int s) { return 1 + (r - 1) * sides + (s % sides); };
  for (int s = 0; s < sides; ++s) m.AddTriangle(0, at(1, s), at(1, s + 1));
  for (int r = 1; r + 1 < rings; ++r)
    for (int s = 0; s < sides; ++s) {
      const int32_t q[4] = {at(r, s), at(r + 1, s), at(r + 1, s + 1), at(r, s + 1)};
      m.AddPolygon(4, q, r % 2 ? 2 : -1, {0.5f, 0.25f, 1.0f});
    }
  for (int s = 0; s < sides; ++s) m.AddTriangle(south, at(rings - 1, s + 1), at(rings - 1, s));
  return m;
}

PolygonModel Cube() {
  PolygonModel m;
  for (int i = 0; i < 8; ++i)
    m.AddVertex((i & 1) ? 1.0f : -1.0f, (i & 2) ? 1.0f : -1.0f, (i & 4) ? 1.0f : -1.0f);
  const int32_t faces[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                               {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
  for (const auto& f : faces) m.AddPolygon(4, f);
  return m;
}

void ExpectDrawable(const PolygonModel& out, int32_t maxTriangles) {
  EXPECT_LE(out.PolygonCount(), maxTriangles);
  ASSERT_EQ(out.polygonNormals.size(), static_cast<size_t>(out.PolygonCount()));
  ASSERT_EQ(out.vertexNormals.size(), out.vertices.size());
  for (const Float3& v : out.vertices)
    ASSERT_TRUE(std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z));
  for (int32_t p = 0; p < out.PolygonCount(); ++p) {
    ASSERT_EQ(out.nv(p), 3);
    const int32_t* t = out.index(p);
    for (int k = 0; k < 3; ++k) ASSERT_LT(static_cast<uint32_t>(t[k]), out.vertices.size());
    EXPECT_TRUE(t[0] != t[1] && t[1] != t[2] && t[0] != t[2]);
    const Float3& n = out.polygonNormals[p];
    EXPECT_NEAR(n.x * n.x + n.y * n.y + n.z * n.z, 1.0, 1e-4);
  }
}

TEST(SimplifyByClustering, Contract) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    std::string name;
    PolygonModel in;
    int32_t maxTriangles;
    int32_t minOut, maxOut;  // expected triangle count range
  };
  std::vector<Case> cases;
  cases.push_back({"empty", PolygonModel(), 100, 0, 0});
  cases.push_back({"no room", Sphere(40, 60), 0, 0, 0});
  {
    PolygonModel point;
    for (int i = 0; i < 3; ++i) point.AddVertex(1, 2, 3);
    point.AddTriangle(0, 1, 2);
    cases.push_back({"one point", std::move(point), 100, 0, 0});
  }
  {
    PolygonModel vertsOnly;
    vertsOnly.AddVertex(0, 0, 0);
    vertsOnly.AddVertex(1, 1, 1);
    cases.push_back({"no polygons", std::move(vertsOnly), 100, 0, 0});
  }
  // A coarse model comes back whole: its corners fall into cells of their own.
  cases.push_back({"cube kept", Cube(), 1000, 12, 12});
  cases.push_back({"dense sphere", Sphere(100, 150), 2000, 200, 2000});
  cases.push_back({"tight limit", Sphere(100, 150), 40, 1, 40});
  {
    PolygonModel bad = Sphere(30, 40);
    bad.AddVertex(nan, 0, 0);
    bad.AddVertex(std::numeric_limits<float>::infinity(), 1, 1);
    const int32_t tri[3] = {0, bad.VertexCount() - 1, bad.VertexCount() - 2};
    bad.AddPolygon(3, tri);
    const int32_t outside[4] = {1, 2, 99999, -7};
    bad.AddPolygon(4, outside);
    cases.push_back({"bad vertices and indices", std::move(bad), 500, 20, 500});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PolygonModel out = SimplifyByClustering(c.in, c.maxTriangles);
    ExpectDrawable(out, c.maxTriangles);
    EXPECT_GE(out.PolygonCount(), c.minOut);
    EXPECT_LE(out.PolygonCount(), c.maxOut);
  }
}

TEST(SimplifyByClustering, KeepsShapeAndColours) {
  const PolygonModel in = Sphere(100, 150);
  const PolygonModel out = SimplifyByClustering(in, 3000);
  ExpectDrawable(out, 3000);
  ASSERT_GT(out.PolygonCount(), 300);
  // Cluster means of points on the unit sphere lie just inside it, and the
  // surface still faces outwards.
  for (const Float3& v : out.vertices) {
    const double r = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    EXPECT_GT(r, 0.9);
    EXPECT_LE(r, 1.0 + 1e-5);
  }
  int outward = 0, coloured = 0;
  for (int32_t p = 0; p < out.PolygonCount(); ++p) {
    const Float3& a = out.vertices[out.index(p)[0]];
    const Float3& n = out.polygonNormals[p];
    outward += a.x * n.x + a.y * n.y + a.z * n.z > 0;
    if (out.polyMaterial[p] == 2) {
      EXPECT_TRUE(out.polyColor[p] == (Float3{0.5f, 0.25f, 1.0f}));
      ++coloured;
    }
  }
  EXPECT_GT(outward, out.PolygonCount() * 95 / 100);
  EXPECT_GT(coloured, 0);
  EXPECT_LT(coloured, out.PolygonCount());
}

TEST(SimplifyByClustering, CancelGivesNothing) {
  const std::atomic<bool> cancel{true};
  EXPECT_EQ(SimplifyByClustering(Sphere(100, 150), 3000, &cancel).PolygonCount(), 0);
}

}  // namespace
