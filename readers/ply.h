// PLY reader: the vertex positions (x, y, z) and the face lists
// (vertex_indices) of ASCII and binary PLY files, read through our PLY
// library. Every other property is ignored; faces keep their corner count.
#pragma once

#include <cstdint>

#include "core/model.h"

int32_t PlyIsSupport(const char* path);
bool PlyLoadInto(const char* path, PolygonModel& model);
int32_t PlyLoad(const char* path);  // into CurrentModel
const char* PlyGetErrMsg();
