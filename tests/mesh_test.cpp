#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "mesh/fix_orientation.h"
#include "mesh/normals.h"
#include "mesh/prepare_mesh.h"
#include "mesh/share_vertices.h"
#include "tests/mesh_reference.h"
#include "tests/mesh_test_util.h"

namespace {

const float kAngles[] = {0.0f, 60.0f, 120.0f, 180.0f};

// ---- The fast code against the reference ----

TEST(MeshPrepare, MatchesReferenceOnRandomModels) {
  for (uint32_t seed = 1; seed <= 600; ++seed) {
    const PolygonModel base = RandomModel(seed);
    for (int combo = 0; combo < 4; ++combo) {
      const bool share = combo & 1, orient = combo & 2;
      PolygonModel fast = base, ref = base;
      const float angle = seed % 5 == 4 ? float(seed % 181) : kAngles[seed % 4];
      fast.SetEdgeAngle(angle);
      ref.SetEdgeAngle(angle);
      PrepareMesh(fast, share, orient);
      reference::PrepareMesh(ref, share, orient);
      ASSERT_EQ(FirstDifference(fast, ref), "")
          << "seed " << seed << " share " << share << " orient " << orient << " angle " << angle;
    }
  }
}

TEST(MeshPrepare, TextureCoordinatesStayWithTheirCorners) {
  // Each corner's coordinates name its vertex's position: sharing, crease
  // splitting and reversed windings must keep that true, and the geometry
  // must come out as it does without them.
  auto attach = [](PolygonModel& m) {
    m.appearance.cornerUV.clear();
    for (const int32_t i : m.indexPool)
      m.appearance.cornerUV.push_back({m.vertices[i].x, m.vertices[i].y});
  };
  auto check = [](const PolygonModel& m) {
    ASSERT_EQ(m.appearance.cornerUV.size(), m.indexPool.size());
    for (size_t c = 0; c < m.indexPool.size(); ++c) {
      const Float3& v = m.vertices[m.indexPool[c]];
      ASSERT_EQ(m.appearance.cornerUV[c], (Float2{v.x, v.y})) << "corner " << c;
    }
  };
  PolygonModel cube;
  AddCube(cube);
  ReversePolygon(cube, 0);  // the five others get turned
  std::vector<PolygonModel> models{cube};
  for (uint32_t seed = 1; seed <= 150; ++seed) models.push_back(RandomModel(seed));
  for (const PolygonModel& base : models) {
    for (int combo = 0; combo < 4; ++combo) {
      const bool share = combo & 1, orient = combo & 2;
      PolygonModel plain = base, textured = base;
      attach(textured);
      PrepareMesh(plain, share, orient);
      PrepareMesh(textured, share, orient);
      check(textured);
      textured.appearance.Clear();
      ASSERT_EQ(FirstDifference(textured, plain), "");
    }
  }
}

TEST(MeshPrepare, MatchesReferenceStepByStep) {
  // Each step on its own, so that a difference points at one algorithm.
  for (uint32_t seed = 1000; seed < 1300; ++seed) {
    PolygonModel fast = RandomModel(seed), ref = fast;
    ShareVertices(fast);
    reference::ShareVertices(ref);
    ASSERT_EQ(FirstDifference(fast, ref), "") << "sharing, seed " << seed;
    FixOrientation(fast);
    reference::FixOrientation(ref);
    ASSERT_EQ(FirstDifference(fast, ref), "") << "orientation, seed " << seed;
    ComputeNormals(fast);
    reference::ComputeNormals(ref);
    ASSERT_EQ(FirstDifference(fast, ref), "") << "normals, seed " << seed;
  }
}

TEST(MeshPrepare, MatchesReferenceOnLargerModels) {
  // Enough polygons for several levels of the worklist index, large edge
  // buckets and table growth.
  for (uint32_t seed = 2000; seed < 2024; ++seed) {
    const PolygonModel base = RandomModel(seed, 20);
    PolygonModel fast = base, ref = base;
    fast.SetEdgeAngle(kAngles[seed % 4]);
    ref.SetEdgeAngle(kAngles[seed % 4]);
    PrepareMesh(fast, true, true);
    reference::PrepareMesh(ref, true, true);
    ASSERT_EQ(FirstDifference(fast, ref), "") << "seed " << seed;
  }
}

// The helper thread takes every model, however small, so that the split
// into halves (odd counts, one-polygon halves, copies on both sides, patches
// to the second half's corners) meets every shape of the random models.
TEST(MeshPrepare, HelperThreadGivesTheSingleThreadedResult) {
  struct Case {
    uint32_t firstSeed, seeds;
    size_t scale;
  };
  const Case cases[] = {{1, 300, 1}, {3000, 12, 20}};
  ThreadsForTest threads;
  for (const Case& c : cases) {
    for (uint32_t seed = c.firstSeed; seed < c.firstSeed + c.seeds; ++seed) {
      const PolygonModel base = RandomModel(seed, c.scale);
      for (int combo = 0; combo < 4; ++combo) {
        const bool share = combo & 1, orient = combo & 2;
        PolygonModel single = base, split = base, ref = base;
        const float angle = kAngles[(seed + combo) % 4];
        single.SetEdgeAngle(angle);
        split.SetEdgeAngle(angle);
        ref.SetEdgeAngle(angle);
        threads.Single();
        PrepareMesh(single, share, orient);
        threads.Helper();
        PrepareMesh(split, share, orient);
        reference::PrepareMesh(ref, share, orient);
        ASSERT_EQ(FirstDifference(split, single), "")
            << "seed " << seed << " share " << share << " orient " << orient << " angle " << angle;
        ASSERT_EQ(FirstDifference(split, ref), "") << "seed " << seed;
      }
    }
  }
}

// ---- Vertex sharing ----

TEST(ShareVertices, MergesByPositionInOrderOfFirstUse) {
  const float nextAfterOne = std::nextafter(1.0f, 2.0f);
  struct Case {
    const char* what;
    std::vector<Float3> vertices;
    std::vector<std::vector<int32_t>> polygons;
    std::vector<Float3> wantVertices;
    std::vector<std::vector<int32_t>> wantPolygons;
  } cases[] = {
      {"two triangles with their own copies of the shared edge",
       {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}},
       {{0, 1, 2}, {3, 4, 5}},
       {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}},
       {{0, 1, 2}, {1, 3, 2}}},
      {"unused vertices are dropped",
       {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}},
       {{0, 1}},
       {{0, 0, 0}, {1, 0, 0}},
       {{0, 1}}},
      {"renumbered in order of first use",
       {{5, 0, 0}, {6, 0, 0}, {7, 0, 0}},
       {{2, 0, 1}, {1, 2}},
       {{7, 0, 0}, {5, 0, 0}, {6, 0, 0}},
       {{0, 1, 2}, {2, 0}}},
      {"-0.0 equals +0.0; the first use's position is kept",
       {{-0.0f, 0, 0}, {0, 0, 0}, {0, 1, 0}},
       {{0, 1, 2}},
       {{-0.0f, 0, 0}, {0, 1, 0}},
       {{0, 0, 1}}},
      {"one float step apart stays apart",
       {{1, 0, 0}, {nextAfterOne, 0, 0}, {0, 1, 0}},
       {{0, 1, 2}},
       {{1, 0, 0}, {nextAfterOne, 0, 0}, {0, 1, 0}},
       {{0, 1, 2}}},
      {"a polygon at one point keeps its corners",
       {{3, 3, 3}, {3, 3, 3}, {3, 3, 3}, {3, 3, 3}},
       {{0, 1, 2, 3}},
       {{3, 3, 3}},
       {{0, 0, 0, 0}}},
      {"distinct vertices used in order stay as they are",
       {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}},
       {{0, 1, 2}, {3}},
       {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}},
       {{0, 1, 2}, {3}}},
  };
  for (const Case& c : cases) {
    PolygonModel m = MakeModel(c.vertices, c.polygons);
    const PolygonModel want = MakeModel(c.wantVertices, c.wantPolygons);
    ShareVertices(m);
    EXPECT_EQ(FirstDifference(m, want), "") << c.what;
  }
}

