// The six building functions the executable exports for reader plug-ins.
// Each acts on CurrentModel; before the first load there is no model and
// they do nothing (the getters answer 0, the adders -1).
#pragma once

#include <cstdint>

#define TARNELLE_EXPORT extern "C" __attribute__((visibility("default")))

TARNELLE_EXPORT void _PobjClearObject(void);
TARNELLE_EXPORT int32_t _PobjAddVertex(float x, float y, float z);
// Returns -1 and adds nothing for nv < 0 or a null index pointer.
TARNELLE_EXPORT int32_t _PobjAddPolygon(int32_t nv, const int32_t* index);
TARNELLE_EXPORT void _PobjSetPolygonColor(int32_t polygon, const float* rgb);
TARNELLE_EXPORT int32_t _PobjGetNv(void);
TARNELLE_EXPORT int32_t _PobjGetNp(void);
