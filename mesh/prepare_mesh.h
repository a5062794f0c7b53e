// Mesh preparation run on every loaded model with polygons.
#pragma once

#include "core/model.h"

// Optionally merges coincident vertices and makes windings consistent, then
// computes polygon and vertex normals, splitting vertices along creases
// sharper than the model's edge angle.
void PrepareMesh(PolygonModel& model, bool shareVertices, bool fixOrientation);
