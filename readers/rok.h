// ROK reader: the text models of 六角大王 ("ROKU4"). Points become vertices,
// each face's ring of edges becomes a ring of vertices, and faces take their
// colours from the palette that follows the model.
#pragma once

#include <cstdint>

#include "core/model.h"

int32_t RokIsSupport(const char* path);
bool RokLoadInto(const char* path, PolygonModel& model);
int32_t RokLoad(const char* path);  // into CurrentModel
const char* RokGetErrMsg();
