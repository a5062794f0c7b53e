// Material libraries: any text gives materials, and what the pipeline makes
// of them is safe to draw.
#include <cmath>
#include <string_view>
#include <vector>

#include "core/model.h"
#include "fuzz/fuzz_entry.h"
#include "readers/mtl.h"

TARNELLE_FUZZ_ENTRY {
  std::vector<MtlMaterial> materials;
  ParseMtl(std::string_view(reinterpret_cast<const char*>(data), size), materials);
  // Every material comes from a line of its own.
  FUZZ_CHECK(materials.size() <= size / 7 + 1);

  PolygonModel model;
  for (int i = 0; i < 3; ++i) model.AddVertex(static_cast<float>(i), 0, 0);
  SurfaceAppearance& a = model.appearance;
  for (const MtlMaterial& m : materials) {
    model.AddTriangle(0, 1, 2);
    a.materials.push_back(m.material);
  }
  for (size_t p = 0; p < materials.size(); ++p) SetPolygonMaterial(a, p, static_cast<int32_t>(p));
  NormalizeAppearance(model);
  for (const SurfaceMaterial& m : a.materials) {
    for (const float c : m.color) FUZZ_CHECK(c >= 0.0f && c <= 1.0f);
    FUZZ_CHECK(m.opacity >= 0.0f && m.opacity <= 1.0f);
  }
  return 0;
}
