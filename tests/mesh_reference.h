// A plain, step-by-step implementation of mesh preparation with ordered
// multimaps and a linked worklist, slow but easy to check against the
// written algorithms. The fast code in mesh/ must give identical models.
#pragma once

#include "core/model.h"

namespace reference {

void ShareVertices(PolygonModel& model);
void FixOrientation(PolygonModel& model);
void ComputeNormals(PolygonModel& model);
void PrepareMesh(PolygonModel& model, bool shareVertices, bool fixOrientation);

}  // namespace reference
