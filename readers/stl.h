// STL reader: text and binary stereolithography files. Every facet becomes
// a triangle with three vertices of its own; a colour in the binary
// attribute word becomes the polygon's colour.
#pragma once

#include <cstdint>

#include "core/model.h"

int32_t StlIsSupport(const char* path);
bool StlLoadInto(const char* path, PolygonModel& model);
int32_t StlLoad(const char* path);  // into CurrentModel
const char* StlGetErrMsg();
