// LWO reader: the points and polygons of LightWave object files in their
// older ("LWOB") and newer ("LWO2") form. Polygons keep their corner count
// and get the base colour of their surface.
#pragma once

#include <cstdint>

#include "core/model.h"

int32_t LwoIsSupport(const char* path);
bool LwoLoadInto(const char* path, PolygonModel& model);
int32_t LwoLoad(const char* path);  // into CurrentModel
const char* LwoGetErrMsg();
