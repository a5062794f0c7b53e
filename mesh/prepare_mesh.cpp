#include "mesh/prepare_mesh.h"

#include <stdexcept>

#include "core/load_progress.h"
#include "mesh/corner_index.h"
#include "mesh/fix_orientation.h"
#include "mesh/normals.h"
#include "mesh/share_vertices.h"

void PrepareMesh(PolygonModel& model, bool shareVertices, bool fixOrientation) {
  // Every step indexes the vertex list with the corners unchecked; the
  // pipeline drops bad polygons before this, so this is a guard only.
  const uint32_t nvert = static_cast<uint32_t>(model.vertices.size());
  uint32_t bad = 0;
  for (int32_t i : model.indexPool) bad |= static_cast<uint32_t>(static_cast<uint32_t>(i) >= nvert);
  if (bad) throw std::out_of_range("polygon index outside the vertex list");

  // A load in the background may be cancelled between the stages.
  LoadStage(1);
  if (shareVertices) ShareVertices(model);
  // Orientation correction and crease splitting walk the same adjacency.
  LoadStage(2);
  CornerIndex index;
  BuildCornerIndex(model, index);
  std::vector<uint8_t> reversed;
  LoadStage(3);
  if (fixOrientation) FixOrientation(model, index, reversed);
  LoadStage(4);
  ComputeNormals(model, index, reversed);
}
