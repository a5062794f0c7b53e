// COB reader: scene files of "Caligari V00.01", text ('A') and binary ('B',
// little- or big-endian). Polygon objects give their transformed vertices and
// faces (holes are skipped); material chunks colour the faces of their
// parent object that use their number.
#pragma once

#include <cstdint>

#include "core/model.h"

int32_t CobIsSupport(const char* path);
bool CobLoadInto(const char* path, PolygonModel& model);
int32_t CobLoad(const char* path);  // into CurrentModel
const char* CobGetErrMsg();
