// How a model's surfaces look beyond their geometry: texture coordinates per
// corner, materials with a base colour, an opacity and a diffuse image. It
// rides beside the polygon model: readers whose formats carry it fill it,
// the preview draws it when textures are shown, and nothing that reads the
// geometry (mesh preparation's rules, --dump, the flat colours) looks at it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Float2 {
  float u, v;
};

inline bool operator==(const Float2& a, const Float2& b) { return a.u == b.u && a.v == b.v; }

struct SurfaceMaterial {
  float color[3] = {1.0f, 1.0f, 1.0f};  // base (diffuse) colour, 0 to 1
  float opacity = 1.0f;                 // 1 opaque, 0 invisible
  // The diffuse image: a file name as the model names it (resolved against
  // the model's folder, never above it), or "*N" for embedded image N.
  // Empty: no image.
  std::string texture;
};

struct EmbeddedImage {
  std::string hint;           // format hint: a file extension such as "png", or empty
  std::vector<uint8_t> data;  // the encoded image as the file holds it
};

struct SurfaceAppearance {
  std::vector<SurfaceMaterial> materials;
  // One entry per polygon: an index into materials, or -1 for a polygon
  // drawn as without appearance. Empty: no polygon has a material.
  std::vector<int32_t> polygonMaterial;
  // One entry per corner, parallel to PolygonModel::indexPool. Empty: the
  // model has no texture coordinates. v counts up from the image's bottom
  // row (0) to its top (1), as OBJ, 3DS, LWO and PLY files have it.
  std::vector<Float2> cornerUV;
  std::vector<EmbeddedImage> images;

  bool Empty() const { return materials.empty() && cornerUV.empty(); }
  void Clear() { *this = SurfaceAppearance{}; }
};

class PolygonModel;

// Makes a model's appearance safe to draw whatever a reader or plug-in put
// there: polygonMaterial empty or one per polygon, cornerUV empty or one per
// corner (missing entries -1 and {0, 0}), material indices and embedded
// image names that point nowhere cleared, coordinates and colours finite,
// colours and opacities within 0 to 1. An appearance no polygon uses is
// dropped whole.
void NormalizeAppearance(PolygonModel& model);

// For readers that fill the appearance as polygons arrive: sets a
// polygon's material, earlier polygons without one getting -1.
void SetPolygonMaterial(SurfaceAppearance& a, size_t polygon, int32_t material);
// The coordinates of n corners from firstCorner on, to be written; earlier
// corners without coordinates get {0, 0}.
Float2* CornerUVs(SurfaceAppearance& a, size_t firstCorner, size_t n);
