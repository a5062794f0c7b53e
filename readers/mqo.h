// MQO reader: the vertices (text or binary "BVertex" blocks) and the
// triangles and quadrilaterals of every object of a Metasequoia document,
// each face coloured by its material. The appearance takes the materials'
// colour, opacity and image ("tex") and the faces' UV coordinates.
#pragma once

#include <cstdint>

#include "core/model.h"

int32_t MqoIsSupport(const char* path);
bool MqoLoadInto(const char* path, PolygonModel& model);
int32_t MqoLoad(const char* path);  // into CurrentModel
const char* MqoGetErrMsg();
