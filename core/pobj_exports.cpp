#include "core/pobj_exports.h"

#include "core/model.h"

// Plug-ins must never unwind into C code, so allocation failures stop here.

void _PobjClearObject(void) {
  if (CurrentModel) CurrentModel->Clear();
}

int32_t _PobjAddVertex(float x, float y, float z) {
  if (!CurrentModel) return -1;
  try {
    return CurrentModel->AddVertex(x, y, z);
  } catch (...) {
    return -1;
  }
}

int32_t _PobjAddPolygon(int32_t nv, const int32_t* index) {
  if (!CurrentModel || nv < 0 || index == nullptr) return -1;
  try {
    return CurrentModel->AddPolygon(nv, index);
  } catch (...) {
    return -1;
  }
}

void _PobjSetPolygonColor(int32_t polygon, const float* rgb) {
  if (!CurrentModel || rgb == nullptr) return;
  CurrentModel->SetPolygonColor(polygon, rgb[0], rgb[1], rgb[2]);
}

int32_t _PobjGetNv(void) { return CurrentModel ? CurrentModel->VertexCount() : 0; }

int32_t _PobjGetNp(void) { return CurrentModel ? CurrentModel->PolygonCount() : 0; }
