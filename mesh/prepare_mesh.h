// Mesh preparation run on every loaded model with polygons.
#pragma once

#include "core/model.h"

// Optionally merges coincident vertices and makes windings consistent, then
// computes polygon and vertex normals, splitting vertices along creases
// sharper than the model's edge angle. The results are exactly those of the
// step-by-step algorithms (see the three steps' headers). Throws
// std::out_of_range, leaving the model as it was, when a corner refers
// outside the vertex list, and std::bad_alloc when memory runs out.
void PrepareMesh(PolygonModel& model, bool shareVertices, bool fixOrientation);
