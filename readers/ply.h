// PLY reader: the vertex positions (x, y, z) and the face lists
// (vertex_indices) of ASCII and binary PLY files, read through our PLY
// library; faces keep their corner count. The appearance takes texture
// coordinates per vertex (s/t, u/v or texture_u/texture_v) or per face
// corner ("texcoord" lists) and the image of a "comment TextureFile" line.
// Every other property is ignored.
#pragma once

#include <cstdint>

#include "core/model.h"

int32_t PlyIsSupport(const char* path);
bool PlyLoadInto(const char* path, PolygonModel& model);
int32_t PlyLoad(const char* path);  // into CurrentModel
const char* PlyGetErrMsg();
