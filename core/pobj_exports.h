// The building functions the executable exports for reader plug-ins: the
// six of the first kit and the appearance ones added later. Each acts on
// CurrentModel; before the first load there is no model and they do
// nothing (the getters answer 0, the others -1).
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

// The appearance (core/appearance.h); the kit header says what each takes.
// Each returns -1 and changes nothing for an argument out of its range
// (appearance_limits), a null pointer where data is needed, or no memory.
TARNELLE_EXPORT int32_t _PobjSetMaterial(int32_t material, float r, float g, float b, float opacity,
                                         const char* texture);
TARNELLE_EXPORT int32_t _PobjSetPolygonMaterial(int32_t polygon, int32_t material);
TARNELLE_EXPORT int32_t _PobjSetPolygonUV(int32_t polygon, int32_t nv, const float* uv);
TARNELLE_EXPORT int32_t _PobjAddImage(const char* hint, const void* data, int32_t bytes);
