// A level of detail for drawing a big model at about one triangle per
// pixel: a fine vertex clustering welds the model (a triangle soup as STL
// gives it included) into an indexed mesh of a few times the budget, then
// meshoptimizer's edge-collapse simplifier brings it down with its error
// bounded, and its sloppy simplifier finishes the rare model that cannot get
// there within that bound.
//
// Clusters never join corners of polygons of different material or colour,
// nor corners whose normals point into different coarse directions, so that
// colour borders and creases stay edges of the result; the cells are small
// next to the budget's triangles, so that silhouettes move by less than a
// triangle's size. Memory grows with the budget, not with the model: no
// array of the model's size is made.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/model.h"

// Returns a triangle model of at most maxTriangles triangles with every
// index inside its vertex list, no triangle with a repeated corner,
// polygon normals (from the triangle's corners) and vertex normals (the
// mean of the model's vertex normals in its cluster, or of the triangles'
// normals where the model has none) filled in, and each triangle's
// material and colour those of a polygon of the model whose corners it
// stands for. Polygons are split into fans; corners with an index outside
// the vertex list and non-finite vertices are left out. Empty for an empty
// or degenerate input, maxTriangles <= 0, or when cancel becomes true.
// modelDone, when given, is set once the model is read no more (the rest
// works on what the clustering made of it), or on return.
PolygonModel SimplifyForDetail(const PolygonModel& in, int32_t maxTriangles,
                               const std::atomic<bool>* cancel = nullptr,
                               std::atomic<bool>* modelDone = nullptr);
