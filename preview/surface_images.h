// The diffuse images a model's materials name, found in the model's folder
// (never above it) or among its embedded images, and decoded to 8 bits a
// channel with limits checked before any pixel is decoded. Runs where the model is
// prepared, off the window's thread; the drawing only uploads the result.
#pragma once

#include <QImage>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/appearance.h"

// Log texts: each names the texture as the model does.
inline constexpr char kLogTextureUnreadable[] = "...テクスチャを読み込めませんでした: ";
inline constexpr char kLogTextureTooLarge[] = "...テクスチャが大きすぎるため読み込みませんでした: ";
inline constexpr char kLogTextureOutside[] =
    "...モデルのフォルダの外にあるテクスチャは読み込みません: ";

struct TextureImage {
  // Format_RGB32 or Format_ARGB32 (alpha not premultiplied): one 0xAARRGGBB
  // word a pixel, top row first, as the driver takes it without a copy.
  QImage pixels;
};

struct SurfaceImages {
  // Per material of the appearance: an index into images, or -1 (no image,
  // or one that could not be read: the material colour alone is drawn).
  std::vector<int32_t> materialImage;
  std::vector<TextureImage> images;
  // Decoded bytes held.
  size_t Bytes() const;
};

struct ImageLimits {
  int maxSide = 8192;                            // per image, either side
  uint64_t maxTotalBytes = uint64_t{256} << 20;  // decoded, per model
};

// Where a texture name leads.
enum class TextureLookup { kFound, kMissing, kOutside };
// The file a material's texture name stands for: the name as written
// (relative to folder; "\" separates folders too), then the file name in
// other letter cases, then the bare file name in folder. Absolute names and
// names that climb out of folder are not followed as written; a file whose
// real path (links resolved) is not inside folder is refused (kOutside).
TextureLookup ResolveTexturePath(const std::string& folder, const std::string& name,
                                 std::string& path);

// Decodes the images the appearance's materials name, each file or
// embedded image once. modelPath is the model file (its folder is where
// names are looked for). One log line per image that is missing, outside
// the folder, unreadable or over the limits; such materials get -1. Null
// when no material names an image or the model has no texture coordinates.
std::shared_ptr<const SurfaceImages> LoadSurfaceImages(const SurfaceAppearance& appearance,
                                                       const std::string& modelPath,
                                                       std::vector<std::string>& log,
                                                       const ImageLimits& limits = {});
