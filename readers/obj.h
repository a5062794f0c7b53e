// OBJ reader: the "v" vertices and "f" faces of Wavefront OBJ files; faces
// keep their corner count. Everything else in the file is ignored.
#pragma once

#include <cstdint>

#include "core/model.h"

int32_t ObjIsSupport(const char* path);
bool ObjLoadInto(const char* path, PolygonModel& model);
int32_t ObjLoad(const char* path);  // into CurrentModel
const char* ObjGetErrMsg();