TEST(ShareVertices, NaNPositionsMergeOnlyWithTheSameBits) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float otherNan = std::bit_cast<float>(std::bit_cast<uint32_t>(nan) | 1u);
  PolygonModel m = MakeModel({{nan, 0, 0}, {1, 0, 0}, {nan, 0, 0}, {otherNan, 0, 0}, {1, 0, 0}},
                             {{0, 1, 2}, {3, 4, 0}});
  ShareVertices(m);
  ASSERT_EQ(m.VertexCount(), 3);
  EXPECT_EQ(Indices(m, 0), (std::vector<int32_t>{0, 1, 0}));
  EXPECT_EQ(Indices(m, 1), (std::vector<int32_t>{2, 1, 0}));
}

// ---- Orientation correction ----

TEST(FixOrientation, CubeWindings) {
  PolygonModel cube;
  AddCube(cube);
  PolygonModel twoCubes;
  AddCube(twoCubes);
  AddCube(twoCubes, 3.0f);

  {  // One face wound the other way is turned back; the others stay.
    PolygonModel m = cube;
    ReversePolygon(m, 3);
    FixOrientation(m);
    EXPECT_EQ(m.indexPool, cube.indexPool);
  }
  {  // The first face decides: the five others are turned inside out.
    PolygonModel m = cube;
    ReversePolygon(m, 0);
    FixOrientation(m);
    PolygonModel want = cube;
    for (int32_t p = 0; p < 6; ++p) ReversePolygon(want, p);
    EXPECT_EQ(m.indexPool, want.indexPool);
  }
  {  // Each cube follows its own first polygon.
    PolygonModel m = twoCubes;
    ReversePolygon(m, 4);
    ReversePolygon(m, 6);
    FixOrientation(m);
    PolygonModel want = twoCubes;
    ReversePolygon(want, 6);
    for (int32_t p = 7; p < 12; ++p) ReversePolygon(want, p);
    EXPECT_EQ(m.indexPool, want.indexPool);
  }
}

