// The coarse stand-in by vertex clustering and the finer level of detail:
// bounded output, valid indices and normals, whatever the input; colours,
// silhouettes and creases kept.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "mesh/simplify.h"
#include "mesh/simplify_detail.h"

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

// Every polygon with corners of its own, as an STL file gives them.
PolygonModel Soup(const PolygonModel& in) {
  PolygonModel m;
  for (int32_t p = 0; p < in.PolygonCount(); ++p) {
    std::vector<int32_t> idx;
    for (int32_t i = 0; i < in.nv(p); ++i) {
      const Float3& v = in.vertices[in.index(p)[i]];
      idx.push_back(m.AddVertex(v.x, v.y, v.z));
    }
    m.AddPolygon(in.nv(p), idx.data(), in.polyMaterial[p], in.polyColor[p]);
  }
  return m;
}

// A cube of side 2 with n x n squares per face, each face with vertices
// and normals of its own, as prepared models split them at creases.
PolygonModel FineCube(int n) {
  PolygonModel m;
  for (int axis = 0; axis < 3; ++axis)
    for (int sign = -1; sign <= 1; sign += 2) {
      const int32_t base = m.VertexCount();
      for (int i = 0; i <= n; ++i)
        for (int j = 0; j <= n; ++j) {
          float c[3];
          c[axis] = static_cast<float>(sign);
          c[(axis + 1) % 3] = -1.0f + 2.0f * i / n;
          c[(axis + 2) % 3] = -1.0f + 2.0f * j / n;
          m.AddVertex(c[0], c[1], c[2]);
          Float3 normal{0, 0, 0};
          (&normal.x)[axis] = static_cast<float>(sign);
          m.vertexNormals.push_back(normal);
        }
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
          const int32_t a = base + i * (n + 1) + j, b = a + n + 1;
          const int32_t q[4] = {a, b, b + 1, a + 1};
          if (sign > 0)
            m.AddPolygon(4, q);
          else
            m.AddPolygon(4, std::vector<int32_t>{q[3], q[2], q[1], q[0]}.data());
        }
    }
  return m;
}

TEST(SimplifyForDetail, Contract) {
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
  cases.push_back({"cube kept", Cube(), 1000, 12, 12});
  // The budget is used, not squandered: most of it comes out.
  cases.push_back({"dense sphere", Sphere(100, 150), 2000, 1000, 2000});
  cases.push_back({"soup welded", Soup(Sphere(100, 150)), 2000, 1000, 2000});
  cases.push_back({"tight limit", Sphere(100, 150), 40, 1, 40});
  {
    // Every polygon a colour of its own: no cluster joins two, and the
    // budget still holds.
    PolygonModel motley = Sphere(60, 80);
    for (int32_t p = 0; p < motley.PolygonCount(); ++p)
      motley.SetPolygonColor(p, static_cast<float>(p % 97) / 97, static_cast<float>(p % 89) / 89,
                             static_cast<float>(p) / motley.PolygonCount());
    cases.push_back({"colour per polygon", std::move(motley), 800, 1, 800});
  }
  {
    PolygonModel bad = Sphere(30, 40);
    bad.AddVertex(nan, 0, 0);
    bad.AddVertex(std::numeric_limits<float>::infinity(), 1, 1);
    const int32_t tri[3] = {0, bad.VertexCount() - 1, bad.VertexCount() - 2};
    bad.AddPolygon(3, tri);
    const int32_t outside[4] = {1, 2, 99999, -7};
    bad.AddPolygon(4, outside);
    cases.push_back({"bad vertices and indices", std::move(bad), 500, 250, 500});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PolygonModel out = SimplifyForDetail(c.in, c.maxTriangles);
    ExpectDrawable(out, c.maxTriangles);
    EXPECT_GE(out.PolygonCount(), c.minOut);
    EXPECT_LE(out.PolygonCount(), c.maxOut);
    // Each triangle looks like a polygon of the model.
    for (int32_t p = 0; p < out.PolygonCount(); ++p) {
      bool found = false;
      for (int32_t q = 0; q < c.in.PolygonCount() && !found; ++q)
        found =
            c.in.polyMaterial[q] == out.polyMaterial[p] && c.in.polyColor[q] == out.polyColor[p];
      ASSERT_TRUE(found) << "triangle " << p;
    }
  }
}

// Colour borders stay where they were: a sphere red above the equator and
// blue below keeps its triangles on their own side.
TEST(SimplifyForDetail, ColoursStayOnTheirSide) {
  PolygonModel in = Soup(Sphere(120, 160));
  for (int32_t p = 0; p < in.PolygonCount(); ++p) {
    float z = 0;
    for (int32_t i = 0; i < in.nv(p); ++i) z += in.vertices[in.index(p)[i]].z;
    if (z > 0)
      in.SetPolygonColor(p, 1, 0, 0);
    else
      in.SetPolygonColor(p, 0, 0, 1);
  }
  const PolygonModel out = SimplifyForDetail(in, 3000);
  ExpectDrawable(out, 3000);
  ASSERT_GT(out.PolygonCount(), 1500);
  for (int32_t p = 0; p < out.PolygonCount(); ++p) {
    const int32_t* t = out.index(p);
    const float z = out.vertices[t[0]].z + out.vertices[t[1]].z + out.vertices[t[2]].z;
    if (std::fabs(z) < 0.15f) continue;  // at the border, either side
    EXPECT_EQ(out.polyColor[p].x > 0.5f, z > 0) << "triangle " << p << " at z " << z / 3;
  }
}

// Silhouettes and creases: the corners and edges of a finely divided cube
// stay where they are, and no vertex normal is bent round an edge.
TEST(SimplifyForDetail, KeepsSilhouettesAndCreases) {
  const PolygonModel in = FineCube(60);  // 43,200 triangles
  const PolygonModel out = SimplifyForDetail(in, 2000);
  ExpectDrawable(out, 2000);
  ASSERT_GT(out.PolygonCount(), 12);
  for (int corner = 0; corner < 8; ++corner) {
    const Float3 c{(corner & 1) ? 1.0f : -1.0f, (corner & 2) ? 1.0f : -1.0f,
                   (corner & 4) ? 1.0f : -1.0f};
    double nearest = 1e9;
    for (const Float3& v : out.vertices)
      nearest = std::min<double>(nearest, std::hypot(v.x - c.x, v.y - c.y, v.z - c.z));
    // The budget's triangles are about 0.045 wide here.
    EXPECT_LT(nearest, 0.07) << "corner " << corner;
  }
  for (size_t i = 0; i < out.vertices.size(); ++i) {
    const Float3& v = out.vertices[i];
    // On the surface: one coordinate at +-1, none beyond.
    const float m = std::max({std::fabs(v.x), std::fabs(v.y), std::fabs(v.z)});
    EXPECT_NEAR(m, 1.0f, 0.03f) << "vertex " << i;
    const Float3& n = out.vertexNormals[i];
    EXPECT_GT(std::max({std::fabs(n.x), std::fabs(n.y), std::fabs(n.z)}), 0.999f) << "vertex " << i;
  }
}

TEST(SimplifyForDetail, CancelGivesNothing) {
  const std::atomic<bool> cancel{true};
  EXPECT_EQ(SimplifyForDetail(Sphere(100, 150), 3000, &cancel).PolygonCount(), 0);
}

}  // namespace
