// Vertex sharing: merges vertices at the same position.
#pragma once

#include "core/model.h"

// Rewrites the vertex list so that every distinct position appears once, in
// the order in which the polygons' corners (polygon order, then corner
// order, polygons of any corner count) first use it, and renumbers every
// corner accordingly. Vertices no corner uses are dropped. Positions are
// the same when the bit patterns of x, y and z are equal, with -0.0 taken
// as +0.0 (so a NaN only matches the identical NaN and cannot upset the
// table). The stored position of a merged vertex is its first use's.
// Touches nothing but vertices and indexPool.
// Precondition: every index lies inside the vertex list.
void ShareVertices(PolygonModel& model);
