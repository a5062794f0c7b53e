// Polygon normals, crease splitting and vertex normals.
#pragma once

#include <cstdint>
#include <vector>

#include "core/model.h"

struct CornerIndex;

// Creates polygonNormals (one per polygon) and vertexNormals (one per vertex,
// after splitting), splitting vertices where polygons meet at a crease:
//  - A polygon's normal is the normalised sum, in double, of the cross
//    products (p[j+1] - p[j]) x (p[j-1] - p[j]) for corners j = 0 .. nv-3
//    (differences of the float coordinates formed in double), rounded to
//    float; (0, 0, 1) when nv < 3 or the squared length is below 1e-15.
//  - At every vertex that existed on entry, its corners (polygon order, then
//    corner order, polygons with three or more corners only) are grouped
//    greedily: a corner joins a group when the dot product (in double) of
//    the two polygon normals is greater than edgeCos. The first group keeps
//    the vertex; every further group gets a copy of its position appended.
//  - A vertex normal is the float sum of the normals of the polygons using
//    it, once per corner, in polygon order, normalised in float; (0, 0, 1)
//    when the squared length is below 1e-15.
// Precondition: every index lies inside the vertex list.
void ComputeNormals(PolygonModel& model);

// The same with a corner index built before FixOrientation reversed the
// polygons flagged in reversedPolygons (empty: none).
void ComputeNormals(PolygonModel& model, const CornerIndex& index,
                    const std::vector<uint8_t>& reversedPolygons);
