// 3DS reader: the triangle meshes of the named objects of a 3D Studio file.
// Every face becomes a triangle without a colour of its own; the file's z
// axis becomes the model's y axis. The appearance takes the materials
// (diffuse colour, transparency, texture map name), the faces' material
// groups and the mapping coordinates. Everything else in the file is
// skipped.
#pragma once

#include <cstdint>

#include "core/model.h"

int32_t TdsIsSupport(const char* path);
bool TdsLoadInto(const char* path, PolygonModel& model);
int32_t TdsLoad(const char* path);  // into CurrentModel
const char* TdsGetErrMsg();
