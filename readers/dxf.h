// DXF reader: 3DFACE entities and the three-dimensional POLYLINE kinds (3D
// polylines, polygon meshes, polyface meshes) of text drawing exchange
// files. Every other entity is passed over; no colours are set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/model.h"

int32_t DxfIsSupport(const char* path);  // always 0: never recognised by content
bool DxfLoadInto(const char* path, PolygonModel& model);
int32_t DxfLoad(const char* path);  // into CurrentModel
const char* DxfGetErrMsg();

// The lines of a file as the reader sees them: at most 511 characters each,
// split and joined as its chunked reading does. Used to check that reading.
std::vector<std::string> DxfSplitLines(const char* path);
