// The corners of every polygon with three or more corners, grouped by the
// vertex they refer to: the adjacency both orientation correction and
// crease splitting walk. Built once per preparation and shared.
#pragma once

#include <cstdint>
#include <vector>

#include "core/model.h"
#include "mesh/scratch.h"

struct CornerRef {
  uint32_t corner;  // position in the index pool
  uint32_t poly;
};

struct CornerIndex {
  // Vertex v's corners are refs[offset[v] .. offset[v + 1]), in polygon
  // order, then corner order.
  meshmem::ScratchArray<uint32_t> offset;
  meshmem::ScratchArray<CornerRef> refs;
  // Whether any vertex has more than one corner. When none has, no two
  // corners share a vertex and both arrays stay empty.
  bool shared = false;
};

void BuildCornerIndex(const PolygonModel& model, CornerIndex& index);