TEST(FixOrientation, LeavesAloneWhatSharesNoEdge) {
  // Triangles with vertices of their own (an STL file read without sharing),
  // and polygons of fewer than three corners.
  PolygonModel soup = MakeModel({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}},
                                {{0, 1, 2}, {3, 4, 5}});
  PolygonModel shortOnes = MakeModel({{0, 0, 0}, {1, 0, 0}}, {{0, 1}, {1, 0}, {0}, {}});
  for (PolygonModel* m : {&soup, &shortOnes}) {
    const std::vector<int32_t> before = m->indexPool;
    FixOrientation(*m);
    EXPECT_EQ(m->indexPool, before);
  }
}

TEST(FixOrientation, TwoWordRecordsGiveTheSameResult) {
  // The edge table layout of models of more than 2^29 polygons, forced on
  // small ones.
  struct Wide {
    Wide() { SetWideOrientationRecords(true); }
    ~Wide() { SetWideOrientationRecords(false); }
  } wide;
  for (uint32_t seed = 4000; seed < 4200; ++seed) {
    PolygonModel fast = RandomModel(seed, seed % 10 == 0 ? 20 : 1), ref = fast;
    FixOrientation(fast);
    reference::FixOrientation(ref);
    ASSERT_EQ(FirstDifference(fast, ref), "") << "seed " << seed;
  }
}

