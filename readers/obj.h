// OBJ reader: the "v" vertices and "f" faces of Wavefront OBJ files; faces
// keep their corner count. The appearance takes the texture coordinates
// ("vt" and the faces' references to them) and the materials that
// "usemtl" names from the libraries "mtllib" names (read beside the model,
// never above its folder; one that is missing is no error). Everything else
// in the file is ignored.
#pragma once

#include <cstdint>

#include "core/model.h"

int32_t ObjIsSupport(const char* path);
bool ObjLoadInto(const char* path, PolygonModel& model);
int32_t ObjLoad(const char* path);  // into CurrentModel
const char* ObjGetErrMsg();
