// A coarse copy of a model (the thumbnails' stand-in, and the last resort
// of the level-of-detail simplifier): vertex clustering on a uniform grid
// over the bounding box. Every vertex moves to
// the mean of its cell; triangles whose corners fall into fewer than three
// cells vanish, and triangles joining the same three cells are kept once.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/model.h"

// Returns a triangle model of at most maxTriangles triangles (the grid is
// made coarser until the result fits) with every index inside its vertex
// list, polygon normals and area-weighted vertex normals filled in, and each
// triangle's material and colour taken from the polygon it came from.
// Polygons are split into fans; corners with an index outside the vertex
// list and non-finite vertices are left out. Empty for an empty or
// degenerate input, maxTriangles <= 0, or when cancel becomes true.
PolygonModel SimplifyByClustering(const PolygonModel& in, int32_t maxTriangles,
                                  const std::atomic<bool>* cancel = nullptr);