TEST(FixOrientation, ThreePolygonsOnOneEdge) {
  // The second runs along 0-1 like the first and is reversed; the third
  // runs the other way and is kept.
  PolygonModel m = MakeModel({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}},
                             {{0, 1, 2}, {0, 1, 3}, {1, 0, 4}});
  FixOrientation(m);
  EXPECT_EQ(Indices(m, 0), (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(Indices(m, 1), (std::vector<int32_t>{3, 1, 0}));
  EXPECT_EQ(Indices(m, 2), (std::vector<int32_t>{1, 0, 4}));
}

// ---- Normals and crease splitting ----

TEST(PrepareMesh, CubeSplitsAtSharpAngles) {
  const Float3 faceNormal[6] = {{0, 0, -1}, {0, 0, 1},  {0, -1, 0},
                                {0, 1, 0},  {-1, 0, 0}, {1, 0, 0}};
  PolygonModel cube;
  AddCube(cube);
  for (float angle : {120.0f, 180.0f}) {
    PolygonModel m = cube;
    m.SetEdgeAngle(angle);
    PrepareMesh(m, false, false);
    ASSERT_EQ(m.VertexCount(), 24) << angle;
    ASSERT_EQ(m.vertexNormals.size(), 24u);
    ASSERT_EQ(m.polygonNormals.size(), 6u);
    for (int32_t p = 0; p < 6; ++p) {
      EXPECT_EQ(m.polygonNormals[p], faceNormal[p]) << p;
      for (int32_t j = 0; j < 4; ++j) {
        const int32_t v = m.index(p)[j];
        EXPECT_EQ(m.vertexNormals[v], faceNormal[p]) << angle << " face " << p;
        EXPECT_EQ(m.vertices[v], cube.vertices[cube.index(p)[j]]);
      }
    }
  }
}

TEST(PrepareMesh, AngleZeroKeepsEveryCubeCorner) {
  PolygonModel m;
  AddCube(m);
  m.SetEdgeAngle(0);
  PrepareMesh(m, false, false);
  ASSERT_EQ(m.VertexCount(), 8);
  const float c = 1.0f / std::sqrt(3.0f);
  EXPECT_NEAR(m.vertexNormals[0].x, -c, 1e-6);
  EXPECT_NEAR(m.vertexNormals[0].y, -c, 1e-6);
  EXPECT_NEAR(m.vertexNormals[0].z, -c, 1e-6);
  EXPECT_NEAR(m.vertexNormals[6].x, c, 1e-6);
}

TEST(PrepareMesh, SmoothSurfaceIsNotSplit) {
  // A finely divided sphere as separate triangles: after sharing, every
  // vertex normal points outwards from the centre.
  PolygonModel m;
  const int rings = 24, segments = 48;
  auto point = [](int r, int s) {
    const float t = 3.14159265f * float(r) / rings, f = 6.2831853f * float(s) / segments;
    return Float3{std::sin(t) * std::cos(f), std::sin(t) * std::sin(f), std::cos(t)};
  };
  for (int r = 0; r < rings; ++r)
    for (int s = 0; s < segments; ++s) {
      const Float3 q[4] = {point(r, s), point(r + 1, s), point(r + 1, s + 1), point(r, s + 1)};
      for (int t = 0; t < 2; ++t) {
        const int32_t a = m.AddVertex(q[0].x, q[0].y, q[0].z);
        const Float3 b = q[1 + t], c = q[2 + t];
        const int32_t bi = m.AddVertex(b.x, b.y, b.z), ci = m.AddVertex(c.x, c.y, c.z);
        if (r == 0 && t == 1) continue;  // degenerate at the poles
        if (r == rings - 1 && t == 0) continue;
        const int32_t idx[3] = {a, bi, ci};
        m.AddPolygon(3, idx);
      }
    }
  PolygonModel shared = m;
  ShareVertices(shared);
  m.SetEdgeAngle(120);
  PrepareMesh(m, true, true);
  EXPECT_EQ(m.VertexCount(), shared.VertexCount());
  for (int32_t v = 0; v < m.VertexCount(); ++v) {
    const Float3 p = m.vertices[v], n = m.vertexNormals[v];
    EXPECT_GT(p.x * n.x + p.y * n.y + p.z * n.z, 0.99f) << v;
  }
}

TEST(PrepareMesh, DegenerateAndShortPolygonsGetUp) {
  // Triangle 0 lies in the plane x = 0 (normal +x); triangle 1 has its
  // corners on one line and gets (0, 0, 1), which the crease test and the
  // vertex normals use; vertex 5 is used by a two-corner polygon only and
  // vertex 6 by nothing.
  const std::vector<Float3> v = {{0, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 0},
                                 {2, 0, 0}, {5, 5, 5}, {6, 6, 6}};
  const std::vector<std::vector<int32_t>> p = {{0, 1, 2}, {0, 3, 4}, {5, 1}};
  const Float3 up{0, 0, 1};
  {
    PolygonModel m = MakeModel(v, p);
    m.SetEdgeAngle(120);  // 90 degrees apart: vertex 0 splits
    PrepareMesh(m, false, false);
    EXPECT_EQ(m.polygonNormals[0], (Float3{1, 0, 0}));
    EXPECT_EQ(m.polygonNormals[1], up);
    EXPECT_EQ(m.polygonNormals[2], up);
    ASSERT_EQ(m.VertexCount(), 8);
    EXPECT_EQ(Indices(m, 1), (std::vector<int32_t>{7, 3, 4}));
    EXPECT_EQ(m.vertexNormals[7], up);
    EXPECT_EQ(m.vertexNormals[5], up);
    EXPECT_EQ(m.vertexNormals[6], up);
  }
  {
    PolygonModel m = MakeModel(v, p);
    m.SetEdgeAngle(0);
    PrepareMesh(m, false, false);
    ASSERT_EQ(m.VertexCount(), 7);
    EXPECT_FLOAT_EQ(m.vertexNormals[0].x, std::sqrt(0.5f));
    EXPECT_FLOAT_EQ(m.vertexNormals[0].z, std::sqrt(0.5f));
  }
}

TEST(PrepareMesh, UnsharedTrianglesKeepTheirFacetNormals) {
  PolygonModel m = MakeModel({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 0}, {0, 1, 0}, {0, 0, 1}},
                             {{0, 1, 2}, {3, 4, 5}});
  m.SetEdgeAngle(120);
  PrepareMesh(m, false, false);
  ASSERT_EQ(m.VertexCount(), 6);
  for (int32_t p = 0; p < 2; ++p)
    for (int32_t v : Indices(m, p)) EXPECT_EQ(m.vertexNormals[v], m.polygonNormals[p]);
}

TEST(PrepareMesh, RefusesIndicesOutsideTheVertexList) {
  for (int32_t bad : {3, -1}) {
    PolygonModel m = MakeModel({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, bad}});
    EXPECT_THROW(PrepareMesh(m, true, true), std::out_of_range);
  }
}

}  // namespace
