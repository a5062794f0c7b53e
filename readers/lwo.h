// LWO reader: the points and polygons of LightWave object files in their
// older ("LWOB") and newer ("LWO2") form. Polygons keep their corner count
// and get the base colour of their surface. Of LWO2 the appearance takes
// the surfaces' colours, the image a surface maps onto its colour by UV
// (through its texture block and the clip's still image) and the first UV
// map's coordinates, per point and per polygon corner.
#pragma once

#include <cstdint>

#include "core/model.h"

int32_t LwoIsSupport(const char* path);
bool LwoLoadInto(const char* path, PolygonModel& model);
int32_t LwoLoad(const char* path);  // into CurrentModel
const char* LwoGetErrMsg();
