// Triangles for the polygons that the driver cannot fill as one convex
// primitive. Computed once per model; convex polygons are left out so that
// they keep being drawn whole.
#pragma once

#include <cstdint>
#include <vector>

#include "core/model.h"

struct ConcaveTriangles {
  std::vector<int32_t> polygon;    // triangulated polygon numbers, ascending
  std::vector<uint32_t> start{0};  // polygon[k]'s corners: corner[start[k]..start[k+1])
  std::vector<int32_t> corner;     // vertex indices, three per triangle
};

// True when the polygon, seen in the plane of its Newell normal, turns one
// way only and winds once: a single convex primitive draws it right.
// Collinear and repeated corners do not count against it; a polygon without
// area counts as convex (nothing better can be drawn); bad indices too.
bool IsConvexPolygon(const Float3* vertices, int32_t vertexCount, const int32_t* idx, int32_t n);

// Ear clipping in the polygon's plane (projected along the dominant axis of
// its Newell normal, so a slightly bent polygon works as well). Appends the
// triangles' vertex indices to out, each triangle in the polygon's winding;
// corners without area are dropped, so there may be fewer than n - 2.
// Returns false and leaves out as it was when the polygon has no area, an
// index is out of range, or no ear is left (self-intersecting input, or the
// work limit that keeps huge polygons bounded is reached).
bool EarClip(const Float3* vertices, int32_t vertexCount, const int32_t* idx, int32_t n,
             std::vector<int32_t>& out);

// The triangles of every polygon that is not convex and that ear clipping
// can finish; the others are drawn as they are.
ConcaveTriangles TriangulateConcave(const PolygonModel& model);
