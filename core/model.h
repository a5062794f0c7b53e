// The polygon model every reader fills, mesh preparation rewrites and the
// preview draws. Storage is flat: one vertex array, one index pool with
// per-polygon offsets, and per-polygon material and colour arrays.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/appearance.h"

struct Float3 {
  float x, y, z;
};

inline bool operator==(const Float3& a, const Float3& b) {
  return a.x == b.x && a.y == b.y && a.z == b.z;
}

class PolygonModel;

// A view of one polygon inside a PolygonModel; valid until the model's
// polygon list changes.
struct ModelPolygon {
  int32_t nv;            // number of corners
  int32_t* index;        // nv vertex indices (0-based)
  int32_t& material;     // -1: drawn in the object colour; >= 0: uses color
  Float3& color;         // red, green, blue from 0 to 1
  const Float3* normal;  // entry of polygonNormals, null before PrepareMesh
};

// Edge-detection angle a new model starts with; the pipeline sets the
// user's angle before any reader runs.
constexpr float kInitialEdgeAngle = 100.0f;

// cos((180 - A) * pi / 180) with pi shortened to 3.14159265359, as the
// crease test has always used it.
double EdgeCosForAngle(float degrees);

class PolygonModel {
 public:
  PolygonModel() { SetEdgeAngle(kInitialEdgeAngle); }

  void SetEdgeAngle(float degrees) { edgeCos = EdgeCosForAngle(degrees); }

  // Empties both lists and drops the normal arrays; edgeCos stays.
  void Clear();

  int32_t AddVertex(float x, float y, float z) {
    if (vertices.size() == vertices.capacity()) GrowVertices(1);
    vertices.push_back({x, y, z});
    return static_cast<int32_t>(vertices.size() - 1);
  }

  // Copies nv indices (unchecked, as the readers' formats allow any) into
  // the index pool. nv < 0 is treated as 0 here; the exported entry point
  // rejects it before it gets this far.
  int32_t AddPolygon(int32_t nv, const int32_t* idx, int32_t material = -1,
                     Float3 color = {0, 0, 0});

  int32_t AddTriangle(int32_t a, int32_t b, int32_t c, int32_t material = -1,
                      Float3 color = {0, 0, 0}) {
    if (indexPool.capacity() - indexPool.size() < 3 || polyStart.size() == polyStart.capacity() ||
        polyMaterial.size() == polyMaterial.capacity() || polyColor.size() == polyColor.capacity())
      GrowPolygons(3);
    indexPool.push_back(a);
    indexPool.push_back(b);
    indexPool.push_back(c);
    polyStart.push_back(static_cast<uint32_t>(indexPool.size()));
    polyMaterial.push_back(material);
    polyColor.push_back(color);
    return static_cast<int32_t>(polyMaterial.size() - 1);
  }

  // Ignores an index outside the polygon list. A polygon without a colour
  // of its own gets material 1; a material of 0 or more is kept.
  void SetPolygonColor(int32_t p, float r, float g, float b);

  int32_t VertexCount() const { return static_cast<int32_t>(vertices.size()); }
  int32_t PolygonCount() const { return static_cast<int32_t>(polyMaterial.size()); }

  // Per-polygon accessors (p must be a valid polygon index).
  int32_t nv(int32_t p) const { return static_cast<int32_t>(polyStart[p + 1] - polyStart[p]); }
  int32_t* index(int32_t p) { return indexPool.data() + polyStart[p]; }
  const int32_t* index(int32_t p) const { return indexPool.data() + polyStart[p]; }
  int32_t& material(int32_t p) { return polyMaterial[p]; }
  int32_t material(int32_t p) const { return polyMaterial[p]; }
  Float3& color(int32_t p) { return polyColor[p]; }
  const Float3& color(int32_t p) const { return polyColor[p]; }
  const Float3* normal(int32_t p) const {
    return polygonNormals.empty() ? nullptr : &polygonNormals[p];
  }
  ModelPolygon polygon(int32_t p) {
    return {nv(p), index(p), polyMaterial[p], polyColor[p], normal(p)};
  }

  // Reserves room for a known number of vertices, polygons and corners, on
  // huge pages where the arrays are big.
  void Reserve(size_t nVertices, size_t nPolygons, size_t nCorners);

  // Make room for n more vertices, or for one more polygon of n corners,
  // doubling the arrays on huge pages. GrowPolygons throws
  // std::length_error when the index pool would pass 2^32 corners.
  void GrowVertices(size_t n);
  void GrowPolygons(size_t corners);

  // Drops every polygon with an index outside the vertex list, keeping the
  // order of the others. Returns the number dropped.
  size_t DropInvalidPolygons();

  std::vector<Float3> vertices;
  // Polygon p owns indexPool[polyStart[p] .. polyStart[p + 1]).
  std::vector<uint32_t> polyStart{0};
  std::vector<int32_t> indexPool;
  std::vector<int32_t> polyMaterial;
  std::vector<Float3> polyColor;
  // Created by mesh preparation: empty before it runs.
  std::vector<Float3> vertexNormals;
  std::vector<Float3> polygonNormals;
  double edgeCos = 0.0;
  // Materials and texture coordinates where the file has them; kept in step
  // with polygons and corners, never read by the geometry's own rules.
  SurfaceAppearance appearance;
};

// The one model of the process; null until the first load.
extern std::unique_ptr<PolygonModel> CurrentModel;
